// VornMenuBar and MenuBarDelegate: a menu-bar plug-in showing the player's controls, and what
// answers its buttons. Declared for hosts; the framework loads no menu-bar plug-in. Thread rule:
// the host's (main thread).
#pragma once

#include <memory>

#include "VornKit/Export.h"

namespace vk {

class VK_EXPORT MenuBarDelegate {
  public:
    virtual ~MenuBarDelegate() = default;
    virtual void skipPrev() = 0;
    virtual void rewind() = 0;
    virtual void playPause() = 0;
    virtual void fastforward() = 0;
    virtual void skipNext() = 0;
    virtual void seekToPositionInSeconds(double seconds) = 0;
};

class VK_EXPORT VornMenuBar {
  public:
    virtual ~VornMenuBar() = default;
    /// The plug-in keeps the delegate weakly.
    virtual void setDelegate(std::weak_ptr<MenuBarDelegate> delegate) = 0;
    virtual void timeUpdateWithPositionMs(double positionMs) = 0;
};

}  // namespace vk
