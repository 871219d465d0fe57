// VideoPresenterDelegate: the host shows or removes the native player's video surface. Called on
// the main queue. Owned by the host; the framework keeps weak references.
#pragma once

namespace vk {

class VideoPresenterDelegate {
  public:
    virtual ~VideoPresenterDelegate() = default;
    virtual void attachPlayerView() = 0;
    virtual void detachPlayerView() = 0;
};

}  // namespace vk
