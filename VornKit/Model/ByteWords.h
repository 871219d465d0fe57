// ByteWords: eight bytes at a time, for the coders' scans and compares of short texts.
//
// Internal to the Model library (JSON reading and writing, Text). Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vk::bytewords {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ull;

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Bit 7 of each byte of the result is set for the first byte of `w` that JSON writes escaped
/// (quote, backslash, control character), and maybe later ones; zero when there is none.
inline std::uint64_t escapeBits(std::uint64_t w) noexcept {
    std::uint64_t quote = w ^ (kOnes * '"');
    std::uint64_t backslash = w ^ (kOnes * '\\');
    return (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
            ((w - kOnes * 0x20) & ~w)) &
           kHighs;
}

/// Whether the `n` bytes at `a` and `b` are equal; reads only those bytes. Inlined: the decoder
/// compares every key it reads with it.
[[gnu::always_inline]] inline bool equal(const char* a, const char* b, std::size_t n) noexcept {
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (load64(a + i) != load64(b + i))
                return false;
        }
        return load64(a + n - 8) == load64(b + n - 8);
    }
    if (n >= 4) {
        std::uint32_t x;
        std::uint32_t y;
        std::uint32_t u;
        std::uint32_t v;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        std::memcpy(&u, a + n - 4, 4);
        std::memcpy(&v, b + n - 4, 4);
        return x == y && u == v;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

}  // namespace vk::bytewords
