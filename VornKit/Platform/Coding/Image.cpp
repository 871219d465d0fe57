#include "VornKit/Platform/Coding/Image.h"

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>

#include <climits>
#include <cstring>
#include <memory>

namespace vk {

namespace {

constexpr int kMaxSide = 16'384;
constexpr long long kMaxPixels = 1LL << 26;

bool sizeAcceptable(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           static_cast<long long>(width) * height <= kMaxPixels;
}

bool startsWith(std::string_view data, std::string_view prefix) {
    return data.substr(0, prefix.size()) == prefix;
}

void appendToString(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
}

}  // namespace

Image::Image(int width, int height, std::vector<std::uint8_t> rgba) {
    if (width <= 0 || height <= 0 ||
        rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return;
    }
    width_ = width;
    height_ = height;
    rgba_ = std::move(rgba);
}

Image Image::filled(int width, int height, std::uint32_t rgba) {
    if (width <= 0 || height <= 0)
        return {};
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(rgba >> 24), static_cast<std::uint8_t>(rgba >> 16),
        static_cast<std::uint8_t>(rgba >> 8), static_cast<std::uint8_t>(rgba)};
    for (std::size_t i = 0; i < pixels.size(); i += 4)
        std::memcpy(&pixels[i], bytes, 4);
    return Image(width, height, std::move(pixels));
}

std::optional<std::string> Image::detectFormat(std::string_view data) {
    if (startsWith(data, "\x89PNG\r\n\x1a\n"))
        return "png";
    if (startsWith(data, "\xff\xd8\xff"))
        return "jpeg";
    if (startsWith(data, "GIF87a") || startsWith(data, "GIF89a"))
        return "gif";
    if (startsWith(data, "BM"))
        return "bmp";
    return std::nullopt;
}

std::optional<Image> Image::decode(std::string_view data) {
    // Only the four formats this type promises; stb_image also knows others (TGA has no magic
    // number and would accept almost any bytes).
    if (!detectFormat(data) || data.size() > static_cast<std::size_t>(INT_MAX))
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const stbi_uc*>(data.data());
    const int length = static_cast<int>(data.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(bytes, length, &width, &height, &channels) ||
        !sizeAcceptable(width, height)) {
        return std::nullopt;
    }
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(bytes, length, &width, &height, &channels, 4), stbi_image_free);
    if (!pixels || !sizeAcceptable(width, height))
        return std::nullopt;
    std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    return Image(width, height, std::vector<std::uint8_t>(pixels.get(), pixels.get() + size));
}

std::uint32_t Image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    const std::uint8_t* p = &rgba_[(static_cast<std::size_t>(y) * width_ + x) * 4];
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void Image::setPixel(int x, int y, std::uint32_t rgba) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    std::uint8_t* p = &rgba_[(static_cast<std::size_t>(y) * width_ + x) * 4];
    p[0] = static_cast<std::uint8_t>(rgba >> 24);
    p[1] = static_cast<std::uint8_t>(rgba >> 16);
    p[2] = static_cast<std::uint8_t>(rgba >> 8);
    p[3] = static_cast<std::uint8_t>(rgba);
}

std::optional<std::string> Image::pngData() const {
    if (!hasBitmapData())
        return std::nullopt;
    std::string out;
    if (!stbi_write_png_to_func(appendToString, &out, width_, height_, 4, rgba_.data(),
                                width_ * 4)) {
        return std::nullopt;
    }
    return out;
}

Image Image::scaled(int width, int height) const {
    if (!hasBitmapData() || !sizeAcceptable(width, height))
        return {};
    if (width == width_ && height == height_)
        return *this;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 4);
    if (!stbir_resize_uint8(rgba_.data(), width_, height_, width_ * 4, out.data(), width, height,
                            width * 4, 4)) {
        return {};
    }
    return Image(width, height, std::move(out));
}

}  // namespace vk
