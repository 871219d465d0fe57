#include "VornKit/Model/PlaybackProgressInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace vk {
namespace {

/// A progress report with the three enumerations set to the given JSON values.
std::string report(const std::string& event, const std::string& repeat, const std::string& method) {
    return R"({"CanSeek":true,"ItemId":"i","MediaSourceId":"m","IsPaused":false,)"
           R"("PlaylistIndex":0,"PlaylistLength":1,"IsMuted":false,"PlaySessionId":"p",)"
           R"("SubtitleOffset":0,"PlaybackRate":1.5,"EventName":)" +
           event + R"(,"RepeatMode":)" + repeat + R"(,"PlayMethod":)" + method + "}";
}

TEST(PlaybackEnumCoding, ExactStringsReadAndWriteBack) {
    auto info = JsonDecoder().decode<PlaybackProgressInfo>(
        report(R"("subtitletrackchange")", R"("RepeatOne")", R"("directstream")"));
    ASSERT_TRUE(info) << info.error().description();
    EXPECT_EQ(info->EventName, ProgressEvent::SubtitleTrackChange);
    EXPECT_EQ(info->RepeatMode, RepeatMode::RepeatOne);
    EXPECT_EQ(info->PlayMethod, PlayMethod::DirectStream);
    EXPECT_EQ(info->PlaybackRate, 1.5);

    auto json = info->encodedJson();
    ASSERT_TRUE(json);
    EXPECT_NE(json->find(R"("EventName":"subtitletrackchange")"), std::string::npos) << *json;
    EXPECT_NE(json->find(R"("PlayMethod":"directstream")"), std::string::npos) << *json;
    EXPECT_NE(json->find(R"("RepeatMode":"RepeatOne")"), std::string::npos) << *json;

    EXPECT_EQ(jsonString(ProgressEvent::PlaybackRateChange), "playbackratechange");
    EXPECT_EQ(caseName(ProgressEvent::PlaybackRateChange), "PlaybackRateChange");
    EXPECT_EQ(jsonString(PlayMethod::DirectPlay), "directplay");
    EXPECT_EQ(jsonString(RepeatMode::RepeatAll), "RepeatAll");
}

TEST(PlaybackEnumCoding, OtherSpellingsFail) {
    struct Case {
        std::string event, repeat, method, path;
    };
    const Case cases[] = {
        {R"("TimeUpdate")", R"("RepeatNone")", R"("transcode")", "EventName"},
        {R"("timeupdate ")", R"("RepeatNone")", R"("transcode")", "EventName"},
        {R"("timeupdate")", R"("repeatnone")", R"("transcode")", "RepeatMode"},
        {R"("timeupdate")", R"("RepeatNone")", R"("Transcode")", "PlayMethod"},
        {R"("timeupdate")", R"("RepeatNone")", R"("")", "PlayMethod"},
    };
    for (const auto& c : cases) {
        auto info = JsonDecoder().decode<PlaybackProgressInfo>(report(c.event, c.repeat, c.method));
        ASSERT_FALSE(info) << c.path;
        EXPECT_EQ(info.error().kind, DecodingErrorKind::DataCorrupted) << c.path;
        EXPECT_EQ(info.error().codingPath, c.path);
    }
    auto number = JsonDecoder().decode<PlaybackProgressInfo>(
        report("0", R"("RepeatNone")", R"("transcode")"));
    ASSERT_FALSE(number);
    EXPECT_EQ(number.error().kind, DecodingErrorKind::TypeMismatch);

    EXPECT_EQ(progressEventFromString("pause"), ProgressEvent::Pause);
    EXPECT_FALSE(progressEventFromString("Pause"));
    EXPECT_EQ(repeatModeFromString("RepeatAll"), RepeatMode::RepeatAll);
    EXPECT_FALSE(repeatModeFromString("repeatall"));
    EXPECT_EQ(playMethodFromString("directplay"), PlayMethod::DirectPlay);
    EXPECT_FALSE(playMethodFromString("DirectPlay"));
}

TEST(PlaybackEnumCoding, AbsentPlayMethodIsLeftOutAndNullReadsAsAbsent) {
    auto info =
        JsonDecoder().decode<PlaybackProgressInfo>(report(R"("pause")", R"("RepeatAll")", "null"));
    ASSERT_TRUE(info) << info.error().description();
    EXPECT_FALSE(info->PlayMethod);
    auto json = info->encodedJson();
    ASSERT_TRUE(json);
    EXPECT_EQ(json->find("PlayMethod"), std::string::npos) << *json;
}

}  // namespace
}  // namespace vk
