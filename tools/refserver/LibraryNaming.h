// How the reference library names what it generates: ids, image tags, dates and sort names, each
// a pure function of what it is given, so that the same options always give the same library.
//
// Thread rule: pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace refserver {

/// Ticks (the servers' unit of time) in a second.
inline constexpr std::int64_t kTicksPerSecond = 10'000'000;

/// `value` as `digits` lower-case hexadecimal digits (its low ones).
std::string hex(std::uint64_t value, int digits);

/// The 64-bit FNV-1a hash of `text`.
std::uint64_t fnv1a(std::string_view text);

/// A 32-digit image tag for an item's seed and the image kind.
std::string tag(std::uint64_t seed, std::uint64_t kind);

/// A 32-digit id, the same for the same kind and number.
std::string makeId(std::uint64_t kind, std::uint64_t number);

/// The name as sorted: lower case, without a leading "The ", "A " or "An ".
std::string sortNameOf(const std::string& name);

/// "2024-01-01T00:00:00.0000000Z" plus `minutes`.
std::string dateText(std::int64_t minutes);

}  // namespace refserver
