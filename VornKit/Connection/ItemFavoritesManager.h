// ItemFavoritesManager: favourite queries and switches by server id and item id, for callers that
// hold no client (platform code, the in-car and voice front ends). It finds the server's client in
// ConnectionManager::sharedInstance().
//
// Completions take one Boolean and are called exactly once: false for every failure (no client
// for the server id, a failed request, absent data). They run on the URL session's delegate queue,
// or at once on the calling thread when no client is registered for the server id.
// setItemFavorite posts "itemFavoritesDidChange" (no object) on the default centre, from the
// session's delegate queue, after a successful change and before its completion.
//
// Thread rule: thread-safe (class operations only).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "VornKit/Export.h"

namespace vk {

class ConnectionManager;

/// Favourite queries and switches by server id and item id, for callers that hold no client (see
/// the top of this file). Thread-safe.
class VK_EXPORT ItemFavoritesManager {
  public:
    /// Called exactly once: the favourite flag, or false on any failure.
    using Completion = std::function<void(bool)>;

    /// Whether the item is a favourite of the client's user.
    static void isItemFavorite(const std::string& serverId, const std::string& itemId,
                               Completion completion);
    /// Marks or unmarks the item; the completion gets the server's new flag.
    static void setItemFavorite(const std::string& serverId, const std::string& itemId,
                                bool isFavorite, Completion completion);

    /// The same, on an explicit manager (tests, tools).
    /// @{
    static void isItemFavorite(ConnectionManager& manager, const std::string& serverId,
                               const std::string& itemId, Completion completion);
    static void setItemFavorite(ConnectionManager& manager, const std::string& serverId,
                                const std::string& itemId, bool isFavorite, Completion completion);
    /// @}
};

}  // namespace vk
