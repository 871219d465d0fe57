// The members of the JSON objects the application answers the page with: a key and its value
// written in one call.
//
// Thread rule: as the JsonWriter's (one thread at a time).
#pragma once

#include <cstdint>
#include <string_view>

#include "VornKit/Platform/Coding/JsonWriter.h"

namespace desktop {

/// Writes the member `key` with the text `value`.
inline void writeText(vk::JsonWriter& writer, std::string_view key, std::string_view value) {
    writer.key(key);
    writer.string(value);
}

/// Writes the member `key` with the integer `value`.
inline void writeInteger(vk::JsonWriter& writer, std::string_view key, std::int64_t value) {
    writer.key(key);
    writer.integer(value);
}

/// Writes the member `key` with the Boolean `value`.
inline void writeFlag(vk::JsonWriter& writer, std::string_view key, bool value) {
    writer.key(key);
    writer.boolean(value);
}

}  // namespace desktop
