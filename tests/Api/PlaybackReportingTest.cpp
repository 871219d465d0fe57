// Playback reports: the throttle on progress reports (with a controlled clock), and the three
// reports as the reference server receives them, with their log lines.
#include <simdjson.h>

#include <cmath>
#include <limits>

#include "LibraryTestSupport.h"

using namespace std::chrono_literals;
using vk::ApiClient;
using vk::PlaybackProgressInfo;
using vk::PlaybackStopInfo;
using vk::ProgressEvent;
using vk::RepeatMode;
using vk::test::LibraryServerTest;
using vk::test::makeDeviceInfo;
using vk::test::makeServerInfo;

namespace {

PlaybackProgressInfo progress(ProgressEvent event, std::optional<std::int64_t> positionMs,
                              std::string itemId = "item-1") {
    PlaybackProgressInfo info(true, std::move(itemId), "source-1", false, 0, 1, false, "77",
                              RepeatMode::RepeatNone, 0);
    info.EventName = event;
    if (positionMs)
        info.PositionTicks = *positionMs * 10'000;
    return info;
}

// A client whose clock the test sets and whose unthrottled sender only records.
class ThrottleProbe : public ApiClient {
  public:
    ThrottleProbe() : ApiClient(makeServerInfo("http://h:1"), makeDeviceInfo()) {}

    vk::Date now() const override { return clock; }
    void sendPlaybackProgress(const PlaybackProgressInfo& info) override {
        sent.push_back(info.PositionTicks);
    }
    void advance(std::chrono::milliseconds by) { clock += by; }

    using ApiClient::lastPlaybackProgressReport;
    using ApiClient::lastPlaybackProgressReportTicks;

    vk::Date clock = vk::Date(std::chrono::seconds(1'700'000'000));
    std::vector<std::optional<std::int64_t>> sent;
};

// Throttle ------------------------------------------------------------------------------------

TEST(ProgressThrottle, TheFirstPeriodicReportOfAClientGoesThrough) {
    ThrottleProbe client;
    EXPECT_EQ(client.lastPlaybackProgressReport(), ApiClient::distantPast());
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 5'000));
    ASSERT_EQ(client.sent.size(), 1u);
    EXPECT_EQ(client.lastPlaybackProgressReport(), client.clock);
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 5'000);
}

TEST(ProgressThrottle, SteadyPlaybackGoesThroughEveryTenSeconds) {
    ThrottleProbe client;
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 5'000));
    const vk::Date first = client.clock;
    client.advance(9'999ms);
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 5'000 + 9'999));
    EXPECT_EQ(client.sent.size(), 1u) << "9,999 ms after the last one: dropped";
    EXPECT_EQ(client.lastPlaybackProgressReport(), first) << "a drop changes nothing";
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 5'000);
    client.advance(1ms);
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 15'000));
    EXPECT_EQ(client.sent.size(), 2u) << "10,000 ms after: sent";
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 15'000);
}

TEST(ProgressThrottle, AJumpOfTenSecondsFromSteadyPlaybackIsASeek) {
    ThrottleProbe client;
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 60'000));
    client.advance(2s);
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 62'000 + 9'999));
    EXPECT_EQ(client.sent.size(), 1u) << "9,999 ms off the expected position: dropped";
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 62'000 + 30'000));
    ASSERT_EQ(client.sent.size(), 2u) << "30 s further on: sent";
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 92'000);
    client.advance(1s);
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 10'000));
    EXPECT_EQ(client.sent.size(), 3u) << "a seek backwards counts as well";
}

TEST(ProgressThrottle, AnAbsentOrZeroPositionIsNeverASeek) {
    ThrottleProbe client;
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 60'000));
    client.advance(2s);
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, std::nullopt));
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 0));
    EXPECT_EQ(client.sent.size(), 1u);
}

TEST(ProgressThrottle, EveryOtherEventGoesThroughAndSoDoesTheNextPeriodicOne) {
    ThrottleProbe client;
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 1'000));
    client.advance(500ms);
    client.reportPlaybackProgress(progress(ProgressEvent::Pause, 1'500));
    EXPECT_EQ(client.sent.size(), 2u);
    EXPECT_EQ(client.lastPlaybackProgressReport(), ApiClient::distantPast());
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 1'500);
    client.advance(1s);
    client.reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 1'500));
    EXPECT_EQ(client.sent.size(), 3u) << "1 s after a pause report";
    for (ProgressEvent event : {ProgressEvent::Unpause, ProgressEvent::VolumeChange,
                                ProgressEvent::StateChange, ProgressEvent::PlaybackRateChange}) {
        client.reportPlaybackProgress(progress(event, std::nullopt));
    }
    EXPECT_EQ(client.sent.size(), 7u);
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 0) << "an absent position counts as 0";
}

TEST(ProgressThrottle, PositionsAreTicksTruncatedToMilliseconds) {
    ThrottleProbe client;
    auto info = progress(ProgressEvent::TimeUpdate, std::nullopt);
    info.PositionTicks = 123'456'789;
    client.reportPlaybackProgress(info);
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), 12'345);
    info.PositionTicks = -19'999;
    info.EventName = ProgressEvent::Pause;
    client.reportPlaybackProgress(info);
    EXPECT_EQ(client.lastPlaybackProgressReportTicks(), -1) << "toward zero";
}

