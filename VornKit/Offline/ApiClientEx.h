// ApiClientEx: the client every registered server actually gets (the connection manager makes
// only this subclass). It holds the process-wide offline store, in which playback of downloaded
// items ("local:" item ids) is recorded instead of being reported to the server.
//
// For an item id that begins with "local:" (the rest, after the first "local:", is the id the
// store holds the item under):
//   - reportPlaybackStart sends nothing and changes nothing;
//   - sendPlaybackProgress sends nothing; later, on the store's queue, the resume update runs: a
//     stored item whose record is "Audio" and supports resume gets its user data's position
//     (PlaybackPositionTicks, PlayedPercentage of the run time, capped at 100); at 90 % of the run
//     time or more it counts as played (Played true, position and percentage 0). No position in
//     the report changes nothing. The new user data is written in one save;
//   - reportPlaybackStopped sends nothing; later, on the store's queue, a stored "Audio" item gets
//     the resume update (when it supports resume) and an OfflineAction (type 0, the position as a
//     double, 0 when absent, the date, server and user) is added; both are saved together.
//     Another media type, or no stored item, records nothing.
// Every other report goes to the server as ApiClient sends it.
//
// Thread rule: as ApiClient (thread-safe). The store is shared by every client and outlives them.
#pragma once

#include <memory>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Export.h"
#include "VornKit/Offline/OfflineDataController.h"

namespace vk {

/// The client every registered server gets: an ApiClient that records playback of downloaded
/// items in the offline store instead of reporting it (see the top of this file). Thread-safe.
class VK_EXPORT ApiClientEx : public ApiClient {
  public:
    /// The name the class is registered under for platform code.
    static constexpr std::string_view kClassName = "VornKit.ApiClientEx";
    /// The prefix of the item ids of items played from the offline store.
    static constexpr std::string_view kLocalPrefix = "local:";

    /// A client for `serverInfo` (with its saved token) that records local playback in
    /// `itemRepo` (null: OfflineDataController::sharedInstance()).
    ApiClientEx(ServerInfo serverInfo, DeviceInfo deviceInfo,
                std::shared_ptr<OfflineDataController> itemRepo = nullptr);

    std::string_view className() const override { return kClassName; }
    /// The offline store the client records into; shared by every client.
    const std::shared_ptr<OfflineDataController>& itemRepo() const { return itemRepo_; }

    /// A local item's start is not reported; any other item's goes to the server as usual.
    void reportPlaybackStart(const PlaybackProgressInfo& info) override;
    void sendPlaybackProgress(const PlaybackProgressInfo& info) override;
    /// A local item's stop updates its stored position and records an offline action (on the
    /// store's queue); any other item's goes to the server as usual.
    void reportPlaybackStopped(const PlaybackStopInfo& info) override;

    /// The store id of a local item id ("local:abc" gives "abc"), absent for other ids.
    static std::optional<std::string> localItemId(const std::string& itemId);

  private:
    /// On the store's queue: the resume update of the stored audio item (not saved). True when
    /// the user data changed.
    static bool updateResume(BaseItemDto& item, std::optional<std::int64_t> positionTicks);
    void recordProgress(const std::string& itemId, std::optional<std::int64_t> positionTicks);
    void recordStop(const std::string& itemId, std::optional<std::int64_t> positionTicks);

    const std::shared_ptr<OfflineDataController> itemRepo_;
};

}  // namespace vk
