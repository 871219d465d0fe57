// NowPlayingCenter: what the desktop shows as "now playing": the information of the item playing
// (titles, times, queue place, artwork) and the playback state. The framework's publisher sets
// them; a backend (MprisService) shows them to the desktop, and tests read them back.
//
// The elapsed time is the value at the moment the information was set; a reader that wants the
// position now extrapolates it with the playback rate (currentElapsedTime()).
//
// Thread rule: thread-safe. changed() runs on the thread that made the change, after the centre's
// lock is released.
#pragma once

#include "VornKit/Export.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Platform/Coding/Image.h"

namespace vk {

/// The now-playing information of one item. Times are seconds.
struct VK_EXPORT NowPlayingInfo {
    /// What the desktop shows: artist, title and album; the item's length and the position in
    /// seconds, and the playback rate (0 when paused; the shown position advances by it while
    /// playing); the item's place in the queue and the queue's length. Absent values are not
    /// shown.
    /// @{
    std::optional<std::string> artist;
    std::optional<std::string> title;
    std::optional<std::string> albumTitle;
    std::optional<double> playbackDuration;
    std::optional<double> elapsedPlaybackTime;
    std::optional<double> playbackRate;
    std::optional<std::int64_t> playbackQueueIndex;
    std::optional<std::int64_t> playbackQueueCount;
    /// @}
    /// The cover, shared with the publisher's cache (never changed once set).
    std::shared_ptr<const Image> artwork;
    /// The library item's id: names the track to the desktop (MPRIS track id); may be absent.
    std::optional<std::string> itemIdentifier;

    /// Field-by-field equality; the artwork compares by identity (the same shared image).
    friend bool operator==(const NowPlayingInfo&, const NowPlayingInfo&) = default;
};

enum class NowPlayingPlaybackState { Unknown, Playing, Paused, Stopped };

/// The "now playing" information and playback state shown to the desktop. Shared: get one from
/// make() or a backend (MprisService::nowPlayingCenter()).
class VK_EXPORT NowPlayingCenter : public std::enable_shared_from_this<NowPlayingCenter> {
  public:
    /// A centre that only keeps the values (the test double, and the centre to use when no
    /// desktop service can be had).
    static std::shared_ptr<NowPlayingCenter> make();
    virtual ~NowPlayingCenter() = default;
    NowPlayingCenter(const NowPlayingCenter&) = delete;
    NowPlayingCenter& operator=(const NowPlayingCenter&) = delete;

    /// Absent: nothing is playing.
    std::optional<NowPlayingInfo> nowPlayingInfo() const;
    /// Replaces the information (absent: nothing is playing); its elapsed time counts from now.
    /// Every call is a publication, even with the same value.
    void setNowPlayingInfo(std::optional<NowPlayingInfo> info);
    /// The playback state shown (Unknown at first).
    NowPlayingPlaybackState playbackState() const;
    /// Sets the playback state shown; the desktop learns of it only when it differs.
    void setPlaybackState(NowPlayingPlaybackState state);

    /// The elapsed time (seconds) now: the one set, plus the time since it was set times the
    /// rate while playing, never past the duration. Absent without information.
    std::optional<double> currentElapsedTime() const;
    /// How often the information was set (tests count publications with it).
    std::uint64_t updateCount() const;

  protected:
    NowPlayingCenter() = default;
    /// Called after each change, on the changing thread, without the lock held.
    virtual void changed(bool infoChanged, bool stateChanged);

    /// The clock (tests of backends may replace it).
    virtual std::chrono::steady_clock::time_point now() const;

  private:
    mutable std::mutex mutex_;
    std::optional<NowPlayingInfo> info_;
    std::chrono::steady_clock::time_point infoSetAt_{};
    NowPlayingPlaybackState state_ = NowPlayingPlaybackState::Unknown;
    std::uint64_t updates_ = 0;
};

}  // namespace vk
