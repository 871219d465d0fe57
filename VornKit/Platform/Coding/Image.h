// Image: a decoded bitmap (8-bit RGBA, rows top to bottom) for the framework's image caches and
// loaders. decode() reads PNG, JPEG, GIF (first frame) and BMP; pngData() writes PNG.
//
// An Image may hold no bitmap data (a default-constructed one, or one whose size is zero): loaders
// use hasBitmapData() to tell a usable picture from nothing.
//
// Thread rule: a value; a const Image may be read from any thread at once, a mutable one is
// externally synchronised. decode() and pngData() are safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// A decoded 8-bit RGBA bitmap (see the file comment); a value.
class VK_EXPORT Image {
  public:
    /// No bitmap data.
    Image() = default;
    /// A bitmap of `width` x `height` pixels from `rgba` (4 bytes per pixel, rows top to bottom).
    /// With a pixel buffer of the wrong size, or a negative size, the image holds no bitmap data.
    Image(int width, int height, std::vector<std::uint8_t> rgba);
    /// A bitmap of one colour (0xRRGGBBAA).
    static Image filled(int width, int height, std::uint32_t rgba);

    /// The picture held by `data` (PNG, JPEG, GIF, BMP), converted to RGBA; absent when the bytes
    /// are no image of those formats or are damaged. Pictures of more than 16,384 pixels per side
    /// are refused (a few bytes can claim a huge size).
    static std::optional<Image> decode(std::string_view data);
    /// The format `data` starts like ("png", "jpeg", "gif", "bmp"), or absent; reads the header
    /// only.
    static std::optional<std::string> detectFormat(std::string_view data);

    /// Width in pixels (0 without bitmap data).
    int width() const { return width_; }
    /// Height in pixels (0 without bitmap data).
    int height() const { return height_; }
    /// Whether the image holds a picture of at least one pixel.
    bool hasBitmapData() const { return width_ > 0 && height_ > 0; }
    /// The pixels, 4 bytes (R, G, B, A) each, rows top to bottom.
    const std::vector<std::uint8_t>& rgba() const { return rgba_; }
    /// The pixel at (x, y) as 0xRRGGBBAA; 0 outside the bitmap.
    std::uint32_t pixel(int x, int y) const;
    /// Sets the pixel at (x, y) to 0xRRGGBBAA; nothing outside the bitmap.
    void setPixel(int x, int y, std::uint32_t rgba);
    /// Bytes of pixel memory held (the cost an image cache charges).
    std::size_t byteCount() const { return rgba_.size(); }

    /// The bitmap as a PNG file; absent without bitmap data.
    std::optional<std::string> pngData() const;
    /// The bitmap scaled to `width` x `height` (both at least 1); an image without bitmap data
    /// stays without.
    Image scaled(int width, int height) const;

    /// Field-by-field equality.
    friend bool operator==(const Image&, const Image&) = default;

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> rgba_;
};

}  // namespace vk
