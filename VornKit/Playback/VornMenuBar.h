// VornMenuBar and MenuBarDelegate: a menu-bar plug-in showing the player's controls, and what
// answers its buttons. Declared for hosts; the framework loads no menu-bar plug-in. Thread rule:
// the host's (main thread).
#pragma once

#include <memory>

#include "VornKit/Export.h"

namespace vk {

/// What answers the menu-bar plug-in's buttons; implemented by the host's player. Called on the
/// host's main thread.
class VK_EXPORT MenuBarDelegate {
  public:
    virtual ~MenuBarDelegate() = default;
    /// The user pressed "previous track".
    virtual void skipPrev() = 0;
    /// The user pressed "rewind".
    virtual void rewind() = 0;
    /// The user pressed "play/pause": toggle.
    virtual void playPause() = 0;
    /// The user pressed "fast forward".
    virtual void fastforward() = 0;
    /// The user pressed "next track".
    virtual void skipNext() = 0;
    /// The user moved the position slider to `seconds` from the start of the item.
    virtual void seekToPositionInSeconds(double seconds) = 0;
};

/// A menu-bar plug-in showing the player's controls. Declared for hosts that provide one; the
/// framework loads none. Used on the host's main thread.
class VK_EXPORT VornMenuBar {
  public:
    virtual ~VornMenuBar() = default;
    /// The plug-in keeps the delegate weakly.
    virtual void setDelegate(std::weak_ptr<MenuBarDelegate> delegate) = 0;
    /// The playing item's position, in milliseconds from its start, for the slider.
    virtual void timeUpdateWithPositionMs(double positionMs) = 0;
};

}  // namespace vk
