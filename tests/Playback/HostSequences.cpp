#include "HostSequences.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "Support/TestSupport.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

const std::string kEnded = "MpvAudioPlayer.onEvent('ended');";
const std::string kLoaded = "MpvAudioPlayer.onEvent('file-loaded');";
const std::string kFirstPosition = "MpvAudioPlayer.onPropertyChange('playlist-pos', 0.0);";

bool waitFor(const std::function<bool()>& condition) {
    return pumpMainQueueUntil(condition, std::chrono::seconds(30));
}

std::string entryStatement(const MediaItem& item) {
    return "MpvAudioPlayer.onPropertyChange('playlistItemId', '" +
           item.playlistItemId.value_or("") + "');";
}

bool said(const BridgedPlayer& rig, const std::string& statement) {
    const auto statements = rig.web->statements();
    return std::find(statements.begin(), statements.end(), statement) != statements.end();
}

/// "true" or "false" as the last pause statement says; empty before any.
std::string lastPause(const BridgedPlayer& rig) {
    const std::string prefix = "MpvAudioPlayer.onPropertyChange('pause', ";
    const auto statements = rig.web->statements();
    for (auto it = statements.rbegin(); it != statements.rend(); ++it) {
        if (it->rfind(prefix, 0) == 0)
            return it->substr(prefix.size(), it->size() - prefix.size() - 2);
    }
    return {};
}

bool started(const BridgedPlayer& rig, const MediaItem& item) {
    for (const auto& report : rig.client->reports("start")) {
        if (report.progress->ItemId == item.ItemId.value_or(""))
            return true;
    }
    return false;
}

/// The start and stop reports, in order.
std::vector<RecordedReport> startsAndStops(const BridgedPlayer& rig) {
    auto reports = rig.client->reports();
    std::erase_if(reports, [](const RecordedReport& r) { return r.kind == "progress"; });
    return reports;
}

/// `queue` started as a first queue does: one start report, at position 0 with the whole queue,
/// and the web player told the entry and the position.
void expectFreshStart(const BridgedPlayer& rig, const Queue& queue) {
    const auto starts = rig.client->reports("start");
    ASSERT_EQ(starts.size(), 1u);
    const PlaybackProgressInfo& start = *starts[0].progress;
    EXPECT_EQ(start.ItemId, *queue[0]->ItemId);
    EXPECT_EQ(start.PlaylistIndex, 0);
    std::vector<QueueItem> expected;
    for (std::size_t i = 0; i < queue.size(); ++i)
        expected.emplace_back(*queue[i]->ItemId, "playlistItem" + std::to_string(i));
    EXPECT_EQ(start.NowPlayingQueue, expected);
    EXPECT_TRUE(said(rig, entryStatement(*queue[0])));
    EXPECT_TRUE(said(rig, kFirstPosition));
}

}  // namespace

BridgedPlayer::BridgedPlayer(std::shared_ptr<Player> player_, Playback& playback_)
    : player(std::move(player_)), playback(playback_) {
    handler = PlayerEventHandler::create(web, {}, [recording = client](const std::string& server) {
        return server == "server-1" ? recording : nullptr;
    });
    handler->setCurrentMediaType(MediaType::Audio);
    handler->setPlayer(player);
    player->addDelegate(handler);
}

