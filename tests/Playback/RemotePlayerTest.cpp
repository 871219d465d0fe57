#include "VornKit/Playback/RemotePlayer.h"

#include "PlaybackTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Audio/AudioSession.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

using ::testing::ElementsAre;

std::string volumeStatement(int n) {
    return "require(['playbackManager'], function(playbackManager){playbackManager.setVolume(" +
           std::to_string(n) + ");});";
}

TEST(RemotePlayer, TransportCommandsBecomeRemoteEventsTheWebPlayerRuns) {
    auto web = std::make_shared<WebViewRecorder>();
    auto player = std::make_shared<RemotePlayer>(web, ManualAudioSession::make());
    player->playPause();
    player->pause();
    player->unpause();
    player->nextTrack();
    player->prevTrack();
    player->onVolumeChanged(37, 100);
    const auto statements = web->statements();
    EXPECT_THAT(statements,
                ElementsAre("if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent("
                            "'playPause', null);",
                            "if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent("
                            "'pause', null);",
                            "if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent("
                            "'play', null);",
                            "if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent("
                            "'nextTrack', null);",
                            "if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent("
                            "'previousTrack', null);",
                            volumeStatement(37)));
    const auto results = runInNode(statements);
    ASSERT_EQ(results.size(), 6u);
    const char* commands[] = {"playPause", "pause", "play", "nextTrack", "previousTrack"};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(results[i].ok) << results[i].error;
        ASSERT_EQ(results[i].calls.size(), 1u);
        EXPECT_EQ(results[i].calls[0].object, "navigator.mediaSession");
        EXPECT_EQ(results[i].calls[0].method, "onRemoteEvent");
        EXPECT_EQ(results[i].calls[0].args.at(0).string, commands[i]);
        EXPECT_EQ(results[i].calls[0].args.at(1).kind, JsValue::Kind::Null);
    }
    ASSERT_TRUE(results[5].ok) << results[5].error;
    ASSERT_EQ(results[5].calls.size(), 2u);
    EXPECT_EQ(results[5].calls[0].args.at(0).items.at(0).string, "playbackManager");
    EXPECT_EQ(results[5].calls[1].object, "playbackManager");
    EXPECT_EQ(results[5].calls[1].method, "setVolume");
    EXPECT_EQ(results[5].calls[1].args.at(0).number, 37);
}

// The web user interface plays by itself: a play request changes nothing, and says so.
TEST(RemotePlayer, PlayRequestsAreIgnoredAndSaySo) {
    auto web = std::make_shared<WebViewRecorder>();
    auto player = std::make_shared<RemotePlayer>(web, ManualAudioSession::make());
    ScopedLogCapture log;
    player->playAudio({makeStreamItem("a", "p0")}, false, std::nullopt, 0, 0);
    player->playVideo("http://h/v", false, "v", "{}", "{}", false, 0, 0, 0, 0, "");
    EXPECT_EQ(player->currentMediaItem(), nullptr);
    EXPECT_FALSE(player->hasMedia());
    EXPECT_THAT(log->messages("RemotePlayer"),
                ElementsAre("playAudio ignored: the web user interface plays by itself",
                            "playVideo ignored: the web user interface plays by itself"));
    EXPECT_TRUE(web->statements().empty());

    auto silent = std::make_shared<RemotePlayer>(nullptr, ManualAudioSession::make());
    silent->pause();
    silent->onVolumeChanged(3, 100);  // nothing to send to, nothing fails
}

TEST(RemotePlayer, DeviceVolumeReachesTheWebPlayerWhileObserving) {
    auto session = ManualAudioSession::make();
    session->setOutputVolume(0.5f);
    auto web = std::make_shared<WebViewRecorder>();
    auto player = std::make_shared<RemotePlayer>(web, session);
    player->startVolumeObserver();
    player->startVolumeObserver();  // one observation, not two
    ASSERT_TRUE(pumpMainQueueUntil([&] { return !web->statements().empty(); }));
    session->setOutputVolume(0.125f);
    session->setOutputVolume(0.125f);  // no change
    session->setOutputVolume(1.0f);
    session->setOutputVolume(1.5f);  // held at 1.0: no change
    session->setOutputVolume(0.0f);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return web->statements().size() >= 4; }));
    player->stopVolumeObserver();
    player->stopVolumeObserver();
    session->setOutputVolume(0.7f);
    pumpMainQueueUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_THAT(web->statements(), ElementsAre(volumeStatement(50), volumeStatement(13),
                                               volumeStatement(100), volumeStatement(0)));
    auto observer = player->volumeObserver();
    ASSERT_NE(observer, nullptr);
    EXPECT_FALSE(observer->observingVolume());

    // Restarting reports the current volume again, with the same observer.
    player->startVolumeObserver();
    EXPECT_EQ(player->volumeObserver(), observer);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return web->statements().size() == 5; }));
    EXPECT_EQ(web->statements().back(), volumeStatement(70));
}

class Listener : public VolumeChangeDelegate {
  public:
    explicit Listener(bool implements) : implements_(implements) {}
    bool implementsOnVolumeChanged() const override { return implements_; }
    void onVolumeChanged(std::int64_t volume, std::int64_t maximum) override {
        calls.emplace_back(volume, maximum);
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> calls;

  private:
    bool implements_;
};

TEST(DeviceVolumeObserver, ScalesInSinglePrecisionAndRoundsHalvesAway) {
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(0.125f), 13);
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(0.5f), 50);
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(1.0f), 100);
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(0.0f), 0);
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(0.005f), 1);  // 0.5 after scaling
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(0.0049f), 0);
    EXPECT_EQ(DeviceVolumeObserver::scaledVolume(0.335f), 34);  // 33.5f
}

TEST(DeviceVolumeObserver, SkipsDelegatesWithoutTheOperationAndStopsCleanly) {
    auto session = ManualAudioSession::make();
    session->setOutputVolume(0.25f);
    auto deaf = std::make_shared<Listener>(false);
    auto observer = std::make_shared<DeviceVolumeObserver>(deaf, session);
    observer->start();
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(30));
    EXPECT_TRUE(deaf->calls.empty());

    auto listener = std::make_shared<Listener>(true);
    observer->setDelegate(listener);
    session->setOutputVolume(0.75f);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return listener->calls.size() == 1; }));
    EXPECT_EQ(listener->calls[0], std::make_pair(std::int64_t{75}, std::int64_t{100}));

    // A change published before stop() but delivered after it is dropped.
    session->setOutputVolume(0.8f);
    observer->stop();
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(30));
    EXPECT_EQ(listener->calls.size(), 1u);

    // An unknown volume reports nothing; the observer may outlive its delegate.
    auto unknown = ManualAudioSession::make();
    auto quiet = std::make_shared<Listener>(true);
    auto second = std::make_shared<DeviceVolumeObserver>(quiet, unknown);
    second->start();
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(30));
    EXPECT_TRUE(quiet->calls.empty());
    quiet.reset();
    unknown->setOutputVolume(0.3f);
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(30));
}

TEST(AudioSessionBackends, NullSessionKnowsNoVolume) {
    auto session = NullAudioSession::make();
    EXPECT_EQ(session->backendName(), "null");
    EXPECT_EQ(session->outputVolume(), std::nullopt);
}

}  // namespace
}  // namespace vk::test
