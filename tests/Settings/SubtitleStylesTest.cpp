#include "VornKit/Settings/SubtitleStyles.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using vk::SubtitleDropShadow;
using vk::SubtitleStyles;
using vk::SubtitleTextSize;

namespace {

SubtitleStyles decoded(const char* json) {
    auto styles = SubtitleStyles::decode(json);
    EXPECT_TRUE(styles) << json;
    return styles ? *styles : SubtitleStyles{};
}

TEST(SubtitleStyles, NamesMatchInAnyCaseAndOpacityComesAsText) {
    auto s =
        decoded(R"({"textSize":"Large","dropShadow":"UNIFORM","textBackgroundOpacity":"0.5"})");
    EXPECT_EQ(s.textSize, SubtitleTextSize::large);
    EXPECT_EQ(s.dropShadow, SubtitleDropShadow::uniform);
    EXPECT_FLOAT_EQ(s.textBackgroundOpacity, 0.5f);
    EXPECT_EQ(s.verticalPosition, 10);
    EXPECT_EQ(s.textBackground, "transparent");
    EXPECT_EQ(s.textColor, "#ffffff");
    EXPECT_EQ(decoded(R"({"dropShadow":"DropShadow"})").dropShadow, SubtitleDropShadow::dropShadow);
    EXPECT_EQ(decoded(R"({"dropShadow":"dropshadow"})").dropShadow, SubtitleDropShadow::dropShadow);
    EXPECT_EQ(decoded(R"({"textSize":"EXTRALARGE"})").textSize, SubtitleTextSize::extralarge);
}

TEST(SubtitleStyles, IntegersInRangeSelectAndOthersFallBack) {
    EXPECT_EQ(decoded(R"({"textSize":9})").textSize, SubtitleTextSize::normal);
    EXPECT_EQ(decoded(R"({"textSize":0})").textSize, SubtitleTextSize::smaller);
    EXPECT_EQ(decoded(R"({"textSize":-1})").textSize, SubtitleTextSize::normal);
    EXPECT_EQ(decoded(R"({"dropShadow":7})").dropShadow, SubtitleDropShadow::dropShadow);
    EXPECT_EQ(decoded(R"({"dropShadow":1})").dropShadow, SubtitleDropShadow::raised);
    EXPECT_EQ(decoded(R"({"dropShadow":4})").dropShadow, SubtitleDropShadow::dropShadow);
    EXPECT_FALSE(vk::makeSubtitleTextSize(6));
    EXPECT_FALSE(vk::makeSubtitleDropShadow(-1));
    EXPECT_EQ(vk::makeSubtitleDropShadow(2), SubtitleDropShadow::depressed);
}

TEST(SubtitleStyles, OneBadFieldDoesNotSpoilTheOthers) {
    auto s = decoded(
        R"({"verticalPosition":"high","textSize":"huge","dropShadow":true,"textBackground":5,)"
        R"("textColor":"#00ff00","textBackgroundOpacity":0.5,"unknown":[1]})");
    EXPECT_EQ(s.verticalPosition, 10);
    EXPECT_EQ(s.textSize, SubtitleTextSize::normal);
    EXPECT_EQ(s.dropShadow, SubtitleDropShadow::dropShadow);
    EXPECT_EQ(s.textBackground, "transparent");
    EXPECT_EQ(s.textColor, "#00ff00");
    EXPECT_FLOAT_EQ(s.textBackgroundOpacity, 1.0f) << "a JSON number is not the stored text form";
    auto n = decoded(R"({"textColor":null,"textBackgroundOpacity":"0.5 "})");
    EXPECT_EQ(n.textColor, "#ffffff");
    EXPECT_FLOAT_EQ(n.textBackgroundOpacity, 1.0f);
}

TEST(SubtitleStyles, OpacityThatIsNoFiniteNumberGivesTheDefault) {
    for (const char* text : {"nan", "NaN", "inf", "-infinity", "1e999", "0x1p3", ""}) {
        std::string json = std::string(R"({"textBackgroundOpacity":")") + text + "\"}";
        EXPECT_FLOAT_EQ(decoded(json.c_str()).textBackgroundOpacity, 1.0f) << text;
    }
    EXPECT_FLOAT_EQ(decoded(R"({"textBackgroundOpacity":"-0.25"})").textBackgroundOpacity, -0.25f);
    SubtitleStyles s;
    s.textBackgroundOpacity = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NE(s.encode().find(R"("textBackgroundOpacity":1})"), std::string::npos)
        << "JSON has no NaN: " << s.encode();
}

// Under a Turkish single-byte locale the C library folds 'I' to a dotless i (0xFD), so a
// locale-dependent fold would miss "RAISED" and "EXTRALARGE"-style names written in capitals.
TEST(SubtitleStyles, NamesFoldOnlyAsciiLettersWhateverTheLocale) {
    auto dir = vk::test::makeTempDir("locale");
    const std::string command =
        "localedef -c -i tr_TR -f ISO-8859-9 " + (dir / "tr").string() + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 && !std::filesystem::exists(dir / "tr")) {
        GTEST_SKIP() << "localedef cannot build a Turkish locale here";
    }
    ::setenv("LOCPATH", dir.c_str(), 1);
    const char* set = std::setlocale(LC_ALL, "tr");
    ::unsetenv("LOCPATH");
    if (set == nullptr) {
        GTEST_SKIP() << "the Turkish locale did not load";
    }
    ASSERT_NE(std::tolower('I'), 'i') << "the locale should fold I differently";
    auto raised = SubtitleStyles::decode(R"({"dropShadow":"RAISED","textSize":"SMALLER"})");
    auto upper = SubtitleStyles::decode(R"({"textSize":"EXTRALARGE","dropShadow":"UNIFORM"})");
    std::setlocale(LC_ALL, "C");
    ASSERT_TRUE(raised && upper);
    EXPECT_EQ(raised->dropShadow, SubtitleDropShadow::raised);
    EXPECT_EQ(raised->textSize, SubtitleTextSize::smaller);
    EXPECT_EQ(upper->textSize, SubtitleTextSize::extralarge);
    EXPECT_EQ(upper->dropShadow, SubtitleDropShadow::uniform);
    // Letters outside ASCII are not folded at all: a dotted capital I is no i.
    EXPECT_EQ(decoded("{\"dropShadow\":\"RA\u0130SED\"}").dropShadow,
              SubtitleDropShadow::dropShadow);
}

TEST(SubtitleStyles, EncodingWritesAllKeysAsNumbersAndDecodesBack) {
    SubtitleStyles s;
    s.verticalPosition = -3;
    s.textSize = SubtitleTextSize::larger;
    s.dropShadow = SubtitleDropShadow::none;
    s.textBackground = "rgba(0,0,0,\"0.5\")";
    s.textBackgroundOpacity = 0.25f;
    EXPECT_EQ(s.encode(), R"({"verticalPosition":-3,"textSize":4,"dropShadow":0,)"
                          R"x("textBackground":"rgba(0,0,0,\"0.5\")","textColor":"#ffffff",)x"
                          R"("textBackgroundOpacity":0.25})");
    EXPECT_EQ(
        SubtitleStyles().encode(),
        R"({"verticalPosition":10,"textSize":2,"dropShadow":4,"textBackground":"transparent",)"
        R"("textColor":"#ffffff","textBackgroundOpacity":1})");
    // The stored form keeps opacity as text, so a written record reads back with opacity 1.0 and
    // everything else intact.
    auto back = SubtitleStyles::decode(s.encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->textSize, s.textSize);
    EXPECT_EQ(back->textBackground, s.textBackground);
    EXPECT_FLOAT_EQ(back->textBackgroundOpacity, 1.0f);
}

}  // namespace
