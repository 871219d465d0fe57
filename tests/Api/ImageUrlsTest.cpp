// Image and audio stream URLs: their paths and parameters, the play-session ids, and what the
// reference server answers to them.
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "LibraryTestSupport.h"
#include "VornKit/Platform/Coding/Image.h"
#include "refserver/SampleMedia.h"

using vk::ApiClient;
using vk::BaseItemDto;
using vk::ImageOptions;
using vk::ImageType;
using vk::test::LibraryServerTest;
using vk::test::makeDeviceInfo;
using vk::test::makeServerInfo;
using Params = std::map<std::string, std::string>;

namespace {

std::shared_ptr<ApiClient> clientAt(const std::string& address, vk::ServerInfo info) {
    auto client = std::make_shared<ApiClient>(std::move(info), makeDeviceInfo());
    client->setServerAddress(address);
    return client;
}

std::shared_ptr<ApiClient> client() {
    return clientAt("http://h:1", makeServerInfo("http://h:1"));
}

Params parameters(const vk::Url& url) {
    Params out;
    auto items = vk::UrlComponents::parse(url.absoluteString())->queryItems();
    for (const auto& item : items.value_or(std::vector<vk::UrlQueryItem>{}))
        out[item.name] = item.value.value_or("<none>");
    return out;
}

std::string pathOf(const vk::Url& url) {
    return url.path();
}

std::shared_ptr<BaseItemDto> track(const std::string& id) {
    auto item = std::make_shared<BaseItemDto>();
    item->Id = id;
    return item;
}

std::optional<vk::Url> streamUrl(ApiClient& client, const std::shared_ptr<BaseItemDto>& item) {
    return client.getAudioStreamURL(*item, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                    std::nullopt, std::nullopt, std::nullopt, 0, false);
}

std::optional<vk::Url> streamUrl(ApiClient& client, const BaseItemDto& item) {
    return client.getAudioStreamURL(item, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                    std::nullopt, std::nullopt, std::nullopt, 0, false);
}

// Image URLs ---------------------------------------------------------------------------------

TEST(ImageUrl, OnlyTheTypeGivesThePathAndExactlyTheRequestParameters) {
    auto url = client()->getScaledImageUrl("abc", ImageOptions(ImageType::Thumb),
                                           {{"api_key", "k"}, {"Extra", "1"}});
    ASSERT_TRUE(url);
    EXPECT_EQ(pathOf(*url), "/vorn/Items/abc/Images/Thumb");
    EXPECT_EQ(parameters(*url), (Params{{"api_key", "k"}, {"Extra", "1"}}));
    auto bare = client()->getScaledImageUrl("abc", ImageOptions(ImageType::BoxRear), {});
    EXPECT_EQ(bare->absoluteString(), "http://h:1/vorn/Items/abc/Images/BoxRear");
}

TEST(ImageUrl, AnIdStaysInsideItsPathSegment) {
    const ImageOptions primary(ImageType::Primary);
    EXPECT_EQ(client()->getScaledImageUrl("a b/../c?d#e%", primary, {})->absoluteString(),
              "http://h:1/vorn/Items/a%20b%2F..%2Fc%3Fd%23e%25/Images/Primary");
    EXPECT_EQ(pathOf(*client()->getScaledImageUrl("..", primary, {})),
              "/vorn/Items/%2E%2E/Images/Primary");
    BaseItemDto item;
    item.Id = "../Items/x";
    EXPECT_EQ(pathOf(*streamUrl(*client(), item)), "/vorn/Audio/..%2FItems%2Fx/universal");
}

TEST(ImageUrl, TheIndexIsAPathSegmentWhenPresentZeroIncluded) {
    ImageOptions options(ImageType::Backdrop);
    options.ImageIndex = 0;
    EXPECT_EQ(pathOf(*client()->getScaledImageUrl("abc", options, {})),
              "/vorn/Items/abc/Images/Backdrop/0");
    options.ImageIndex = 12;
    EXPECT_EQ(pathOf(*client()->getScaledImageUrl("abc", options, {})),
              "/vorn/Items/abc/Images/Backdrop/12");
}

TEST(ImageUrl, OptionsReplaceRequestParametersOfTheSameName) {
    ImageOptions options(ImageType::Primary);
    options.Width = 300;
    auto url = client()->getScaledImageUrl("abc", options, {{"Width", "10"}, {"Height", "20"}});
    EXPECT_EQ(parameters(*url), (Params{{"Width", "300"}, {"Height", "20"}}));
}

TEST(ImageUrl, EveryOptionHasItsParameterAndFalseIsWritten) {
    ImageOptions options(ImageType::Primary);
    options.Width = 1;
    options.Height = 2;
    options.MaxWidth = 3;
    options.MaxHeight = 4;
    options.Quality = 90;
    options.Tag = "t&g";
    options.CropWhitespace = false;
    options.EnableImageEnhancers = true;
    options.AddPlayedIndicator = false;
    options.PercentPlayed = 55;
    options.UnPlayedCount = 0;
    options.BackgroundColor = "#000";
    auto url = client()->getScaledImageUrl("abc", options, {});
    EXPECT_EQ(parameters(*url), (Params{{"Width", "1"},
                                        {"Height", "2"},
                                        {"MaxWidth", "3"},
                                        {"MaxHeight", "4"},
                                        {"Quality", "90"},
                                        {"Tag", "t&g"},
                                        {"CropWhitespace", "false"},
                                        {"EnableImageEnhancers", "true"},
                                        {"AddPlayedIndicator", "false"},
                                        {"PercentPlayed", "55"},
                                        {"UnPlayedCount", "0"},
                                        {"BackgroundColor", "#000"}}));
    options.CropWhitespace.reset();
    EXPECT_EQ(parameters(*client()->getScaledImageUrl("abc", options, {})).count("CropWhitespace"),
              0u);
}

TEST(ImageUrl, WithoutAnAddressThereIsNone) {
    vk::test::ScopedLogCapture log;
    ApiClient bare(makeServerInfo(std::nullopt), makeDeviceInfo());
    EXPECT_FALSE(bare.getScaledImageUrl("abc", ImageOptions(ImageType::Primary), {}));
    EXPECT_TRUE(log->contains("Error: Server address not set"));
}

// Stream URLs --------------------------------------------------------------------------------

TEST(StreamUrl, CarriesTheFixedParametersAndOnlyThePresentOptionalOnes) {
    auto c = client();
    const std::int64_t session = c->startingPlaySession();
    auto url =
        c->getAudioStreamURL(*track("t1"), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                             std::nullopt, std::nullopt, std::nullopt, 1234, true);
    ASSERT_TRUE(url);
    EXPECT_EQ(pathOf(*url), "/vorn/Audio/t1/universal");
    EXPECT_EQ(parameters(*url), (Params{{"UserId", "user-1"},
                                        {"DeviceId", "device-42"},
                                        {"api_key", "token-abc"},
                                        {"PlaySessionId", std::to_string(session)},
                                        {"StartTimeTicks", "1234"},
                                        {"EnableRedirection", "true"},
                                        {"EnableRemoteMedia", "true"}}));

    auto full =
        c->getAudioStreamURL(*track("t1"), std::string("mp3"), std::string("http"),
                             std::string("aac"), std::string("flac,mp3"), std::int64_t{320000},
                             std::int64_t{48000}, std::int64_t{24}, 0, false);
    Params got = parameters(*full);
    EXPECT_EQ(got["MaxStreamingBitrate"], "320000");
    EXPECT_EQ(got["Container"], "flac,mp3");
    EXPECT_EQ(got["TranscodingContainer"], "mp3");
    EXPECT_EQ(got["TranscodingProtocol"], "http");
    EXPECT_EQ(got["AudioCodec"], "aac");
    EXPECT_EQ(got["MaxAudioSampleRate"], "48000");
    EXPECT_EQ(got["MaxAudioBitDepth"], "24");
    EXPECT_EQ(got["EnableRemoteMedia"], "false");
    EXPECT_EQ(got["EnableRedirection"], "true");
    EXPECT_EQ(got.size(), 14u);
}

TEST(StreamUrl, WithoutATokenThereIsNoneAndTheSessionStays) {
    vk::test::ScopedLogCapture log;
    auto c = client();
    c->clearServerCredentials();
    const std::int64_t session = c->startingPlaySession();
    EXPECT_FALSE(streamUrl(*c, track("t")));
    EXPECT_EQ(c->startingPlaySession(), session);
    EXPECT_TRUE(log->messages("ApiClient").empty());
}

TEST(StreamUrl, WithoutAnAddressTheSessionStillAdvances) {
    vk::test::ScopedLogCapture log;
    ApiClient bare(makeServerInfo(std::nullopt), makeDeviceInfo());
    const std::int64_t session = bare.startingPlaySession();
    EXPECT_FALSE(streamUrl(bare, track("t")));
    EXPECT_EQ(bare.startingPlaySession(), session + 1);
    EXPECT_TRUE(log->contains("Error: Server address not set"));
}

TEST(StreamUrl, WithoutAUserTheUserIdIsEmpty) {
    auto info = makeServerInfo("http://h:1");
    info.UserId.reset();
    auto url = streamUrl(*clientAt("http://h:1", info), track("t"));
    EXPECT_EQ(parameters(*url).at("UserId"), "");
}

TEST(StreamUrl, IdsFromSeveralThreadsAreNeverHandedOutTwice) {
    auto c = client();
    const std::int64_t first = c->startingPlaySession();
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::set<std::string> seen;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                auto url = streamUrl(*c, track("t"));
                std::lock_guard lock(mutex);
                seen.insert(parameters(*url)["PlaySessionId"]);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(c->startingPlaySession(), first + 200);
}

// What the reference server makes of them ---------------------------------------------------

class MediaUrls : public LibraryServerTest {
  protected:
    struct Fetched {
        std::optional<std::string> data;
        std::optional<vk::UrlResponse> response;
    };
    Fetched fetch(vk::UrlRequest request) {
        vk::test::Recorder<Fetched> recorder;
        auto handler = recorder.handler();
        vk::defaultSession()
            ->dataTask(
                request,
                [handler](std::optional<std::string> data, std::optional<vk::UrlResponse> response,
                          std::optional<vk::UrlError>) {
                    handler(Fetched{std::move(data), std::move(response)});
                })
            ->resume();
        EXPECT_TRUE(recorder.wait());
        return recorder.value();
    }
};

TEST_F(MediaUrls, ACoverHonoursMaxWidthAndDecodes) {
    const auto& album = *library_->ofType("MusicAlbum").front();
    ImageOptions options(ImageType::Primary);
    options.MaxWidth = 120;
    options.Tag = album.imageTag;
    auto url = client_->getScaledImageUrl(album.id, options, {{"api_key", "token-abc"}});
    ASSERT_TRUE(url);
    Fetched got = fetch(vk::UrlRequest(*url));
    ASSERT_TRUE(got.response && got.data);
    EXPECT_EQ(got.response->statusCode, 200);
    EXPECT_EQ(got.response->headers.value("Content-Type"), "image/png");
    auto image = vk::Image::decode(*got.data);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 120);
    EXPECT_EQ(image->height(), 120);
    // Without the key in the URL, an image view (which sends no header) is refused.
    auto keyless = client_->getScaledImageUrl(album.id, options, {});
    vk::UrlRequest plain(*keyless);
    EXPECT_EQ(fetch(plain).response->statusCode, 401);
}

