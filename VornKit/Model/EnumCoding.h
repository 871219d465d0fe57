// EnumCoding: how one enumeration is coded. Each enumeration's header declares
// `const EnumCoding& enumCoding(E)` (found by argument-dependent lookup); its .cpp defines it with
// the cases and the enumeration's own JSON decoding rule. The C++ enumerator values are the raw
// values for integer enumerations; for text enumerations `text` is the raw value.
//
// Thread rule: immutable after first use; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

struct JsonValueHandle;
struct JsonReadContext;

/// One case of an enumeration: its enumerator value with the names it has in code and in JSON.
struct VK_EXPORT EnumCase {
    std::int64_t value;     ///< the C++ enumerator value (the raw value of integer enumerations)
    std::string_view name;  ///< the case name ("TimeUpdate")
    std::string_view text;  ///< the JSON text of text enumerations ("timeupdate"), else empty
};

/// How one enumeration reads and writes: its cases and its JSON rule. Built once by the
/// enumeration's `enumCoding(E)`; the lookups below are linear over `cases`.
struct VK_EXPORT EnumCoding {
    /// The enumeration's type name, used in decoding errors and keyed archives.
    std::string_view typeName;
    /// True when the raw value is the case's `text` (JSON strings); false for integer raw values.
    bool rawIsText = false;
    /// Every known case, in declaration order.
    std::vector<EnumCase> cases;
    /// The enumeration's JSON rule: reads the value and yields the enumerator value, or fails.
    bool (*decodeJson)(JsonValueHandle&, std::int64_t& value, JsonReadContext&) = nullptr;

    /// Whether `value` is one of the known enumerator values.
    bool isCase(std::int64_t value) const {
        for (const auto& c : cases) {
            if (c.value == value)
                return true;
        }
        return false;
    }
    /// The case name of `value`, or empty for an unknown value.
    std::string_view name(std::int64_t value) const {
        for (const auto& c : cases) {
            if (c.value == value)
                return c.name;
        }
        return {};
    }
    /// The JSON text of `value`, or empty for an unknown value or an integer enumeration.
    std::string_view text(std::int64_t value) const {
        for (const auto& c : cases) {
            if (c.value == value)
                return c.text;
        }
        return {};
    }
    /// The enumerator value whose JSON text is exactly `text` (case-sensitive), or nullopt.
    std::optional<std::int64_t> fromText(std::string_view text) const {
        for (const auto& c : cases) {
            if (c.text == text)
                return c.value;
        }
        return std::nullopt;
    }
    /// The enumerator value whose case name is exactly `name`, or nullopt.
    std::optional<std::int64_t> fromName(std::string_view name) const {
        for (const auto& c : cases) {
            if (c.name == name)
                return c.value;
        }
        return std::nullopt;
    }
};

}  // namespace vk
