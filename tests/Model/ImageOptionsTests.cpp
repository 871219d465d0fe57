#include "VornKit/Model/ImageOptions.h"

#include <gtest/gtest.h>

#include <string>

namespace vk {
namespace {

TEST(ImageTypeCoding, RawValuesUpToElevenReadAndLargerGiveNone) {
    auto boxRear = JsonDecoder().decode<ImageOptions>(R"({"ImageType":11,"Width":300})");
    ASSERT_TRUE(boxRear) << boxRear.error().description();
    EXPECT_EQ(boxRear->ImageType, ImageType::BoxRear);
    EXPECT_EQ(boxRear->Width, 300);
    EXPECT_EQ(imageTypeName(boxRear->ImageType), "BoxRear");

    EXPECT_EQ(imageTypeFromRaw(0), ImageType::Primary);
    EXPECT_EQ(imageTypeFromRaw(11), ImageType::BoxRear);
    EXPECT_FALSE(imageTypeFromRaw(12));
    EXPECT_FALSE(imageTypeFromRaw(-1));

    for (const char* raw : {"12", "-1", "4294967296"}) {
        auto bad = JsonDecoder().decode<ImageOptions>(std::string(R"({"ImageType":)") + raw + "}");
        ASSERT_FALSE(bad) << raw;
        EXPECT_EQ(bad.error().kind, DecodingErrorKind::DataCorrupted) << raw;
        EXPECT_EQ(bad.error().codingPath, "ImageType");
    }
    auto text = JsonDecoder().decode<ImageOptions>(R"({"ImageType":"Primary"})");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind, DecodingErrorKind::TypeMismatch);
    auto missing = JsonDecoder().decode<ImageOptions>(R"({"Width":1})");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, DecodingErrorKind::KeyNotFound);
}

TEST(ImageTypeCoding, WritesTheRawValueFirstAndOnlyPresentOptions) {
    ImageOptions options(ImageType::Thumb);
    options.MaxWidth = 120;
    options.Tag = "t\"1";
    EXPECT_EQ(JsonEncoder().encode(options), R"({"ImageType":5,"MaxWidth":120,"Tag":"t\"1"})");
    auto back = JsonDecoder().decode<ImageOptions>(*JsonEncoder().encode(options));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, options);
}

}  // namespace
}  // namespace vk
