// DeviceVolumeObserver: watches the device's output volume (AudioSession) and reports it, scaled to
// 0-100, to a VolumeChangeDelegate: once with the current volume when it starts (as soon as the
// volume is known), then after every change. The scaled value is volume x 100 computed in single
// precision and rounded to the nearest integer, halves away from zero (0.125 gives 13); the
// maximum passed along is always 100. A delegate that does not implement onVolumeChanged() is
// skipped.
//
// Thread rule: thread-safe. The delegate is called on the main queue; no call arrives for a
// change delivered after stop() returned. Ownership: held in std::shared_ptr (start() needs it);
// the delegate is kept weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "VornKit/Export.h"
#include "VornKit/Platform/Audio/AudioSession.h"
#include "VornKit/Playback/VolumeChangeDelegate.h"

namespace vk {

/// Reports the device's output volume to a delegate (see the file comment); shared, thread-safe.
class VK_EXPORT DeviceVolumeObserver : public std::enable_shared_from_this<DeviceVolumeObserver> {
  public:
    /// Observes `audioSession` (the shared session when null) once started.
    explicit DeviceVolumeObserver(std::weak_ptr<VolumeChangeDelegate> delegate,
                                  std::shared_ptr<AudioSession> audioSession = nullptr);
    ~DeviceVolumeObserver();
    DeviceVolumeObserver(const DeviceVolumeObserver&) = delete;
    DeviceVolumeObserver& operator=(const DeviceVolumeObserver&) = delete;

    /// Replaces the delegate (kept weakly) for the reports that follow.
    void setDelegate(std::weak_ptr<VolumeChangeDelegate> delegate);
    /// Starts observing; does nothing while observing.
    void start();
    /// Stops observing; does nothing while not observing.
    void stop();
    /// Whether the observer is started.
    bool observingVolume() const;
    /// The session observed; fixed for the observer's life.
    const std::shared_ptr<AudioSession>& audioSession() const { return audioSession_; }

    /// The 0-100 value reported for an output volume of 0.0-1.0.
    static std::int64_t scaledVolume(float volume);

  private:
    void observeOutputVolume(std::uint64_t generation, float volume);

    const std::shared_ptr<AudioSession> audioSession_;
    mutable std::mutex mutex_;
    std::weak_ptr<VolumeChangeDelegate> delegate_;
    bool observingVolume_ = false;
    AudioSession::ObserverToken token_ = 0;
    std::uint64_t generation_ = 0;  // grows at every stop, so late deliveries are dropped
};

}  // namespace vk
