// RemoteCommandCenter: the commands the desktop (media keys, a now-playing applet, playerctl, an
// in-car display) may send to the application, which of them are enabled, their handlers and the
// state the desktop shows beside them (shuffle and repeat type, the like command's active state).
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

struct VK_EXPORT RemoteCommandEvent {
    RemoteCommand command = RemoteCommand::TogglePlayPause;
    /// ChangePlaybackPosition: the position asked for, seconds.
    double positionTime = 0.0;
    /// ChangeShuffleMode: the type asked for.
    RemoteShuffleType shuffleType = RemoteShuffleType::Off;
    /// ChangeRepeatMode: the type asked for.
    RemoteRepeatType repeatType = RemoteRepeatType::Off;
};

enum class RemoteCommandStatus { Success, NoSuchContent, CommandFailed };

class VK_EXPORT RemoteCommandCenter : public std::enable_shared_from_this<RemoteCommandCenter> {
  public:
    using Handler = std::function<RemoteCommandStatus(const RemoteCommandEvent&)>;
    using Target = std::uint64_t;

    /// A centre without a desktop service (the test double; commands come from send()).
    static std::shared_ptr<RemoteCommandCenter> make();
    virtual ~RemoteCommandCenter() = default;
    RemoteCommandCenter(const RemoteCommandCenter&) = delete;
    RemoteCommandCenter& operator=(const RemoteCommandCenter&) = delete;

    bool isEnabled(RemoteCommand command) const;
    void setEnabled(RemoteCommand command, bool enabled);
    /// Attaches a handler; the returned target detaches it.
    Target addTarget(RemoteCommand command, Handler handler);
    void removeTarget(RemoteCommand command, Target target);
    /// Detaches every handler of `command`.
    void removeAllTargets(RemoteCommand command);
    std::size_t targetCount(RemoteCommand command) const;

    RemoteShuffleType currentShuffleType() const;
    void setCurrentShuffleType(RemoteShuffleType type);
    RemoteRepeatType currentRepeatType() const;
    void setCurrentRepeatType(RemoteRepeatType type);
    bool likeIsActive() const;
    void setLikeActive(bool active);
    std::string likeShortTitle() const;
    void setLikeShortTitle(std::string title);

    /// Delivers a command: false at once when it is not enabled; otherwise its handlers run on the
    /// main queue and `done` (if given) receives the last handler's status there (NoSuchContent
    /// when none is attached).
    bool send(const RemoteCommandEvent& event,
              std::function<void(RemoteCommandStatus)> done = nullptr);

  protected:
    RemoteCommandCenter() = default;
    /// After a change of what the desktop shows (enabled commands, shuffle, repeat, like).
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
};

}  // namespace vk
