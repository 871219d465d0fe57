// The values a user-defaults store holds: text, Boolean, 64-bit integer, finite double, data, list
// of text, and dictionaries of these.
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

struct DefaultsValue;
using DefaultsData = std::vector<std::uint8_t>;
using DefaultsDictionary = std::map<std::string, DefaultsValue>;

/// One stored value: text, Boolean, integer, double, data, list of text or dictionary.
struct VK_EXPORT DefaultsValue {
    /// The value itself.
    std::variant<std::string, bool, std::int64_t, double, DefaultsData, std::vector<std::string>,
                 DefaultsDictionary>
        value;

    DefaultsValue() = default;
    /// Implicit conversions from each type a value can hold; a `const char*` (not null) becomes
    /// text and an `int` a 64-bit integer.
    /// @{
    template <class T>
    DefaultsValue(T v) : value(std::move(v)) {}              // NOLINT: implicit by design
    DefaultsValue(const char* v) : value(std::string(v)) {}  // NOLINT
    DefaultsValue(int v) : value(std::int64_t{v}) {}         // NOLINT
    /// @}

    /// Same type and equal contents (doubles compared exactly).
    bool operator==(const DefaultsValue& other) const;

    /// False when the value holds a NaN or infinite double anywhere (the file format, JSON, has
    /// no such numbers).
    bool isStorable() const;
};

}  // namespace vk