TEST_F(MediaUrls, TheStreamIsTheTrackFileAndHonoursRanges) {
    const auto& song = *library_->ofType("Audio")[2];
    BaseItemDto item;
    item.Id = song.id;
    auto url = streamUrl(*client_, item);
    ASSERT_TRUE(url);
    Fetched whole = fetch(vk::UrlRequest(*url));
    ASSERT_TRUE(whole.data);
    EXPECT_EQ(whole.response->statusCode, 200);
    EXPECT_EQ(static_cast<std::int64_t>(whole.data->size()), refserver::wavSize(song.audioSeconds));
    EXPECT_EQ(whole.data->substr(0, 4), "RIFF");
    // The file's length matches the item's run time.
    const std::int64_t samples =
        static_cast<std::int64_t>(whole.data->size()) - refserver::kWavHeaderSize;
    EXPECT_EQ(samples * 10'000'000 / refserver::kSampleRate, song.runTimeTicks);

    vk::UrlRequest ranged(*url);
    ranged.setValue("bytes=8-15", "Range");
    Fetched part = fetch(ranged);
    EXPECT_EQ(part.response->statusCode, 206);
    EXPECT_EQ(part.data, std::string("WAVEfmt "));
    EXPECT_EQ(part.response->headers.value("Content-Range"),
              "bytes 8-15/" + std::to_string(whole.data->size()));

    auto recorded = requestsAt("Audio/" + song.id + "/universal");
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].queryValue("PlaySessionId"),
              std::to_string(client_->startingPlaySession() - 1));
}

TEST_F(MediaUrls, ItemsWithoutAudioHaveNoStream) {
    BaseItemDto movie;
    movie.Id = library_->ofType("Movie").front()->id;
    EXPECT_EQ(fetch(vk::UrlRequest(*streamUrl(*client_, movie))).response->statusCode, 404);
}

}  // namespace