// Reports as the server receives them --------------------------------------------------------

class PlaybackReports : public LibraryServerTest {
  protected:
    // The single report the server got, as a parsed JSON object.
    simdjson::dom::object received(std::size_t expected = 1) {
        EXPECT_TRUE(eventually([&] { return library_->reports().size() >= expected; }));
        auto reports = library_->reports();
        EXPECT_EQ(reports.size(), expected);
        body_ = simdjson::padded_string(reports.back().body);
        simdjson::dom::object object;
        EXPECT_EQ(parser_.parse(body_).get(object), simdjson::SUCCESS) << reports.back().body;
        return object;
    }
    bool logged(const std::string& line) {
        return eventually([&] { return log_->count(line) > 0; });
    }
    static std::string text(simdjson::dom::object& object, const char* key) {
        std::string_view value;
        EXPECT_EQ(object[key].get(value), simdjson::SUCCESS) << key;
        return std::string(value);
    }

    simdjson::dom::parser parser_;
    simdjson::padded_string body_;
};

TEST_F(PlaybackReports, StartPostsTheRecordAsJson) {
    const auto& song = *library_->ofType("Audio")[3];
    auto info = progress(ProgressEvent::StateChange, std::nullopt, song.id);
    info.NowPlayingQueue = std::vector<vk::QueueItem>{{song.id, "pl-1"}, {"other", "pl-2"}};
    client_->reportPlaybackStart(info);
    auto body = received();
    EXPECT_TRUE(logged("reportPlaybackStart response: 204"));
    EXPECT_EQ(text(body, "ItemId"), song.id);
    EXPECT_EQ(text(body, "MediaSourceId"), "source-1");
    EXPECT_EQ(text(body, "PlaySessionId"), "77");
    EXPECT_EQ(text(body, "EventName"), "statechange");
    EXPECT_EQ(text(body, "RepeatMode"), "RepeatNone");
    double rate = 0;
    EXPECT_EQ(body["PlaybackRate"].get(rate), simdjson::SUCCESS);
    EXPECT_EQ(rate, 1.0);
    bool canSeek = false;
    EXPECT_EQ(body["CanSeek"].get(canSeek), simdjson::SUCCESS);
    EXPECT_TRUE(canSeek);
    EXPECT_EQ(body["PositionTicks"].error(), simdjson::NO_SUCH_FIELD);
    EXPECT_EQ(body["PlayMethod"].error(), simdjson::NO_SUCH_FIELD);
    simdjson::dom::array queue;
    ASSERT_EQ(body["NowPlayingQueue"].get(queue), simdjson::SUCCESS);
    EXPECT_EQ(queue.size(), 2u);

    auto recorded = requestsAt("Sessions/Playing");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].header("Content-Type"), "application/json");
    EXPECT_TRUE(recorded[0].query.empty());
}

