#include "VornKit/Platform/Coding/Image.h"

#include <stb/stb_image_write.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "gtest/gtest.h"

using vk::Image;

namespace {

void appendTo(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
}

// A picture whose every pixel differs, so that a swapped row, column or channel shows.
Image pattern(int width, int height) {
    Image image = Image::filled(width, height, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y,
                           (static_cast<std::uint32_t>(x * 40) << 24) |
                               (static_cast<std::uint32_t>(y * 50) << 16) |
                               (static_cast<std::uint32_t>(x + y) << 8) | 0xFF);
        }
    }
    return image;
}

int channelDistance(std::uint32_t a, std::uint32_t b) {
    int worst = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        worst = std::max(worst, std::abs(static_cast<int>((a >> shift) & 0xFF) -
                                         static_cast<int>((b >> shift) & 0xFF)));
    }
    return worst;
}

TEST(Image, PngRoundTripKeepsEveryPixel) {
    Image original = pattern(5, 3);
    auto png = original.pngData();
    ASSERT_TRUE(png);
    EXPECT_EQ(Image::detectFormat(*png), "png");
    auto decoded = Image::decode(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 5);
    EXPECT_EQ(decoded->height(), 3);
    EXPECT_EQ(*decoded, original);
    EXPECT_EQ(decoded->pixel(4, 2), (160u << 24) | (100u << 16) | (6u << 8) | 0xFFu);
}

TEST(Image, DecodesBmpExactly) {
    Image original = pattern(4, 4);
    std::string bmp;
    // BMP as written here has no alpha channel: write RGB.
    std::vector<std::uint8_t> rgb;
    for (std::size_t i = 0; i < original.rgba().size(); i += 4)
        rgb.insert(rgb.end(), original.rgba().begin() + i, original.rgba().begin() + i + 3);
    ASSERT_TRUE(stbi_write_bmp_to_func(appendTo, &bmp, 4, 4, 3, rgb.data()));
    EXPECT_EQ(Image::detectFormat(bmp), "bmp");
    auto decoded = Image::decode(bmp);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, original);
}

TEST(Image, DecodesJpegWithinCompressionError) {
    Image original = Image::filled(16, 16, 0x3080C0FF);
    std::string jpeg;
    ASSERT_TRUE(stbi_write_jpg_to_func(appendTo, &jpeg, 16, 16, 4, original.rgba().data(), 100));
    EXPECT_EQ(Image::detectFormat(jpeg), "jpeg");
    auto decoded = Image::decode(jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 16);
    EXPECT_LE(channelDistance(decoded->pixel(7, 7), 0x3080C0FF), 4);
}

TEST(Image, DecodesTheFirstFrameOfAGif) {
    // 2x1 pixels, a two-colour palette (red, blue), LZW data: clear, 0, 1, end.
    const std::string gif(
        "GIF89a\x02\x00\x01\x00\x80\x00\x00"
        "\xff\x00\x00\x00\x00\xff"
        "\x2c\x00\x00\x00\x00\x02\x00\x01\x00\x00"
        "\x02\x02\x44\x0a\x00\x3b",
        35);
    EXPECT_EQ(Image::detectFormat(gif), "gif");
    auto decoded = Image::decode(gif);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 2);
    EXPECT_EQ(decoded->pixel(0, 0), 0xFF0000FFu);
    EXPECT_EQ(decoded->pixel(1, 0), 0x0000FFFFu);
}

TEST(Image, RefusesWhatIsNoImageOfTheKnownFormats) {
    EXPECT_FALSE(Image::decode(""));
    EXPECT_FALSE(Image::decode("{\"Items\":[]}"));
    // A TGA header has no magic number; it is not one of the formats decoded here.
    std::string tga(18, '\0');
    tga[2] = 2;
    tga[12] = 1;
    tga[14] = 1;
    tga[16] = 32;
    tga += std::string(4, '\x7f');
    EXPECT_FALSE(Image::decode(tga));
    auto png = pattern(8, 8).pngData();
    ASSERT_TRUE(png);
    EXPECT_FALSE(Image::decode(png->substr(0, png->size() / 2))) << "truncated";
    std::string damaged = *png;
    for (std::size_t i = 40; i < damaged.size() - 12; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    EXPECT_FALSE(Image::decode(damaged));
}

TEST(Image, RefusesAHeaderClaimingAHugePicture) {
    auto png = pattern(2, 2).pngData();
    ASSERT_TRUE(png);
    // IHDR width and height (big-endian) at bytes 16-23: claim 100,000 x 100,000 pixels.
    std::string huge = *png;
    const unsigned char side[4] = {0x00, 0x01, 0x86, 0xA0};
    for (int i = 0; i < 4; ++i) {
        huge[16 + i] = static_cast<char>(side[i]);
        huge[20 + i] = static_cast<char>(side[i]);
    }
    EXPECT_FALSE(Image::decode(huge));
}

TEST(Image, NoBitmapData) {
    Image none;
    EXPECT_FALSE(none.hasBitmapData());
    EXPECT_FALSE(none.pngData());
    EXPECT_EQ(none.byteCount(), 0u);
    EXPECT_FALSE(Image(2, 2, std::vector<std::uint8_t>(15)).hasBitmapData()) << "short buffer";
    EXPECT_FALSE(Image(-1, 2, {}).hasBitmapData());
    EXPECT_FALSE(none.scaled(4, 4).hasBitmapData());
    EXPECT_EQ(Image::filled(3, 2, 0x11223344).byteCount(), 24u);
}

TEST(Image, ScalesToTheRequestedSize) {
    Image red = Image::filled(8, 6, 0xFF0000FF);
    Image small = red.scaled(4, 3);
    EXPECT_EQ(small.width(), 4);
    EXPECT_EQ(small.height(), 3);
    EXPECT_LE(channelDistance(small.pixel(2, 1), 0xFF0000FF), 1);
    EXPECT_FALSE(red.scaled(0, 3).hasBitmapData());
}

TEST(Image, PixelAccessOutsideTheBitmapIsHarmless) {
    Image image = Image::filled(2, 2, 0x01020304);
    image.setPixel(5, 5, 0xFFFFFFFF);
    image.setPixel(-1, 0, 0xFFFFFFFF);
    EXPECT_EQ(image.pixel(5, 5), 0u);
    EXPECT_EQ(image, Image::filled(2, 2, 0x01020304));
}

}  // namespace
