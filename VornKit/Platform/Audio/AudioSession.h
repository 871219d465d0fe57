// AudioSession: the device's audio output as the framework sees it: its output volume, 0.0-1.0,
// and observers of that volume.
//
//   - AudioSession::sharedInstance(): the process's session, made on first use: a
//     PulseAudioSession when a PulseAudio server (or PipeWire's PulseAudio server) answers, the
//     NullAudioSession otherwise. A host or a test may install its own first (install()).
//   - NullAudioSession: no sound server; the volume is unknown and never changes.
//   - ManualAudioSession: the test double; the volume is whatever setOutputVolume() says.
//
// Observers: addOutputVolumeObserver() calls the observer on its queue with the current volume as
// soon as one is known (at once, asynchronously, when it is known already), then after every
// change. A repeated equal value is not a change. After removeOutputVolumeObserver() returns, the
// observer is not called again unless a delivery was already running on its queue.
//
// Thread rule: thread-safe. Backends publish from threads of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

/// The device's output volume and its observers (see the file comment); shared, thread-safe.
class VK_EXPORT AudioSession : public std::enable_shared_from_this<AudioSession> {
  public:
    /// Gets the output volume, 0 to 1, on the queue it was added with.
    using VolumeObserver = std::function<void(float volume)>;
    /// Names an observer for removeOutputVolumeObserver().
    using ObserverToken = std::uint64_t;

    /// The process's session, made on first use (PulseAudio when a server answers, else null).
    static std::shared_ptr<AudioSession> sharedInstance();
    /// Replaces the shared session (before first use, or for tests); null goes back to choosing
    /// a backend on next use.
    static void install(std::shared_ptr<AudioSession> session);

    virtual ~AudioSession() = default;
    AudioSession(const AudioSession&) = delete;
    AudioSession& operator=(const AudioSession&) = delete;

    /// "pulseaudio", "null" or "manual".
    virtual std::string backendName() const = 0;
    /// 0.0-1.0; absent while unknown.
    std::optional<float> outputVolume() const;

    /// `queue` null: the main queue.
    ObserverToken addOutputVolumeObserver(std::shared_ptr<DispatchQueue> queue,
                                          VolumeObserver observer);
    /// Stops calls to the observer of `token`; an unknown token does nothing.
    void removeOutputVolumeObserver(ObserverToken token);

  protected:
    AudioSession() = default;
    /// Backends report the volume here (clamped to 0.0-1.0; an absent value makes it unknown).
    void publishOutputVolume(std::optional<float> volume);

  private:
    struct Observer {
        std::shared_ptr<DispatchQueue> queue;
        VolumeObserver block;
        std::shared_ptr<bool> removed;  // read and written under mutex_
    };
    void deliver(const std::shared_ptr<Observer>& observer, float volume);

    mutable std::mutex mutex_;
    std::optional<float> volume_;
    std::map<ObserverToken, std::shared_ptr<Observer>> observers_;
    ObserverToken nextToken_ = 1;
};

/// The session without a sound server: the volume stays unknown.
class VK_EXPORT NullAudioSession : public AudioSession {
  public:
    /// A new session whose volume is unknown.
    static std::shared_ptr<NullAudioSession> make();
    std::string backendName() const override { return "null"; }

  private:
    NullAudioSession() = default;
};

/// The test double: the volume is what setOutputVolume() says.
class VK_EXPORT ManualAudioSession : public AudioSession {
  public:
    /// A new double whose volume is unknown until set.
    static std::shared_ptr<ManualAudioSession> make();
    std::string backendName() const override { return "manual"; }
    /// Publishes `volume` (clamped to 0.0-1.0; absent: unknown) as a backend would, on this thread.
    void setOutputVolume(std::optional<float> volume) { publishOutputVolume(volume); }

  private:
    ManualAudioSession() = default;
};

}  // namespace vk
