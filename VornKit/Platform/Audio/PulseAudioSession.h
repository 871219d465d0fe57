// PulseAudioSession: the AudioSession backend on a PulseAudio server (also PipeWire's PulseAudio
// server), through libpulse's threaded main loop.
//
// The output volume is the default sink's: the loudest channel relative to the server's normal
// volume (a volume above 100 % reads as 1.0), and 0.0 while the sink is muted. It is read when the
// connection is ready and again after every sink or server change the server announces (a new
// default sink included). When the server goes away the volume becomes unknown and the session
// reconnects every second until the server is back.
//
// Thread rule: thread-safe. libpulse's loop runs on a thread of its own, which publishes the
// volume; the session stops it in its destructor.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Audio/AudioSession.h"

namespace vk {

/// The AudioSession on a PulseAudio server: the default sink's volume; shared, thread-safe.
class VK_EXPORT PulseAudioSession : public AudioSession {
  public:
    /// A session connected to `server` (a libpulse server string; absent: the default server,
    /// $PULSE_SERVER or the user's runtime directory), or null when no server answers within
    /// `timeout`. Never starts a server.
    static std::shared_ptr<PulseAudioSession> connect(
        std::chrono::milliseconds timeout, std::optional<std::string> server = std::nullopt);
    ~PulseAudioSession() override;

    std::string backendName() const override { return "pulseaudio"; }

    struct Loop;

  private:
    explicit PulseAudioSession(std::unique_ptr<Loop> loop);
    void publish(std::optional<float> volume) { publishOutputVolume(volume); }
    std::unique_ptr<Loop> loop_;
};

}  // namespace vk
