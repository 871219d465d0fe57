// FetchRequest: what an ObjectContext query asks for — one entity, a condition, an optional limit.
//
// A condition is built in either of two ways, and both may be combined (they are AND-ed):
//   - from attribute names, with where()/whereIn()/whereNotNull(): the context quotes the names,
//     checks them against the model (an unknown attribute fails the query with a reason) and
//     follows a to-one relationship written as "relationship.attribute" ("item.type");
//   - as SQL text in `condition` over the entity's table (columns named after the attributes,
//     "Z_PK" the key; see ObjectModel.h), with `?` placeholders bound in order from `arguments`.
//     A list argument (std::vector<StoreValue>) must stand in `(?)`; it is bound as one value, so
//     a list of any length works.
// Lists hold integers, doubles, texts or nulls; a null in a list matches nothing.
//
// Records that are store entities offer `fetchRequest()`, a request for their entity, so a host
// builds its own queries without naming tables.
//
// Thread rule: a plain value; externally synchronised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ManagedObject.h"

namespace vk {

/// A query of one entity: conditions built from attribute names and/or SQL text, and a limit (see
/// the top of this file). A plain value.
struct VK_EXPORT FetchRequest {
    /// A placeholder's value: one store value, or a list bound as one value for `IN (?)`.
    using Argument = std::variant<StoreValue, std::vector<StoreValue>>;

    /// One attribute test built by where()/whereIn()/whereNotNull().
    struct Term {
        /// Equals a value (null matches null), is one of a list, is not null.
        enum class Test { Equal, In, NotNull };
        std::string keyPath;  ///< "attribute" or "relationship.attribute"
        /// How the attribute is tested.
        Test test = Test::Equal;
        /// The value (Equal) or list of values (In); unused for NotNull.
        Argument value;
    };

    /// The entity queried.
    std::string entityName;
    /// SQL condition; empty selects every row (unless terms are given).
    std::string condition;
    /// Values for the placeholders of `condition`, in order.
    std::vector<Argument> arguments;
    /// At most this many objects; absent for no limit.
    std::optional<std::int64_t> fetchLimit;
    /// The tests added by where(), whereIn() and whereNotNull(), AND-ed.
    std::vector<Term> terms;

    FetchRequest() = default;
    /// A query of `entity` with an optional SQL condition, its arguments and a limit.
    explicit FetchRequest(std::string entity, std::string sqlCondition = {},
                          std::vector<Argument> sqlArguments = {},
                          std::optional<std::int64_t> limit = std::nullopt)
        : entityName(std::move(entity)),
          condition(std::move(sqlCondition)),
          arguments(std::move(sqlArguments)),
          fetchLimit(limit) {}

    /// Adds "keyPath equals value" (a null value matches null).
    FetchRequest& where(std::string keyPath, StoreValue value);
    /// Adds "keyPath is one of values".
    FetchRequest& whereIn(std::string keyPath, std::vector<StoreValue> values);
    /// Adds "keyPath is not null".
    FetchRequest& whereNotNull(std::string keyPath);
    /// Returns at most `count` objects; returns this request.
    FetchRequest& limit(std::int64_t count);
};

}  // namespace vk
