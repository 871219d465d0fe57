// AudioOutput: the device's sound output as the now-playing publisher needs it: whether the
// current route ends in a car's audio system, and an idle output that keeps the application
// present on the sound server while a remote player (the web user interface's) plays, without
// producing sound.
//
// Idle output life: createIdleOutput() makes it (nothing on the server yet), startIdleOutput()
// puts a corked (silent, paused) playback stream on the server, stopIdleOutput() takes it away
// again, disposeIdleOutput() stops and forgets it. Calls out of order do nothing.
//
// Backends: PulseAudioOutput (PulseAudio or PipeWire's PulseAudio server); NullAudioOutput (no
// sound server: no car route, the idle output only changes state); ManualAudioOutput (the test
// double: the car route is what the test says, and create can be made to fail).
//
// Thread rule: thread-safe.
#pragma once

#include "VornKit/Export.h"

#include <memory>
#include <mutex>
#include <string>

namespace vk {

enum class IdleOutputState { None, Created, Running };

/// The sound output: car-route detection and the idle output. Shared through sharedInstance().
class VK_EXPORT AudioOutput {
  public:
    /// The process's output, made on first use: PulseAudio when a server answers, else null.
    static std::shared_ptr<AudioOutput> sharedInstance();
    /// Replaces the shared output (for a host or a test); null chooses again on next use.
    static void install(std::shared_ptr<AudioOutput> output);

    virtual ~AudioOutput() = default;
    /// "pulseaudio", "null" or "manual".
    virtual std::string backendName() const = 0;
    /// Whether the output the sound goes to now is a car audio port.
    virtual bool currentRouteIsCarAudio() = 0;
    /// False when it cannot be made (it then stays None).
    virtual bool createIdleOutput() = 0;
    /// False when the stream could not be put on the server (the state stays Created).
    virtual bool startIdleOutput() = 0;
    /// Takes a running idle output's stream off the server (the state goes back to Created).
    virtual void stopIdleOutput() = 0;
    /// Stops the idle output if it runs and forgets it (the state goes to None).
    virtual void disposeIdleOutput() = 0;
    /// Where the idle output is in its life.
    virtual IdleOutputState idleOutputState() const = 0;
};

/// Keeps the idle output's state; the base of the null backend and the double.
class VK_EXPORT StateOnlyAudioOutput : public AudioOutput {
  public:
    bool createIdleOutput() override;
    bool startIdleOutput() override;
    void stopIdleOutput() override;
    void disposeIdleOutput() override;
    IdleOutputState idleOutputState() const override;

  protected:
    /// For subclasses: the idle output's state and whether createIdleOutput() is made to fail (the
    /// test double's switch), both guarded by `mutex_`.
    /// @{
    mutable std::mutex mutex_;
    IdleOutputState state_ = IdleOutputState::None;
    bool failCreate_ = false;
    /// @}
};

/// The output when no sound server answers: never a car route; the idle output only changes state.
class VK_EXPORT NullAudioOutput : public StateOnlyAudioOutput {
  public:
    std::string backendName() const override { return "null"; }
    bool currentRouteIsCarAudio() override { return false; }
};

/// The test double: the car route and the failure of createIdleOutput() are set by the test.
class VK_EXPORT ManualAudioOutput : public StateOnlyAudioOutput {
  public:
    std::string backendName() const override { return "manual"; }
    bool currentRouteIsCarAudio() override;
    /// What currentRouteIsCarAudio() answers from now on.
    void setCarAudio(bool car);
    /// Whether createIdleOutput() fails from now on (the state then stays None).
    void setCreateFails(bool fails);

  private:
    bool car_ = false;
};

}  // namespace vk
