#include "refserver/SampleMedia.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "VornKit/Platform/Coding/Image.h"

namespace refserver {

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

namespace {

std::uint8_t channel(std::uint32_t rgb, int shift) {
    return static_cast<std::uint8_t>((rgb >> shift) & 0xFF);
}

std::uint8_t blend(std::uint8_t a, std::uint8_t b, double t) {
    return static_cast<std::uint8_t>(std::lround(a + (b - a) * t));
}

void putLittleEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string coverPng(std::uint64_t seed, int width, int height) {
    if (width < 1 || height < 1 || width > 4096 || height > 4096)
        return {};
    const std::uint64_t bits = mix(seed);
    const std::uint32_t from = static_cast<std::uint32_t>(bits) & 0xFFFFFF;
    const std::uint32_t to = static_cast<std::uint32_t>(bits >> 24) & 0xFFFFFF;
    const std::uint32_t disc = (static_cast<std::uint32_t>(bits >> 40) & 0xFFFFFF) | 0x404040;
    const double cx = width * (0.3 + 0.4 * ((bits >> 8) & 0xFF) / 255.0);
    const double cy = height * (0.3 + 0.4 * ((bits >> 16) & 0xFF) / 255.0);
    const double radius = std::min(width, height) * 0.28;

    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    std::size_t at = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double t = (static_cast<double>(x) / width + static_cast<double>(y) / height) / 2;
            std::uint8_t r = blend(channel(from, 16), channel(to, 16), t);
            std::uint8_t g = blend(channel(from, 8), channel(to, 8), t);
            std::uint8_t b = blend(channel(from, 0), channel(to, 0), t);
            if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius) {
                r = channel(disc, 16);
                g = channel(disc, 8);
                b = channel(disc, 0);
            }
            pixels[at++] = r;
            pixels[at++] = g;
            pixels[at++] = b;
            pixels[at++] = 0xFF;
        }
    }
    return vk::Image(width, height, std::move(pixels)).pngData().value_or(std::string());
}

std::string wavFile(std::uint64_t seed, int seconds) {
    if (seconds < 0)
        seconds = 0;
    const std::uint32_t samples = static_cast<std::uint32_t>(kSampleRate) * seconds;
    std::string out;
    out.reserve(static_cast<std::size_t>(wavSize(seconds)));
    out += "RIFF";
    putLittleEndian(out, 36 + samples, 4);
    out += "WAVEfmt ";
    putLittleEndian(out, 16, 4);           // format chunk size
    putLittleEndian(out, 1, 2);            // PCM
    putLittleEndian(out, 1, 2);            // mono
    putLittleEndian(out, kSampleRate, 4);  // sample rate
    putLittleEndian(out, kSampleRate, 4);  // bytes per second
    putLittleEndian(out, 1, 2);            // block align
    putLittleEndian(out, 8, 2);            // bits per sample
    out += "data";
    putLittleEndian(out, samples, 4);

    const double frequency = 220.0 + static_cast<double>(mix(seed) % 440);
    const double fade = kSampleRate / 4.0;
    constexpr double kTwoPi = 6.283185307179586;
    for (std::uint32_t i = 0; i < samples; ++i) {
        double envelope = std::min({1.0, i / fade, (samples - i) / fade});
        double value = std::sin(kTwoPi * frequency * i / kSampleRate) * 0.6 * envelope;
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(std::lround(128 + 127 * value))));
    }
    return out;
}

}  // namespace refserver
