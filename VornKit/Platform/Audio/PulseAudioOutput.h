// PulseAudioOutput: the AudioOutput on a PulseAudio server (also PipeWire's), through libpulse's
// threaded main loop.
//
// Car route: the default sink's active port has the car port type, or the sink's
// "device.form_factor" property is "car" (how a sink without ports, or a set-up that knows better
// than its driver, marks a car's audio system).
// Idle output: a playback stream named "VornKit idle output" (media.role "music"), connected
// corked so that it never plays a sample, and taken off the server when stopped. When the server
// went away, the next start connects again.
//
// Thread rule: thread-safe; calls wait for the server (a few seconds at most).
#pragma once

#include "VornKit/Export.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Platform/Audio/AudioOutput.h"

namespace vk {

/// The AudioOutput on a PulseAudio server; made by connect(), shared by its users.
class VK_EXPORT PulseAudioOutput : public AudioOutput {
  public:
    /// An output on `server` (a libpulse server string; absent: the default server), or null
    /// when no server answers within `timeout`. Never starts a server.
    static std::shared_ptr<PulseAudioOutput> connect(
        std::chrono::milliseconds timeout, std::optional<std::string> server = std::nullopt);
    ~PulseAudioOutput() override;

    std::string backendName() const override { return "pulseaudio"; }
    bool currentRouteIsCarAudio() override;
    bool createIdleOutput() override;
    bool startIdleOutput() override;
    void stopIdleOutput() override;
    void disposeIdleOutput() override;
    IdleOutputState idleOutputState() const override;

    struct Loop;

  private:
    explicit PulseAudioOutput(std::unique_ptr<Loop> loop);
    std::unique_ptr<Loop> loop_;
};

}  // namespace vk
