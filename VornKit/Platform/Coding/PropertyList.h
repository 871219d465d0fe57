// Property-list values: the dictionaries a watch session carries (texts, integers, reals,
// Booleans, dates, data, arrays and dictionaries with text keys), their binary form ("bplist00")
// and their one-line description for log lines.
//
// libplist writes the binary form. Reading, which takes input from outside the process, is a
// walker of our own: it goes over the object table once without recursion and refuses the bytes
// when an offset or length leaves the buffer, a reference loops, a dictionary key is not a text,
// the nesting is deeper than the limit, or the values that shared references expand into exceed
// the limit; only then does it build the value. (libplist 2.2's reader takes time quadratic in
// the nesting depth, and its date getter truncates to the microsecond and loses the sign just
// before 2001, so a date passed back and forth drifted.) Any input gives a value or a refusal,
// in time and memory bounded by its size and the limits.
//
// Thread rule: values are plain and externally synchronised; the functions are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// One property-list value: a Boolean, an integer, a real, a text, a date, data, an array or a
/// dictionary with text keys. A plain value type; externally synchronised.
class VK_EXPORT PlistValue {
  public:
    /// The container and scalar types a value can hold.
    /// @{
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    using Data = std::vector<std::uint8_t>;
    using Date = std::chrono::system_clock::time_point;
    /// @}

    /// What a value holds, as type() tells it.
    enum class Type { Boolean, Integer, Real, String, Date, Data, Array, Dictionary };

    /// The Boolean false.
    PlistValue() : storage_(false) {}
    /// Implicit conversions from each type a value can hold; every integer type becomes an integer
    /// (int64), texts are copied (a `const char*` must not be null).
    /// @{
    PlistValue(bool value) : storage_(value) {}  // NOLINT: values convert implicitly
    template <class I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool>) PlistValue(I value)
        : storage_(static_cast<std::int64_t>(value)) {}                   // NOLINT
    PlistValue(double value) : storage_(value) {}                         // NOLINT
    PlistValue(std::string value) : storage_(std::move(value)) {}         // NOLINT
    PlistValue(std::string_view value) : storage_(std::string(value)) {}  // NOLINT
    PlistValue(const char* value) : storage_(std::string(value)) {}       // NOLINT
    PlistValue(Date value) : storage_(value) {}                           // NOLINT
    PlistValue(Data value) : storage_(std::move(value)) {}                // NOLINT
    PlistValue(Array value) : storage_(std::move(value)) {}               // NOLINT
    PlistValue(Dictionary value) : storage_(std::move(value)) {}          // NOLINT
    /// @}

    /// What the value holds.
    Type type() const { return static_cast<Type>(storage_.index()); }

    /// The value when it has that type, else nullptr.
    /// @{
    const bool* boolean() const { return std::get_if<bool>(&storage_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&storage_); }
    const double* real() const { return std::get_if<double>(&storage_); }
    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const Date* date() const { return std::get_if<Date>(&storage_); }
    const Data* data() const { return std::get_if<Data>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }
    /// @}

    /// Same type and equal contents (dictionaries compared key by key, reals exactly).
    friend bool operator==(const PlistValue& a, const PlistValue& b) {
        return a.storage_ == b.storage_;
    }

  private:
    std::variant<bool, std::int64_t, double, std::string, Date, Data, Array, Dictionary> storage_;
};

/// A dictionary with text keys: what a watch session's messages, user infos and contexts are.
using PlistDictionary = PlistValue::Dictionary;

/// Bounds on what a read accepts.
struct VK_EXPORT PlistLimits {
    /// Containers inside containers: a dictionary of scalars has depth 1.
    std::size_t maxDepth = 32;
    /// Values after shared references are expanded (every reference counts).
    std::size_t maxValues = std::size_t{1} << 18;
};

/// The binary property list of `value`, or absent when it cannot be written: a date outside the
/// format's range (1933-2069 here), a text or key that is not UTF-8 or holds a NUL, nesting deeper
/// than `limits.maxDepth`, or more values than `limits.maxValues`. Texts are UTF-8 (written as
/// ASCII or UTF-16, as the format wants). Dates keep whole microseconds (read to the nearest).
std::optional<std::vector<std::uint8_t>> encodeBinaryPlist(const PlistValue& value,
                                                           const PlistLimits& limits = {});

/// The value of a binary property list, or absent (and `reason`, when given, says why) when the
/// bytes are not one within `limits`. UIDs, sets and null objects are refused: they are not
/// values of this type.
std::optional<PlistValue> decodeBinaryPlist(const std::uint8_t* bytes, std::size_t size,
                                            const PlistLimits& limits = {},
                                            std::string* reason = nullptr);

/// One line for log messages: {key = value; ...} with keys in order, texts quoted, dates as
/// "2024-05-01 10:00:00 +0000" and data as {length = N, bytes = 0x0011...} (the first 24 bytes).
/// @{
VK_EXPORT std::string describePlist(const PlistValue& value);
VK_EXPORT std::string describePlist(const PlistDictionary& dictionary);
/// @}

}  // namespace vk
