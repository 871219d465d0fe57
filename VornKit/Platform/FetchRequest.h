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
#include "VornKit/Platform/ManagedObject.h"

namespace vk {

struct VK_EXPORT FetchRequest {
    using Argument = std::variant<StoreValue, std::vector<StoreValue>>;

    /// One attribute test built by where()/whereIn()/whereNotNull().
    struct Term {
        enum class Test { Equal, In, NotNull };
        std::string keyPath;  ///< "attribute" or "relationship.attribute"
        Test test = Test::Equal;
        Argument value;
    };

    std::string entityName;
    /// SQL condition; empty selects every row (unless terms are given).
    std::string condition;
    /// Values for the placeholders of `condition`, in order.
    std::vector<Argument> arguments;
    std::optional<std::int64_t> fetchLimit;
    std::vector<Term> terms;

    FetchRequest() = default;
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
    FetchRequest& limit(std::int64_t count);
};

}  // namespace vk
