// OfflineLibrary: downloads for offline use and what was downloaded, on the framework's offline
// store: a download runs the server's sync-job exchange (SyncDownloader) into the documents
// directory; downloaded items play from their files under their local item ids ("local:<id>"), so
// that their playback is recorded in the store (resume position, an offline action for the
// server) instead of being reported to a server that may be out of reach.
//
// Thread rule: the main queue (the store's context is bound to it; it runs on the GTK thread).
// Ownership: the application owns the library; running downloads keep their downloader alive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Offline/SyncDownloader.h"
#include "VornKit/Playback/MediaItem.h"

namespace desktop {

/// One downloaded item as the page lists it.
struct DownloadedItem {
    std::string itemId;
    std::string name;
    std::string album;
    std::string artist;
    std::int64_t runTimeTicks = 0;
};

class OfflineLibrary {
  public:
    /// Downloads `itemId` (a track, or everything playable below an album or artist) of
    /// `client`'s server; `done` gets the outcome on the main queue.
    void download(const std::shared_ptr<vk::ApiClient>& client, const std::string& itemId,
                  std::function<void(vk::SyncDownloadResult)> done);
    /// The server's downloaded items, in the store's order.
    std::vector<DownloadedItem> downloads(const std::string& serverId) const;
    /// A queue of the server's downloaded items `itemIds` (in that order) playing their files;
    /// empty, with `error` set, when one of them is not downloaded or its file is missing.
    std::vector<std::shared_ptr<vk::MediaItem>> queue(const std::string& serverId,
                                                      const std::vector<std::string>& itemIds,
                                                      std::string& error) const;
};

}  // namespace desktop
