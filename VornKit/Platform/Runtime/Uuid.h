// Uuid: a 128-bit identifier with its canonical text form (8-4-4-4-12 hexadecimal digits).
//
// Thread rule: plain value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

/// A 128-bit identifier with its canonical text form (8-4-4-4-12 hexadecimal digits). A plain
/// value.
struct VK_EXPORT Uuid {
    /// The 16 bytes, in the order the text form writes them.
    std::array<std::uint8_t, 16> bytes{};

    /// A new random (version 4) UUID from the system's random source.
    static Uuid random();
    /// Reads the canonical form or 32 plain hexadecimal digits, in either letter case.
    static std::optional<Uuid> parse(std::string_view text);
    /// Marks the bytes as a version 4 (random) UUID of the RFC 4122 variant.
    Uuid& makeVersion4();
    /// Upper-case canonical text: "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string uuidString() const;

    /// Field-by-field equality.
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace vk
