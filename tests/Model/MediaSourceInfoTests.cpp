#include "VornKit/Model/MediaSourceInfo.h"

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "VornKit/Model/ValueTransformer.h"

namespace vk {
namespace {

TEST(MediaSourceInfoCoding, StreamsRequiredEverythingElseOptional) {
    auto source = JsonDecoder().decode<MediaSourceInfo>(R"({"MediaStreams":[]})");
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->MediaStreams.empty());
    EXPECT_FALSE(source->Id);
    EXPECT_EQ(JsonEncoder().encode(*source), R"({"MediaStreams":[]})");

    auto missing = JsonDecoder().decode<MediaSourceInfo>("{}");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, DecodingErrorKind::KeyNotFound);
    EXPECT_TRUE(JsonDecoder().decode<MediaStream>("{}"));
}

TEST(MediaSourceInfoCoding, InitWithJsonLogsOnlyForSources) {
    test::ScopedLogCapture capture;
    EXPECT_FALSE(MediaSourceInfo::initWithJson("not json"));
    auto lines = capture->messages("MediaSourceInfo");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Error deserializing MediaSourceInfo ", 0), 0u);
    EXPECT_FALSE(MediaStream::initWithJson("not json"));
    EXPECT_EQ(capture->messages().size(), 1u);
    EXPECT_TRUE(MediaSourceInfo::initWithJson(R"({"MediaStreams":[],"RunTimeTicks":0})"));
}

TEST(MediaSourceInfoCoding, AccessorsReadAbsentAsDefaults) {
    auto source = MediaSourceInfo::initWithJson(R"({"MediaStreams":[],"RunTimeTicks":0})");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->runTimeTicks(), std::optional<std::int64_t>(0));
    EXPECT_FALSE(source->isInfiniteStream());
    auto stream = MediaStream::initWithJson(R"({"IsExternal":null})");
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->index(), 0);
    EXPECT_FALSE(stream->isExternal());
    MediaSourceInfo made("id", std::nullopt);
    EXPECT_EQ(made.Id, "id");
    EXPECT_FALSE(made.runTimeTicks());
}

TEST(MediaSourceInfoCoding, DeepCopySharesNoStorage) {
    auto source = MediaSourceInfo::initWithJson(
        R"({"Id":"m","MediaStreams":[{"Codec":"flac","Index":0},{"Codec":"mjpeg","Index":1}]})");
    ASSERT_TRUE(source);
    auto copy = source->deepCopy();
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, *source);
    ASSERT_EQ(copy->MediaStreams.size(), 2u);
    EXPECT_FALSE(copy->MediaStreams[1].Codec.sharesStorageWith(source->MediaStreams[1].Codec));
    EXPECT_FALSE(copy->Id.sharesStorageWith(source->Id));
}

TEST(MediaSourceInfoArchive, RoundTripAndTransformerAllowLists) {
    auto source = MediaSourceInfo::initWithJson(
        R"({"Id":"m","IsRemote":false,"BufferMs":300,"MediaStreams":[{"Codec":"aac","Level":-99.5,)"
        R"("AverageFrameRate":23.976}]})");
    ASSERT_TRUE(source);
    auto transformer = ValueTransformer::forName("MediaSourceInfo");
    ASSERT_TRUE(transformer);
    auto bytes = transformer->transformedValue(*source);
    auto back = transformer->reverseTransformedValue<MediaSourceInfo>(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *source);

    std::vector<MediaStream> streams = source->MediaStreams;
    streams.push_back(streams[0]);
    auto listBytes = archivedData(streams);
    EXPECT_TRUE(transformer->reverseTransformedValue<std::vector<MediaStream>>(listBytes));
    auto streamOnly = ValueTransformer::forName("MediaStream");
    ASSERT_TRUE(streamOnly);
    EXPECT_FALSE(streamOnly->reverseTransformedValue<std::vector<MediaStream>>(listBytes));
    EXPECT_TRUE(streamOnly->reverseTransformedValue<MediaStream>(archivedData(streams[0])));
}

}  // namespace
}  // namespace vk
