#include "VornKit/Platform/Media/MprisService.h"

#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "VornKit/Platform/Bus/DBusText.h"
#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRoot = "org.mpris.MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kLike = "org.vornkit.MediaPlayer2.Like";
constexpr const char* kNotEnabled = "org.mpris.MediaPlayer2.Player.Error.NotEnabled";
constexpr const char* kNoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

/// A bus-name element: letters, digits and '_', not starting with a digit.
std::string busNameElement(const std::string& suffix) {
    std::string out;
    for (char c : suffix) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        out += ok ? c : '_';
    }
    if (out.empty() || (out[0] >= '0' && out[0] <= '9'))
        out.insert(out.begin(), '_');
    return out;
}

/// An object-path element for any id: letters and digits kept, every other byte as _XX.
std::string pathElement(const std::string& id) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : id) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else {
            out += '_';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out.empty() ? "_" : out;
}

std::int64_t micros(double seconds) {
    if (!std::isfinite(seconds))
        return 0;
    const double us = seconds * 1e6;
    if (us >= 9.2e18)
        return INT64_MAX;
    if (us <= -9.2e18)
        return INT64_MIN;
    return static_cast<std::int64_t>(us);
}

[[noreturn]] void refuse(const char* what) {
    throw sdbus::Error(kNotEnabled, std::string(what) + " is not enabled");
}

}  // namespace

struct MprisNowPlayingCenter;
struct MprisCommandCenter;

struct MprisService::Impl : std::enable_shared_from_this<MprisService::Impl> {
    Options options;
    std::string busName;
    bool ownsArtworkDirectory = false;
    std::shared_ptr<NowPlayingCenter> nowPlaying;
    std::shared_ptr<RemoteCommandCenter> commands;
    // Emitting from any thread races with the destructor's teardown: `connection`, `object` and
    // `closed` change only under emitMutex once the service runs, and every emit holds it. Not
    // `mutex`: the property getters sdbus calls while emitting take that one. Order: emitMutex,
    // then mutex.
    std::mutex emitMutex;
    bool closed = false;  // under emitMutex and mutex (either one suffices to read it)
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;

    // Published artwork and the position the last information implied; under mutex.
    mutable std::mutex mutex;
    std::shared_ptr<const Image> artwork;
    std::filesystem::path artworkFile;
    std::uint64_t artworkSerial = 0;
    std::string lastTrack;
    std::optional<double> expectedElapsed;  // where the old information would be now

    std::string trackId(const std::optional<NowPlayingInfo>& info) const {
        if (!info)
            return kNoTrack;
        return std::string("/org/vornkit/track/") +
               (info->itemIdentifier ? pathElement(*info->itemIdentifier) : std::string("current"));
    }

    std::map<std::string, sdbus::Variant> metadata() const {
        std::map<std::string, sdbus::Variant> m;
        const auto info = nowPlaying->nowPlayingInfo();
        m["mpris:trackid"] = sdbus::Variant(sdbus::ObjectPath(trackId(info)));
        if (!info)
            return m;
        if (info->title)
            m["xesam:title"] = sdbus::Variant(dbusSafeText(*info->title));
        if (info->artist)
            m["xesam:artist"] =
                sdbus::Variant(std::vector<std::string>{dbusSafeText(*info->artist)});
        if (info->albumTitle)
            m["xesam:album"] = sdbus::Variant(dbusSafeText(*info->albumTitle));
        if (info->playbackDuration)
            m["mpris:length"] = sdbus::Variant(micros(*info->playbackDuration));
        if (info->playbackQueueIndex && info->playbackQueueCount) {
            m["vornkit:queueIndex"] = sdbus::Variant(*info->playbackQueueIndex);
            m["vornkit:queueCount"] = sdbus::Variant(*info->playbackQueueCount);
        }
        {
            std::lock_guard lock(mutex);
            if (!artworkFile.empty())
                m["mpris:artUrl"] = sdbus::Variant(dbusSafeText("file://" + artworkFile.string()));
        }
        if (commands->isEnabled(RemoteCommand::Like))
            m["vornkit:liked"] = sdbus::Variant(commands->likeIsActive());
        return m;
    }