TEST_F(PlaybackReports, ProgressIsThrottledAndLogsItsEvent) {
    const auto& song = *library_->ofType("Audio")[4];
    auto info = progress(ProgressEvent::TimeUpdate, 12'000, song.id);
    info.PlayMethod = vk::PlayMethod::DirectPlay;
    client_->reportPlaybackProgress(info);
    auto body = received();
    EXPECT_TRUE(logged("reportPlaybackProgress event TimeUpdate response: 204"));
    EXPECT_EQ(text(body, "EventName"), "timeupdate");
    EXPECT_EQ(text(body, "PlayMethod"), "directplay");
    std::int64_t ticks = 0;
    EXPECT_EQ(body["PositionTicks"].get(ticks), simdjson::SUCCESS);
    EXPECT_EQ(ticks, 120'000'000);
    EXPECT_EQ(library_->userState(song.id).playbackPositionTicks, 120'000'000);

    client_->reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 13'000, song.id));
    client_->reportPlaybackProgress(progress(ProgressEvent::Pause, 13'500, song.id));
    received(2);
    EXPECT_TRUE(logged("reportPlaybackProgress event Pause response: 204"));
    EXPECT_EQ(requestsAt("Sessions/Playing/Progress").size(), 2u) << "the second was dropped";
}

TEST_F(PlaybackReports, StopPostsTheStopRecord) {
    const auto& song = *library_->ofType("Audio")[6];
    ASSERT_FALSE(library_->userState(song.id).played);
    PlaybackStopInfo info(0, 1, song.id, song.id, "88");
    info.PositionTicks = song.runTimeTicks;
    client_->reportPlaybackStopped(info);
    auto body = received();
    EXPECT_TRUE(logged("reportPlaybackStopped response: 204"));
    EXPECT_EQ(text(body, "ItemId"), song.id);
    EXPECT_EQ(body["Failed"].error(), simdjson::NO_SUCH_FIELD);
    EXPECT_EQ(body["EventName"].error(), simdjson::NO_SUCH_FIELD);
    EXPECT_EQ(library_->reports().back().endpoint, "Sessions/Playing/Stopped");
    EXPECT_TRUE(library_->userState(song.id).played) << "played to the end";
}

TEST_F(PlaybackReports, AFailedExchangeLogsNil) {
    server_->addFault(
        {"", "/vorn/Sessions/Playing", "POST", refserver::Fault::withStatus(500), -1});
    client_->reportPlaybackStart(progress(ProgressEvent::StateChange, 1'000));
    client_->reportPlaybackStopped(PlaybackStopInfo(0, 1, "item-1", "source-1", "77"));
    EXPECT_TRUE(logged("reportPlaybackStart response: nil"));
    EXPECT_TRUE(logged("reportPlaybackStopped response: nil"));
    EXPECT_TRUE(log_->contains("Error posting content to " + base_ +
                               "/vorn/Sessions/Playing: Invalid response"));
    EXPECT_TRUE(library_->reports().empty());
}

// Most servers answer a report with a 204 that has no Content-Length: it is still an answer.
TEST_F(PlaybackReports, ANoContentAnswerWithoutLengthLogsItsStatus) {
    server_->addFault({"", "/vorn/Sessions/Playing", "POST", refserver::Fault::noContent(204), -1});
    client_->reportPlaybackStart(progress(ProgressEvent::StateChange, 1'000));
    client_->reportPlaybackProgress(progress(ProgressEvent::Pause, 2'000));
    client_->reportPlaybackStopped(PlaybackStopInfo(0, 1, "item-1", "source-1", "77"));
    EXPECT_TRUE(logged("reportPlaybackStart response: 204"));
    EXPECT_TRUE(logged("reportPlaybackProgress event Pause response: 204"));
    EXPECT_TRUE(logged("reportPlaybackStopped response: 204"));
    EXPECT_EQ(log_->count("reportPlaybackStart response: nil"), 0u);
}

TEST_F(PlaybackReports, WithoutAnAddressNothingIsSent) {
    client_ = std::make_shared<ApiClient>(makeServerInfo(std::nullopt), makeDeviceInfo());
    client_->reportPlaybackStart(progress(ProgressEvent::StateChange, 1'000));
    client_->reportPlaybackProgress(progress(ProgressEvent::TimeUpdate, 1'000));
    client_->reportPlaybackStopped(PlaybackStopInfo(0, 1, "item-1", "source-1", "77"));
    for (const char* line :
         {"Error: reportPlaybackStart invalid url", "Error: reportPlaybackProgress invalid url",
          "Error: reportPlaybackStopped invalid url"}) {
        EXPECT_EQ(log_->count(line), 1u) << line;
    }
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(PlaybackReports, ARecordThatCannotBeEncodedIsLoggedAndNotSent) {
    auto info = progress(ProgressEvent::Pause, 2'000, "item-9");
    info.PlaybackRate = std::numeric_limits<double>::quiet_NaN();
    client_->reportPlaybackProgress(info);
    client_->reportPlaybackStart(info);
    const std::string printed =
        "PlaybackProgressInfo(ItemId: item-9, MediaSourceId: source-1, PlaySessionId: 77, "
        "EventName: Pause, PositionTicks: 20000000, IsPaused: false, PlaybackRate: nan)";
    EXPECT_EQ(log_->count("Error: reportPlaybackProgress error serializing PlaybackProgressInfo " +
                          printed),
              1u);
    EXPECT_EQ(
        log_->count("Error: reportPlaybackStart error serializing PlaybackProgressInfo " + printed),
        1u);
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(PlaybackReports, AWrongTokenIsRefused) {
    client_->setServerCredentials(std::string("wrong"));
    client_->reportPlaybackStart(progress(ProgressEvent::StateChange, 1'000));
    EXPECT_TRUE(logged("reportPlaybackStart response: nil"));
    EXPECT_TRUE(library_->reports().empty());
}

}  // namespace
