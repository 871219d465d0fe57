// JavaScriptText: how the playback bridge writes values into the JavaScript statements it hands to
// the web view, so that the web player receives exactly the value sent and a value can never end
// a statement early or become code.
//
//   - Text goes inside a quoted string literal (single or double quotes): backslash, single and
//     double quote are preceded by a backslash; NUL, newline, carriage return and tab are written
//     \0, \n, \r, \t (NUL as \u{0} when a digit follows, which \0 would swallow as an octal
//     escape); the other control characters below 128 and the line separators U+2028 and U+2029 as
//     \u{<hex>}; every other character as it is. The result never holds a raw line break.
//   - Doubles are written in the shortest form that reads back to the same value, always with a
//     fraction or an exponent (1500 as 1500.0); NaN and the infinities as NaN, Infinity,
//     -Infinity.
//
// Thread rule: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

/// Appends `text` as the inside of a quoted string literal.
VK_EXPORT void appendJavaScriptStringBody(std::string& out, std::string_view text);
/// `text` between single quotes.
VK_EXPORT std::string javaScriptSingleQuoted(std::string_view text);
/// `text` between double quotes.
VK_EXPORT std::string javaScriptDoubleQuoted(std::string_view text);
VK_EXPORT std::string javaScriptDouble(double value);
VK_EXPORT std::string javaScriptInteger(std::int64_t value);

}  // namespace vk
