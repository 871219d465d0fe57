// MprisService: the desktop's now-playing display and remote commands over MPRIS on the D-Bus
// session bus. It owns the bus name org.mpris.MediaPlayer2.<suffix> (the host chooses the suffix)
// and the object /org/mpris/MediaPlayer2 with the interfaces org.mpris.MediaPlayer2,
// org.mpris.MediaPlayer2.Player and org.vornkit.MediaPlayer2.Like (the like command and its state,
// which MPRIS has no words for).
//
// What it shows comes from its two centres: nowPlayingCenter() (Metadata: title, artist list,
// album, length, track id, cover as a PNG file URL; PlaybackStatus; Position) and commandCenter()
// (the Can* flags follow the enabled commands; Shuffle, LoopStatus and the like state follow the
// current types; Volume is the centre's current volume, 1.0 while unknown). Every change is
// announced with PropertiesChanged; a jump of the position is announced with Seeked. Methods and
// property writes become commands of the command centre (a Volume write: its volume request);
// a command that is not enabled (a Volume write without a volume handler) is refused with the
// D-Bus error "org.mpris.MediaPlayer2.Player.Error.NotEnabled" and reaches no handler. Texts from
// outside are made valid UTF-8 (DBusText) before they reach the bus.
//
// Thread rule: thread-safe. The bus connection runs its own thread; method calls and property
// reads are answered there, and commands reach their handlers on the main queue. Destroying the
// service releases the name and joins the bus thread.
#pragma once

#include "VornKit/Export.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Platform/Media/NowPlayingCenter.h"
#include "VornKit/Platform/Media/RemoteCommandCenter.h"

namespace vk {

/// An MPRIS player on the session bus, shown from its two centres; owned by the host (shared).
class VK_EXPORT MprisService {
  public:
    /// How the player is named on the bus and where its cover files go.
    struct Options {
        /// Last element of the bus name; characters a bus name cannot hold become '_'.
        std::string busNameSuffix = "vornkit";
        /// The player's name as the desktop shows it (org.mpris.MediaPlayer2.Identity).
        std::string identity = "VornKit";
        /// The host's desktop file name without ".desktop"; absent: not published.
        std::optional<std::string> desktopEntry;
        /// Where cover PNGs are written; empty: a new private folder of its own under the
        /// temporary directory ("vornkit-mpris-XXXXXX", mode 0700), removed with the service.
        std::filesystem::path artworkDirectory;
    };

    /// A service on the session bus ($DBUS_SESSION_BUS_ADDRESS), or null with `error` set when
    /// there is no bus. When the name is taken, it takes "<name>.instance<pid>" instead.
    static std::shared_ptr<MprisService> start(Options options, std::string* error = nullptr);
    ~MprisService();
    MprisService(const MprisService&) = delete;
    MprisService& operator=(const MprisService&) = delete;

    /// The bus name it owns.
    std::string busName() const;
    /// What the service shows; set it to publish. The centre lives as long as the service.
    const std::shared_ptr<NowPlayingCenter>& nowPlayingCenter() const;
    /// Where the desktop's commands arrive; enable commands and attach handlers on it.
    const std::shared_ptr<RemoteCommandCenter>& commandCenter() const;
    /// The file of the cover now published; empty when none.
    std::filesystem::path artworkFile() const;

    struct Impl;

  private:
    explicit MprisService(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace vk
