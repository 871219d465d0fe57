// Standard Base64 (RFC 4648, with padding, no line breaks). Thread-safe, pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// Standard Base64 (RFC 4648, padded, no line breaks). Pure functions; thread-safe.
class VK_EXPORT Base64 {
  public:
    /// The padded Base64 text of the bytes.
    /// @{
    static std::string encode(const std::uint8_t* data, std::size_t size);
    static std::string encode(const std::vector<std::uint8_t>& data) {
        return encode(data.data(), data.size());
    }
    /// @}
    /// Absent when `text` is not canonical padded Base64 (white space is not accepted).
    static std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
};

}  // namespace vk
