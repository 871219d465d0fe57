// The reference library's media: generated cover pictures (PNG) and short generated audio files
// (WAV), both a pure function of a seed, so that the same item always gets the same bytes.
//
// Thread rule: pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace refserver {

/// A 64-bit mixer (SplitMix64's finaliser): the generated library's seeds, ids and bytes come from
/// it.
std::uint64_t mix(std::uint64_t x);

/// A PNG of `width` x `height` pixels: a diagonal gradient between two colours with a disc, all
/// chosen by `seed`. Empty for a size outside 1-4,096.
std::string coverPng(std::uint64_t seed, int width, int height);

/// The audio format of generated files: 8 kHz, 8-bit unsigned, mono PCM in a WAV container.
inline constexpr int kSampleRate = 8'000;
inline constexpr int kWavHeaderSize = 44;

/// Size in bytes of a generated file lasting `seconds`.
inline std::int64_t wavSize(int seconds) {
    return kWavHeaderSize + std::int64_t{kSampleRate} * seconds;
}

/// A WAV file of `seconds` seconds: a tone whose pitch `seed` chooses, faded in and out.
std::string wavFile(std::uint64_t seed, int seconds);

}  // namespace refserver