    std::string playbackStatus() const {
        switch (nowPlaying->playbackState()) {
            case NowPlayingPlaybackState::Playing:
                return "Playing";
            case NowPlayingPlaybackState::Paused:
                return "Paused";
            default:
                return "Stopped";
        }
    }

    std::int64_t position() const { return micros(nowPlaying->currentElapsedTime().value_or(0.0)); }

    void send(const RemoteCommandEvent& event, const char* what) {
        if (!commands->send(event))
            refuse(what);
    }

    void registerInterfaces() {
        auto& o = *object;
        // org.mpris.MediaPlayer2
        o.registerMethod("Raise").onInterface(kRoot).implementedAs([] {});
        o.registerMethod("Quit").onInterface(kRoot).implementedAs([] {});
        o.registerProperty("CanQuit").onInterface(kRoot).withGetter([] { return false; });
        o.registerProperty("CanRaise").onInterface(kRoot).withGetter([] { return false; });
        o.registerProperty("HasTrackList").onInterface(kRoot).withGetter([] { return false; });
        o.registerProperty("Identity").onInterface(kRoot).withGetter([this] {
            return dbusSafeText(options.identity);
        });
        if (options.desktopEntry)
            o.registerProperty("DesktopEntry").onInterface(kRoot).withGetter([this] {
                return dbusSafeText(*options.desktopEntry);
            });
        o.registerProperty("SupportedUriSchemes").onInterface(kRoot).withGetter([] {
            return std::vector<std::string>{};
        });
        o.registerProperty("SupportedMimeTypes").onInterface(kRoot).withGetter([] {
            return std::vector<std::string>{};
        });

        // org.mpris.MediaPlayer2.Player: methods
        o.registerMethod("Next").onInterface(kPlayer).implementedAs(
            [this] { send({RemoteCommand::NextTrack}, "Next"); });
        o.registerMethod("Previous").onInterface(kPlayer).implementedAs([this] {
            send({RemoteCommand::PreviousTrack}, "Previous");
        });
        o.registerMethod("Pause").onInterface(kPlayer).implementedAs(
            [this] { send({RemoteCommand::Pause}, "Pause"); });
        o.registerMethod("PlayPause").onInterface(kPlayer).implementedAs([this] {
            send({RemoteCommand::TogglePlayPause}, "PlayPause");
        });
        o.registerMethod("Play").onInterface(kPlayer).implementedAs(
            [this] { send({RemoteCommand::Play}, "Play"); });
        o.registerMethod("Stop").onInterface(kPlayer).implementedAs([] { refuse("Stop"); });
        o.registerMethod("OpenUri").onInterface(kPlayer).withInputParamNames("Uri").implementedAs(
            [](const std::string&) { refuse("OpenUri"); });
        o.registerMethod("Seek").onInterface(kPlayer).withInputParamNames("Offset").implementedAs(
            [this](std::int64_t offset) { seek(offset); });
        o.registerMethod("SetPosition")
            .onInterface(kPlayer)
            .withInputParamNames("TrackId", "Position")
            .implementedAs([this](const sdbus::ObjectPath& track, std::int64_t position) {
                setPosition(track, position);
            });
        o.registerSignal("Seeked").onInterface(kPlayer).withParameters<std::int64_t>("Position");

        // org.mpris.MediaPlayer2.Player: properties
        o.registerProperty("PlaybackStatus").onInterface(kPlayer).withGetter([this] {
            return playbackStatus();
        });
        o.registerProperty("LoopStatus")
            .onInterface(kPlayer)
            .withGetter([this] {
                switch (commands->currentRepeatType()) {
                    case RemoteRepeatType::One:
                        return std::string("Track");
                    case RemoteRepeatType::All:
                        return std::string("Playlist");
                    default:
                        return std::string("None");
                }
            })
            .withSetter([this](const std::string& loop) {
                RemoteCommandEvent event{RemoteCommand::ChangeRepeatMode};
                if (loop == "None")
                    event.repeatType = RemoteRepeatType::Off;
                else if (loop == "Track")
                    event.repeatType = RemoteRepeatType::One;
                else if (loop == "Playlist")
                    event.repeatType = RemoteRepeatType::All;
                else
                    throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                                       "LoopStatus is None, Track or Playlist");
                send(event, "LoopStatus");
            });
        o.registerProperty("Rate")
            .onInterface(kPlayer)
            .withGetter([] { return 1.0; })
            .withSetter([](const double&) {});
        o.registerProperty("Shuffle")
            .onInterface(kPlayer)
            .withGetter([this] { return commands->currentShuffleType() != RemoteShuffleType::Off; })
            .withSetter([this](const bool& on) {
                RemoteCommandEvent event{RemoteCommand::ChangeShuffleMode};
                event.shuffleType = on ? RemoteShuffleType::Items : RemoteShuffleType::Off;
                send(event, "Shuffle");
            });
        o.registerProperty("Metadata").onInterface(kPlayer).withGetter([this] {
            return metadata();
        });
        o.registerProperty("Volume")
            .onInterface(kPlayer)
            .withGetter([this] { return commands->currentVolume().value_or(1.0); })
            .withSetter([this](const double& volume) {
                if (std::isnan(volume))
                    throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                                       "Volume is a number");
                // Below 0 is 0 (as MPRIS asks), above 1 is 1: the command centre clamps.
                if (!commands->sendVolume(volume))
                    refuse("Volume");
            });
        o.registerProperty("Position")
            .onInterface(kPlayer)
            .withGetter([this] { return position(); })
            .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
        o.registerProperty("MinimumRate").onInterface(kPlayer).withGetter([] { return 1.0; });
        o.registerProperty("MaximumRate").onInterface(kPlayer).withGetter([] { return 1.0; });
        const std::pair<const char*, RemoteCommand> flags[] = {
            {"CanGoNext", RemoteCommand::NextTrack},
            {"CanGoPrevious", RemoteCommand::PreviousTrack},
            {"CanPlay", RemoteCommand::Play},
            {"CanPause", RemoteCommand::Pause},
            {"CanSeek", RemoteCommand::ChangePlaybackPosition},
        };
        for (const auto& [name, command] : flags)
            o.registerProperty(name).onInterface(kPlayer).withGetter(
                [this, command = command] { return commands->isEnabled(command); });
        o.registerProperty("CanControl").onInterface(kPlayer).withGetter([] { return true; });

        // org.vornkit.MediaPlayer2.Like
        o.registerMethod("Like").onInterface(kLike).implementedAs(
            [this] { send({RemoteCommand::Like}, "Like"); });
        o.registerProperty("CanLike").onInterface(kLike).withGetter(
            [this] { return commands->isEnabled(RemoteCommand::Like); });
        o.registerProperty("Liked").onInterface(kLike).withGetter(
            [this] { return commands->likeIsActive(); });
        o.registerProperty("Title").onInterface(kLike).withGetter(
            [this] { return dbusSafeText(commands->likeShortTitle()); });
        o.finishRegistration();
    }

    void seek(std::int64_t offset) {
        if (!commands->isEnabled(RemoteCommand::ChangePlaybackPosition))
            refuse("Seek");
        const auto info = nowPlaying->nowPlayingInfo();
        if (!info)
            return;
        double target =
            nowPlaying->currentElapsedTime().value_or(0.0) + static_cast<double>(offset) / 1e6;
        if (target < 0.0)
            target = 0.0;
        if (info->playbackDuration && *info->playbackDuration > 0.0 &&
            target > *info->playbackDuration) {
            // Past the end: as Next, when the next track may be asked for.
            commands->send({RemoteCommand::NextTrack});
            return;
        }
        RemoteCommandEvent event{RemoteCommand::ChangePlaybackPosition};
        event.positionTime = target;
        commands->send(event);
    }

    void setPosition(const sdbus::ObjectPath& track, std::int64_t position) {
        if (!commands->isEnabled(RemoteCommand::ChangePlaybackPosition))
            refuse("SetPosition");
        const auto info = nowPlaying->nowPlayingInfo();
        // A stale track id or a position outside the track is ignored, as MPRIS asks.
        if (!info || track != trackId(info) || position < 0)
            return;
        const double seconds = static_cast<double>(position) / 1e6;
        if (info->playbackDuration && seconds > *info->playbackDuration)
            return;
        RemoteCommandEvent event{RemoteCommand::ChangePlaybackPosition};
        event.positionTime = seconds;
        commands->send(event);
    }

    /// Writes the cover as PNG when it changed; removes the old file.
    void publishArtwork(const std::shared_ptr<const Image>& image) {
        std::filesystem::path old;
        {
            std::lock_guard lock(mutex);
            if (closed || image == artwork)
                return;
            artwork = image;
            old = artworkFile;
            artworkFile.clear();
        }
        std::error_code ec;
        if (!old.empty())
            std::filesystem::remove(old, ec);
        if (!image)
            return;
        const auto png = image->pngData();
        if (!png || options.artworkDirectory.empty())
            return;
        std::filesystem::path file;
        {
            std::lock_guard lock(mutex);
            file = options.artworkDirectory / ("cover-" + std::to_string(::getpid()) + "-" +
                                               std::to_string(++artworkSerial) + ".png");
        }
        std::string failure;
        if (!PrivateFiles::write(file, *png, &failure)) {
            consoleLog("MprisService", "cannot write the cover: %s", failure.c_str());
            return;
        }
        // A cover written after the service closed (and cleared its files) is not kept.
        std::lock_guard lock(mutex);
        if (artwork == image && !closed)
            artworkFile = file;
        else
            std::filesystem::remove(file, ec);
    }

    void nowPlayingChanged(bool infoChanged, bool stateChanged) {
        std::vector<std::string> names;
        std::optional<std::int64_t> seeked;
        if (infoChanged) {
            const auto info = nowPlaying->nowPlayingInfo();
            publishArtwork(info ? info->artwork : nullptr);
            const std::string track = trackId(info);
            const auto now = nowPlaying->currentElapsedTime();
            {
                std::lock_guard lock(mutex);
                // The same track somewhere other than where it would have got to: a seek.
                if (track == lastTrack && now && expectedElapsed &&
                    std::fabs(*now - *expectedElapsed) > 1.5)
                    seeked = micros(*now);
                lastTrack = track;
            }
            names.push_back("Metadata");
        }
        if (stateChanged || infoChanged)
            names.push_back("PlaybackStatus");
        emit(kPlayer, names);
        if (seeked)
            emitSeeked(*seeked);
        // Remember where this information puts the position, for the next comparison.
        std::lock_guard lock(mutex);
        expectedElapsed = nowPlaying->currentElapsedTime();
    }

    void commandsChanged() {
        emit(kPlayer, {"CanGoNext", "CanGoPrevious", "CanPlay", "CanPause", "CanSeek", "Shuffle",
                       "LoopStatus", "Volume", "Metadata"});
        emit(kLike, {"CanLike", "Liked", "Title"});
    }

    void emit(const char* interface, const std::vector<std::string>& names) {
        std::lock_guard lock(emitMutex);
        if (names.empty() || closed || !object)
            return;
        try {
            object->emitPropertiesChangedSignal(interface, names);
        } catch (const std::exception& e) {
            consoleLog("MprisService", "PropertiesChanged failed: %s", e.what());
        }
    }

    void emitSeeked(std::int64_t position) {
        std::lock_guard lock(emitMutex);
        if (closed || !object)
            return;
        try {
            object->emitSignal("Seeked").onInterface(kPlayer).withArguments(position);
        } catch (const std::exception& e) {
            consoleLog("MprisService", "Seeked failed: %s", e.what());
        }
    }
};

