// Keyed archives in the keyed-archiver binary property-list layout: a dictionary with
// "$archiver" = "NSKeyedArchiver", "$version" = 100000, "$top" = {"root": UID} and "$objects", an
// array whose first element is "$null". Records are dictionaries holding one UID per field and a
// "$class" UID that points to {"$classname", "$classes"}; lists are NSArray objects
// ("NS.objects"), maps NSDictionary objects ("NS.keys", "NS.objects"), dates NSDate objects
// ("NS.time", seconds since 2001); numbers, Booleans and text are plain property-list values
// referenced by UID; an absent field is UID 0 ($null). Standard property-list tools read these
// archives (Python's plistlib, plistutil).
//
// Reading is defensive: every UID is range-checked, nesting depth is limited, and the number of
// objects visited is bounded by the archive's size, so shared or cyclic references cannot make
// reading loop or grow without bound. Archived class names are mapped through setClassName()
// ("Vorn.MediaSourceInfo" -> "MediaSourceInfo").
//
// ArchiveWriter and ArchiveReader are the building blocks the field tables use (FieldCoding.h);
// archivedData / unarchivedObject are the entry points for callers.
//
// Thread rule: writer and reader objects are single-use and externally synchronised; the free
// functions and the class-name registry are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/CodingError.h"
#include "VornKit/Model/JsonCoding.h"

namespace vk {

using ArchiveBytes = std::vector<std::uint8_t>;

class VK_EXPORT ArchiveWriter {
  public:
    ArchiveWriter();
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    static constexpr std::uint64_t kNull = 0;
    std::uint64_t integer(std::int64_t value);
    std::uint64_t real(double value);
    std::uint64_t boolean(bool value);
    std::uint64_t string(std::string_view value);  ///< equal texts share one object
    std::uint64_t date(double secondsSince2001);
    /// A keyed object of `className` ("$classes" = [className, "NSObject"]); fill it with setEntry.
    std::uint64_t beginObject(std::string_view className);
    void setEntry(std::uint64_t object, std::string_view key, std::uint64_t value);
    std::uint64_t array(const std::vector<std::uint64_t>& elements);
    std::uint64_t dictionary(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries);

    /// The binary property list with `root` as "$top"/"root". The writer is spent afterwards.
    ArchiveBytes finish(std::uint64_t root);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

enum class ArchivedKind {
    Null,
    Boolean,
    Integer,
    Real,
    String,
    Date,
    Array,
    Dictionary,
    Object,
    Other
};

class VK_EXPORT ArchiveReader {
  public:
    ArchiveReader();
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    static constexpr int kMaxDepth = 32;

    /// Parses and checks the layout; false (with `error`) when this is no keyed archive.
    bool open(const std::uint8_t* bytes, std::size_t size, DecodingError& error);
    std::uint64_t root() const;

    /// The kind of the object `uid` names; Other for an out-of-range UID or an unknown object.
    ArchivedKind kind(std::uint64_t uid) const;
    /// The (mapped) class name of an object: record class, "NSArray", "NSDictionary", "NSDate",
    /// "NSString", "NSNumber" or "NSNull" ($null); empty for anything else.
    std::string className(std::uint64_t uid) const;
    bool boolean(std::uint64_t uid, bool& value) const;
    bool integer(std::uint64_t uid, std::int64_t& value) const;
    bool real(std::uint64_t uid, double& value) const;
    bool string(std::uint64_t uid, std::string_view& value) const;
    bool date(std::uint64_t uid, double& secondsSince2001) const;
    /// The UID stored under `key` in a keyed object; 0 ($null) when the key is missing or holds
    /// no UID.
    std::uint64_t entry(std::uint64_t object, std::string_view key) const;
    bool arrayElements(std::uint64_t uid, std::vector<std::uint64_t>& elements) const;
    bool dictionaryEntries(std::uint64_t uid,
                           std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) const;

    /// Called around each nested value read; false when depth or the visit budget is spent.
    bool enter();
    void leave() { --depth_; }

  private:
    struct State;
    std::unique_ptr<State> state_;
    int depth_ = 0;
    std::size_t budget_ = 0;
};

/// Maps an archived class name to today's class name (for example "Vorn.NameIdPair" ->
/// "NameIdPair"). Thread-safe.
VK_EXPORT void setArchivedClassName(std::string archivedName, std::string className);
VK_EXPORT std::string mappedClassName(std::string_view archivedName);

/// Archives `value` with `coding` as the root object.
VK_EXPORT ArchiveBytes archiveRoot(const TypeCoding& coding, const void* value);

/// Reads the root object into `out`. `allowedClasses` (empty: no check) must contain the root's
/// class and, for an NSArray root, each element's class. Fails with DataCorrupted for bytes that
/// are no keyed archive or a root that is not a value of `coding`'s type.
VK_EXPORT bool unarchiveRoot(const std::uint8_t* bytes, std::size_t size,
                             const std::vector<std::string>& allowedClasses,
                             const TypeCoding& coding, void* out, DecodingError& error);

/// The class name of an archive's root object ("NSArray", "NameIdPair", ...), or empty.
VK_EXPORT std::string archivedRootClassName(const std::uint8_t* bytes, std::size_t size);

template <class T>
ArchiveBytes archivedData(const T& value) {
    return archiveRoot(typeCoding<T>(), &value);
}

template <class T>
CodingResult<T> unarchivedObject(const ArchiveBytes& bytes,
                                 const std::vector<std::string>& allowedClasses) {
    T value{};
    DecodingError error;
    if (unarchiveRoot(bytes.data(), bytes.size(), allowedClasses, typeCoding<T>(), &value, error)) {
        return value;
    }
    return error;
}

}  // namespace vk
