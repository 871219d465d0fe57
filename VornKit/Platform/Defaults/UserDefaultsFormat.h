// The text form of a user-defaults file: one JSON object whose values are typed by their JSON
// form. Text is a string, a Boolean true/false, an integer an integer, a double a number written
// with a '.' or an exponent, a list of text an array of strings, data {"$data": "<base64>"}, and a
// dictionary an object (wrapped as {"$dictionary": {...}} when its only key starts with '$', so it
// cannot pass for a marker).
//
// Entries the store does not model (null, a list of numbers, an integer beyond 64 bits, a number
// JSON does not allow such as NaN, anything a hand edit or another program put there) do not
// spoil the file: they are left out of the values and kept as their JSON text, so that the next
// write puts them back exactly as they were. Only a text that is not one JSON object as a whole
// (unbalanced brackets, a top level that is no object, keys that are no strings) is unreadable.
//
// Thread rule: stateless functions, callable from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Platform/Defaults/UserDefaultsValue.h"

namespace vk {

/// What one defaults file holds.
struct VK_EXPORT DefaultsFileContents {
    DefaultsDictionary values;                ///< the entries the store models
    std::map<std::string, std::string> kept;  ///< the others: key to the value's JSON text

    /// Sets `key` to `value`, or removes it (absent); either replaces a kept entry of that key.
    void assign(const std::string& key, const std::optional<DefaultsValue>& value);
    /// Same values and same kept entries.
    bool operator==(const DefaultsFileContents&) const = default;
};

/// The text form of a defaults file (see the top of this file). Pure functions; thread-safe.
class VK_EXPORT UserDefaultsFormat {
  public:
    /// The contents of a file's text; absent when the text is not one JSON object. An empty
    /// text (or only whitespace) is an empty file.
    static std::optional<DefaultsFileContents> decode(std::string_view text);
    /// The file's text: compact JSON, keys in order, a newline at the end.
    static std::string encode(const DefaultsFileContents& contents);
};

}  // namespace vk