void expectEachNewQueueStartsAfresh(BridgedPlayer& rig, const Queue& first, const Queue& second,
                                    std::int64_t lastEntryStartMs) {
    ASSERT_GE(first.size(), 3u);
    ASSERT_EQ(second.size(), 2u);
    rig.playback.playAudio(first, false, std::nullopt, 2, 0);
    ASSERT_TRUE(waitFor([&] { return started(rig, *first[2]); }));
    EXPECT_EQ(rig.client->reports("start").size(), 1u) << "the entries before the start played";

    rig.client->clear();
    rig.web->clear();
    rig.playback.playAudio(second, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return !rig.client->reports("start").empty(); }));
    {
        SCOPED_TRACE("a queue that replaced one playing its third entry");
        expectFreshStart(rig, second);
        const auto plays = startsAndStops(rig);
        ASSERT_EQ(plays.size(), 2u);
        EXPECT_EQ(plays[0].kind, "stop");
        EXPECT_EQ(plays[0].stop->ItemId, *first[2]->ItemId);
    }

    rig.playback.playAudio(second, false, std::nullopt, 1, lastEntryStartMs);
    ASSERT_TRUE(waitFor([&] { return said(rig, kEnded); }));
    rig.client->clear();
    rig.web->clear();
    rig.playback.playAudio(first, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return !rig.client->reports("start").empty(); }));
    {
        SCOPED_TRACE("a queue played after one that ended at its second entry");
        expectFreshStart(rig, first);
        EXPECT_TRUE(rig.client->reports("stop").empty());
    }

    rig.client->clear();
    rig.web->clear();
    rig.playback.playAudio({}, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return !rig.client->reports("stop").empty(); }))
        << "an empty queue ends the entry that played";
    EXPECT_EQ(rig.client->reports("stop")[0].stop->ItemId, *first[0]->ItemId);
    EXPECT_TRUE(said(rig, kEnded));
}

void expectANewQueueAfterAPauseUnpauses(BridgedPlayer& rig, const Queue& first,
                                        const Queue& second) {
    rig.playback.playAudio(first, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return started(rig, *first[0]); }));
    rig.player->pause();
    ASSERT_TRUE(waitFor([&] { return lastPause(rig) == "true"; }));

    rig.client->clear();
    rig.playback.playAudio(second, false, std::nullopt, 0, 0);
    ASSERT_TRUE(waitFor([&] { return started(rig, *second[0]); }));
    EXPECT_TRUE(waitFor([&] { return lastPause(rig) == "false"; }))
        << "the web player still shows the pause of the queue that was replaced";
    EXPECT_TRUE(rig.player->isPlaying());
    const auto unpauses = rig.client->reports("progress", ProgressEvent::Unpause);
    ASSERT_EQ(unpauses.size(), 1u);
    EXPECT_EQ(unpauses[0].progress->ItemId, *second[0]->ItemId);
    EXPECT_FALSE(unpauses[0].progress->IsPaused);
}

void expectEachRepetitionIsAPlayOfItsOwn(BridgedPlayer& rig, const Queue& queue,
                                         std::int64_t startMs, std::int64_t durationMs,
                                         double toleranceMs) {
    ASSERT_EQ(queue.size(), 2u);
    rig.player->setRepeatMode("RepeatOne");
    rig.playback.playAudio(queue, false, std::nullopt, 0, startMs);
    ASSERT_TRUE(waitFor([&] { return rig.client->reports("start").size() >= 2; }));
    rig.player->setRepeatMode("RepeatNone");

    const auto plays = startsAndStops(rig);
    ASSERT_GE(plays.size(), 3u);
    EXPECT_EQ(plays[0].kind, "start");
    ASSERT_EQ(plays[1].kind, "stop");
    ASSERT_EQ(plays[2].kind, "start");
    EXPECT_EQ(plays[1].stop->ItemId, *queue[0]->ItemId);
    EXPECT_EQ(plays[2].progress->ItemId, *queue[0]->ItemId);
    ASSERT_TRUE(plays[1].stop->PositionTicks && plays[2].progress->PositionTicks);
    EXPECT_NEAR(static_cast<double>(*plays[1].stop->PositionTicks) / 1e4,
                static_cast<double>(durationMs), toleranceMs);
    EXPECT_NEAR(static_cast<double>(*plays[2].progress->PositionTicks) / 1e4, 0.0, toleranceMs);

    // The web player hears the play end before the entry loads again, and never hears of the
    // entry after it.
    const auto statements = rig.web->statements();
    const auto ended = std::find(statements.begin(), statements.end(), kEnded);
    ASSERT_NE(ended, statements.end());
    EXPECT_EQ(std::count(statements.begin(), ended, kLoaded), 1);
    EXPECT_NE(std::find(ended, statements.end(), kLoaded), statements.end());
    EXPECT_FALSE(said(rig, entryStatement(*queue[1])));
    for (const auto& report : rig.client->reports()) {
        const std::string& id = report.progress ? report.progress->ItemId : report.stop->ItemId;
        EXPECT_EQ(id, *queue[0]->ItemId);
    }
}

}  // namespace vk::test
