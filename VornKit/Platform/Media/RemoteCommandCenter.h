// RemoteCommandCenter: the commands the desktop (media keys, a now-playing applet, playerctl, an
// in-car display) may send to the application, which of them are enabled, their handlers and the
// state the desktop shows beside them (shuffle and repeat type, the like command's active state),
// and the player's volume with the handler of the desktop's requests to change it.
//
// A command that is not enabled is refused by the backend and never reaches a handler. An enabled
// command goes to every handler attached to it, on the main queue, in the order they were added.
// send() is how a backend (MprisService) or a test delivers a command.
//
// Thread rule: thread-safe. Handlers run on the main queue; changed() runs on the thread that made
// the change, without the lock held.
#pragma once

#include "VornKit/Export.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vk {

enum class RemoteCommand : int {
    TogglePlayPause,
    Play,
    Pause,
    NextTrack,
    PreviousTrack,
    ChangePlaybackPosition,
    ChangeShuffleMode,
    Like,
    ChangeRepeatMode,
};
inline constexpr std::size_t kRemoteCommandCount = 9;

enum class RemoteShuffleType { Off, Items, Collections };
enum class RemoteRepeatType { Off, One, All };

/// One command as the desktop sent it, with the value it carries for the commands that have one.
struct VK_EXPORT RemoteCommandEvent {
    /// The command sent.
    RemoteCommand command = RemoteCommand::TogglePlayPause;
    /// ChangePlaybackPosition: the position asked for, seconds.
    double positionTime = 0.0;
    /// ChangeShuffleMode: the type asked for.
    RemoteShuffleType shuffleType = RemoteShuffleType::Off;
    /// ChangeRepeatMode: the type asked for.
    RemoteRepeatType repeatType = RemoteRepeatType::Off;
};

enum class RemoteCommandStatus { Success, NoSuchContent, CommandFailed };

/// The commands the desktop may send, their handlers and the state shown beside them. Shared: get
/// one from make() or a backend (MprisService::commandCenter()). Every command starts disabled.
class VK_EXPORT RemoteCommandCenter : public std::enable_shared_from_this<RemoteCommandCenter> {
  public:
    /// Handles one command event, on the main queue, and says how it went.
    using Handler = std::function<RemoteCommandStatus(const RemoteCommandEvent&)>;
    /// Names an attached handler for removeTarget().
    using Target = std::uint64_t;

    /// A centre without a desktop service (the test double; commands come from send()).
    static std::shared_ptr<RemoteCommandCenter> make();
    virtual ~RemoteCommandCenter() = default;
    RemoteCommandCenter(const RemoteCommandCenter&) = delete;
    RemoteCommandCenter& operator=(const RemoteCommandCenter&) = delete;

    /// Whether `command` is delivered to its handlers (false until enabled).
    bool isEnabled(RemoteCommand command) const;
    /// Enables or disables `command`; a change is shown to the desktop.
    void setEnabled(RemoteCommand command, bool enabled);
    /// Attaches a handler; the returned target detaches it.
    Target addTarget(RemoteCommand command, Handler handler);
    /// Detaches the handler `target` of `command`; an unknown target does nothing. Called off the
    /// main queue, a delivery already under way there may still call it once.
    void removeTarget(RemoteCommand command, Target target);
    /// Detaches every handler of `command`.
    void removeAllTargets(RemoteCommand command);
    /// How many handlers are attached to `command`.
    std::size_t targetCount(RemoteCommand command) const;

    /// The shuffle type shown to the desktop (Off at first).
    RemoteShuffleType currentShuffleType() const;
    /// Sets the shuffle type shown to the desktop; does not send a command.
    void setCurrentShuffleType(RemoteShuffleType type);
    /// The repeat type shown to the desktop (Off at first).
    RemoteRepeatType currentRepeatType() const;
    /// Sets the repeat type shown to the desktop; does not send a command.
    void setCurrentRepeatType(RemoteRepeatType type);
    /// Whether the like command shows as active (the item is liked).
    bool likeIsActive() const;
    /// Sets whether the like command shows as active.
    void setLikeActive(bool active);
    /// The short title shown for the like command (empty at first).
    std::string likeShortTitle() const;
    /// Sets the short title shown for the like command.
    void setLikeShortTitle(std::string title);

    /// Gets a volume the desktop asks for, 0.0 to 1.0, on the main queue.
    using VolumeHandler = std::function<void(double volume)>;
    /// The player's volume shown to the desktop, 0.0 to 1.0; absent (at first) while unknown.
    std::optional<double> currentVolume() const;
    /// Sets the volume shown to the desktop (clamped to 0.0-1.0; absent: unknown); does not send
    /// a request.
    void setCurrentVolume(std::optional<double> volume);
    /// Sets where the desktop's volume requests go; empty (at first): they are refused. A change
    /// between having one and not is shown to the desktop.
    void setVolumeHandler(VolumeHandler handler);
    /// Whether volume requests are taken (a handler is set).
    bool acceptsVolume() const;
    /// Delivers a volume request (clamped to 0.0-1.0; not a number: refused): false at once
    /// without a handler; otherwise the handler runs on the main queue.
    bool sendVolume(double volume);

    /// Delivers a command: false at once when it is not enabled; otherwise its handlers run on the
    /// main queue and `done` (if given) receives the last handler's status there (NoSuchContent
    /// when none is attached).
    bool send(const RemoteCommandEvent& event,
              std::function<void(RemoteCommandStatus)> done = nullptr);

  protected:
    RemoteCommandCenter() = default;
    /// After a change of what the desktop shows (enabled commands, shuffle, repeat, like, volume).
    virtual void changed() {}

  private:
    struct Attached {
        Target target;
        Handler handler;
    };
    mutable std::mutex mutex_;
    std::array<bool, kRemoteCommandCount> enabled_{};
    std::array<std::vector<Attached>, kRemoteCommandCount> handlers_;
    Target nextTarget_ = 1;
    RemoteShuffleType shuffle_ = RemoteShuffleType::Off;
    RemoteRepeatType repeat_ = RemoteRepeatType::Off;
    bool likeActive_ = false;
    std::string likeTitle_;
    std::optional<double> volume_;
    std::shared_ptr<const VolumeHandler> volumeHandler_;
};

}  // namespace vk
