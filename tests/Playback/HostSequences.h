// Sequences a host lives through (a second album after the first, a queue replaced while paused,
// one track on repeat), run against any player with the event bridge attached and checked the same
// way for each: SimulatedPlayer and MpvPlayer must tell the web player and the server the same.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "PlaybackTestSupport.h"
#include "VornKit/Playback/PlayerEventHandler.h"

namespace vk::test {

using Queue = std::vector<std::shared_ptr<MediaItem>>;

/// A player under test with the event bridge attached (audio); the bridge speaks to `web` and
/// reports to `client`.
struct BridgedPlayer {
    BridgedPlayer(std::shared_ptr<Player> player, Playback& playback);

    std::shared_ptr<Player> player;
    Playback& playback;
    std::shared_ptr<WebViewRecorder> web = std::make_shared<WebViewRecorder>();
    std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
    std::shared_ptr<PlayerEventHandler> handler;
};

/// While the third entry of `first` plays, `second` replaces it from its first entry; `second` is
/// then played out from its last entry (started `lastEntryStartMs` in), and `first` played from
/// its start. Each new queue must end the entry that played and start as a first queue does; a
/// new queue that plays nothing ends it too.
void expectEachNewQueueStartsAfresh(BridgedPlayer& rig, const Queue& first, const Queue& second,
                                    std::int64_t lastEntryStartMs);

/// `first` plays and is paused, then `second` is played: the web player and the server hear that
/// it plays.
void expectANewQueueAfterAPauseUnpauses(BridgedPlayer& rig, const Queue& first,
                                        const Queue& second);

/// With repeat one, the first entry of the two of `queue` (started `startMs` in) reaches its end
/// (`durationMs`) and starts again: the play that ended gets its stop report, at the end (within
/// `toleranceMs`), before the next start report; the second entry is never heard of.
void expectEachRepetitionIsAPlayOfItsOwn(BridgedPlayer& rig, const Queue& queue,
                                         std::int64_t startMs, std::int64_t durationMs,
                                         double toleranceMs);

}  // namespace vk::test