struct MprisNowPlayingCenter : NowPlayingCenter {
    std::weak_ptr<MprisService::Impl> service;
    void changed(bool infoChanged, bool stateChanged) override {
        if (auto s = service.lock())
            s->nowPlayingChanged(infoChanged, stateChanged);
    }
};

struct MprisCommandCenter : RemoteCommandCenter {
    std::weak_ptr<MprisService::Impl> service;
    void changed() override {
        if (auto s = service.lock())
            s->commandsChanged();
    }
};

MprisService::MprisService(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<MprisService> MprisService::start(Options options, std::string* error) {
    auto impl = std::make_shared<Impl>();
    auto nowPlaying = std::make_shared<MprisNowPlayingCenter>();
    nowPlaying->service = impl;
    auto commands = std::make_shared<MprisCommandCenter>();
    commands->service = impl;
    impl->nowPlaying = nowPlaying;
    impl->commands = commands;
    if (options.artworkDirectory.empty()) {
        // A name no other user can know in advance (and so cannot plant links in).
        auto own = PrivateFiles::uniqueFolder(Environment::current()->temporaryDirectory() /
                                              "vornkit-mpris");
        if (own) {
            options.artworkDirectory = *own;
            impl->ownsArtworkDirectory = true;
        } else {
            consoleLog("MprisService", "no folder for covers: they are not published");
        }
    } else {
        std::error_code ec;
        std::filesystem::create_directories(options.artworkDirectory, ec);
    }
    impl->options = std::move(options);
    const std::string name =
        "org.mpris.MediaPlayer2." + busNameElement(impl->options.busNameSuffix);
    try {
        impl->connection = sdbus::createSessionBusConnection();
        impl->object = sdbus::createObject(*impl->connection, kObjectPath);
        impl->registerInterfaces();
        try {
            impl->connection->requestName(name);
            impl->busName = name;
        } catch (const sdbus::Error&) {
            // Another instance has it: MPRIS's rule for several instances.
            impl->busName = name + ".instance" + std::to_string(::getpid());
            impl->connection->requestName(impl->busName);
        }
        impl->connection->enterEventLoopAsync();
    } catch (const std::exception& e) {
        if (error)
            *error = e.what();
        consoleLog("MprisService", "cannot publish on the session bus: %s", e.what());
        impl->object.reset();
        impl->connection.reset();
        return nullptr;
    }
    return std::shared_ptr<MprisService>(new MprisService(std::move(impl)));
}

MprisService::~MprisService() {
    try {
        impl_->connection->leaveEventLoop();
    } catch (const std::exception&) {
    }
    // Changes still arriving from other threads find the service closed from here on.
    {
        std::lock_guard emitLock(impl_->emitMutex);
        {
            std::lock_guard lock(impl_->mutex);
            impl_->closed = true;
        }
        impl_->object.reset();
        impl_->connection.reset();
    }
    std::error_code ec;
    std::lock_guard lock(impl_->mutex);
    if (!impl_->artworkFile.empty())
        std::filesystem::remove(impl_->artworkFile, ec);
    if (impl_->ownsArtworkDirectory)
        std::filesystem::remove_all(impl_->options.artworkDirectory, ec);
}

std::string MprisService::busName() const {
    return impl_->busName;
}
const std::shared_ptr<NowPlayingCenter>& MprisService::nowPlayingCenter() const {
    return impl_->nowPlaying;
}
const std::shared_ptr<RemoteCommandCenter>& MprisService::commandCenter() const {
    return impl_->commands;
}
std::filesystem::path MprisService::artworkFile() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->artworkFile;
}

}  // namespace vk
