// VideoPresenterDelegate: the host shows or removes the native player's video surface. Called on
// the main queue. Owned by the host; the framework keeps weak references.
#pragma once

#include "VornKit/Export.h"

namespace vk {

class VK_EXPORT VideoPresenterDelegate {
  public:
    virtual ~VideoPresenterDelegate() = default;
    virtual void attachPlayerView() = 0;
    virtual void detachPlayerView() = 0;
};

}  // namespace vk
