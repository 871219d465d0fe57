// ValueTransformer: turns a record (or a list of records) into keyed-archive bytes and back,
// accepting only the classes it allows at the archive's top level. Transformers are registered by
// name; the offline store reads each persisted record attribute back through the transformer its
// field table names.
//
// The model's four transformers ("MediaStream", "MediaSourceInfo", "UserItemDataDto",
// "NameIdPair") and the archived class names "Vorn.<Record>" of those records are registered by
// registerModelValueTransformers(), which forName() also runs on first use.
//
// Thread rule: transformers are immutable; the registry is thread-safe. forName returns a shared
// transformer that stays valid after a later re-registration under the same name.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/KeyedArchive.h"

namespace vk {

/// Turns records (or lists of records) into keyed-archive bytes and back, accepting only the
/// classes it allows at the archive's top level. Immutable; the registry of transformers by name is
/// thread-safe.
class VK_EXPORT ValueTransformer {
  public:
    /// A transformer registered as `name` that reads only archives whose root class (and, for a
    /// list, each element's class) is in `allowedTopLevelClasses` (empty: any class).
    ValueTransformer(std::string name, std::vector<std::string> allowedTopLevelClasses)
        : name_(std::move(name)), allowed_(std::move(allowedTopLevelClasses)) {}

    /// The name the store's field tables refer to.
    const std::string& name() const { return name_; }
    /// The classes accepted at the top level of an archive.
    const std::vector<std::string>& allowedTopLevelClasses() const { return allowed_; }

    /// `value` as a keyed archive; T is a record, a list of records or another coded type.
    template <class T>
    ArchiveBytes transformedValue(const T& value) const {
        return archivedData(value);
    }
    /// The value, or absent when the bytes are no archive, hold a top-level class this
    /// transformer does not allow, or do not hold a T.
    template <class T>
    std::optional<T> reverseTransformedValue(const ArchiveBytes& bytes) const {
        return unarchivedObject<T>(bytes, allowed_).toOptional();
    }

    /// Registers `transformer` under `name`, replacing any earlier one; holders of the earlier one
    /// keep it. Thread-safe.
    static void setValueTransformer(std::shared_ptr<const ValueTransformer> transformer,
                                    const std::string& name);
    /// The transformer registered under `name`, or nullptr. Registers the model's transformers
    /// first (registerModelValueTransformers()). Thread-safe.
    static std::shared_ptr<const ValueTransformer> forName(const std::string& name);
    /// The classes the default (collection) transformer allows: arrays, dictionaries, strings,
    /// numbers, dates.
    static std::vector<std::string> defaultAllowedClasses();

  private:
    std::string name_;
    std::vector<std::string> allowed_;
};

/// Registers the model's transformers and archived class names. Idempotent, thread-safe.
VK_EXPORT void registerModelValueTransformers();

}  // namespace vk
