// VideoPresenterDelegate: the host shows or removes the native player's video surface. Called on
// the main queue. Owned by the host; the framework keeps weak references.
#pragma once

#include "VornKit/Export.h"

namespace vk {

/// The host's presenter of the native player's video surface.
class VK_EXPORT VideoPresenterDelegate {
  public:
    virtual ~VideoPresenterDelegate() = default;
    /// Shows the player's video surface (a video file has loaded); on the main queue.
    virtual void attachPlayerView() = 0;
    /// Removes the player's video surface; on the main queue.
    virtual void detachPlayerView() = 0;
};

}  // namespace vk
