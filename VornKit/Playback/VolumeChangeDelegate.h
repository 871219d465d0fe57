// VolumeChangeDelegate: receives volume changes (the device output volume, or a player's volume)
// scaled to 0-100, with the scale's maximum (always 100).
// VolumeController: what a player offers to change its own volume.
//
// onVolumeChanged() is optional: an implementation that does not want the calls returns false from
// implementsOnVolumeChanged(), and callers then skip it. Which thread calls a delegate is stated by
// the caller (DeviceVolumeObserver: the main queue).
#pragma once

#include <cstdint>

#include "VornKit/Export.h"

namespace vk {

/// A receiver of volume changes (see the file comment).
class VK_EXPORT VolumeChangeDelegate {
  public:
    virtual ~VolumeChangeDelegate() = default;
    /// Whether onVolumeChanged() is implemented; callers skip it when not.
    virtual bool implementsOnVolumeChanged() const { return true; }
    /// The volume is now `volume` on a scale of 0-`maximum` (100).
    virtual void onVolumeChanged(std::int64_t /*volume*/, std::int64_t /*maximum*/) {}
};

/// A player's own volume control.
class VK_EXPORT VolumeController {
  public:
    virtual ~VolumeController() = default;
    /// 0-100.
    virtual void setVolume(std::int64_t volume) = 0;
    /// Raises the volume by one step.
    virtual void volumeUp() = 0;
    /// Lowers the volume by one step.
    virtual void volumeDown() = 0;
};

}  // namespace vk
