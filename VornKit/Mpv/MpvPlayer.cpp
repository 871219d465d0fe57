// MpvPlayer: libmpv created and started, the player's state, and its commands. The queue is in
// MpvPlayerQueue.cpp, the events in MpvPlayerEvents.cpp, libmpv's handle in MpvEngine.h.
#include "VornKit/Mpv/MpvPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "VornKit/Mpv/MpvControlCommand.h"
#include "VornKit/Mpv/MpvEngine.h"

namespace vk {

using namespace mpv_detail;

namespace {

using Op = PlayerEventOperation;

constexpr double kRestartThresholdSeconds = 3.0;

}  // namespace

std::shared_ptr<MpvPlayer> MpvPlayer::create(Options options) {
    std::shared_ptr<MpvPlayer> player(new MpvPlayer(std::move(options)));
    player->start();
    return player;
}

MpvPlayer::MpvPlayer(Options options)
    : options_(std::move(options)), engine_(std::make_shared<Engine>()) {}

MpvPlayer::~MpvPlayer() = default;

std::string MpvPlayer::libraryVersion() {
    const unsigned long version = mpv_client_api_version();
    return "libmpv client API " + std::to_string(version >> 16) + "." +
           std::to_string(version & 0xffff);
}

void MpvPlayer::start() {
    mpv_handle* mpv = mpv_create();
    if (!mpv) {
        logger().log("libmpv could not be created");
        return;
    }
    engine_->mpv = mpv;
    engine_->player = weak_from_this();
    // A library player: no configuration files, scripts, terminal or key bindings of its own.
    const std::vector<std::pair<std::string, std::string>> fixed = {
        {"config", "no"},
        {"terminal", "no"},
        {"idle", "yes"},
        {"load-scripts", "no"},
        {"ytdl", "no"},
        {"osc", "no"},
        {"input-default-bindings", "no"},
        {"input-vo-keyboard", "no"},
        {"audio-display", "no"},
        {"force-window", "no"},
        {"keep-open", "no"},
        {"ao", options_.audioOutput},
        {"vo", options_.videoOutput},
    };
    for (const auto& [name, value] : fixed)
        mpv_set_option_string(mpv, name.c_str(), value.c_str());
    if (options_.windowId)
        mpv_set_option_string(mpv, "wid", std::to_string(*options_.windowId).c_str());
    bool optionsOk = true;
    for (const auto& [name, value] : options_.extraOptions) {
        if (mpv_set_option_string(mpv, name.c_str(), value.c_str()) < 0) {
            logger().log(LogMessage("libmpv refused the option ") << name);
            optionsOk = false;
        }
    }
    if (!optionsOk || mpv_initialize(mpv) < 0) {
        logger().log("libmpv could not be initialised");
        return;
    }
    waitUntilIdle(mpv);
    mpv_observe_property(mpv, kTimePos, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, kDuration, "duration", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, kPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(mpv, kCacheState, "demuxer-cache-state", MPV_FORMAT_NODE);
    mpv_observe_property(mpv, kSpeed, "speed", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, kVolume, "volume", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, kSubDelay, "sub-delay", MPV_FORMAT_DOUBLE);
    mpv_hook_add(mpv, kLoadHook, "on_load", 0);
    mpv_set_wakeup_callback(mpv, &Engine::wakeUp, engine_.get());
    std::lock_guard lock(mutex_);
    initialized_ = true;
}

void MpvPlayer::quit() {
    std::lock_guard lock(mutex_);
    if (initialized_ && !shutDown_)
        engine_->command({"quit"});
}

// State ---------------------------------------------------------------------------------------

bool MpvPlayer::isInitialized() const {
    std::lock_guard lock(mutex_);
    return initialized_;
}

std::any MpvPlayer::view() const {
    if (options_.windowId)
        return *options_.windowId;
    return {};
}

MediaType MpvPlayer::currentMediaType() const {
    std::lock_guard lock(mutex_);
    return mediaType_;
}

std::shared_ptr<MediaItem> MpvPlayer::currentMediaItem() const {
    std::lock_guard lock(mutex_);
    return queue_.itemAt(queue_.current);
}

std::optional<MediaSourceInfo> MpvPlayer::currentMediaSource() const {
    std::lock_guard lock(mutex_);
    return loadedSource_;
}

void MpvPlayer::addDelegate(std::shared_ptr<PlayerEventDelegate> delegate) {
    delegates_.add(delegate);
}

void MpvPlayer::removeDelegate(std::shared_ptr<PlayerEventDelegate> delegate) {
    delegates_.remove(delegate);
}

bool MpvPlayer::isPlaying() const {
    {
        std::lock_guard lock(mutex_);
        if (!loaded_)
            return false;
    }
    return !engine_->getFlag("pause").value_or(true);
}

bool MpvPlayer::hasMedia() const {
    std::lock_guard lock(mutex_);
    return loaded_;
}

bool MpvPlayer::hasMedia(MediaType type) const {
    std::lock_guard lock(mutex_);
    return loaded_ && mediaType_ == type;
}

std::vector<std::shared_ptr<MediaItem>> MpvPlayer::getCurrentQueue() const {
    std::lock_guard lock(mutex_);
    return queue_.items();
}

std::shared_ptr<MediaItem> MpvPlayer::getItemAtPosition(std::int32_t index) const {
    std::lock_guard lock(mutex_);
    return queue_.itemAt(index);
}

std::int64_t MpvPlayer::getCurrentPlaylistIndex() const {
    std::lock_guard lock(mutex_);
    return queue_.current;
}

std::int64_t MpvPlayer::getCurrentStreamPosition() const {
    auto seconds = engine_->mpv ? engine_->getDouble("time-pos") : std::nullopt;
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0)
        return 0;  // (libmpv may report a little below 0 while a file starts)
    return static_cast<std::int64_t>(milliseconds(*seconds));
}

// Commands ------------------------------------------------------------------------------------

void MpvPlayer::enableVideo() {
    if (isInitialized())
        engine_->set("vid", "auto");
}

void MpvPlayer::disableVideo() {
    if (isInitialized())
        engine_->set("vid", "no");
}

void MpvPlayer::execute(const std::string& command, const std::any& argument) {
    if (!isInitialized())
        return;
    auto words = controlCommand(command, argument);
    if (!words) {
        logger().log(LogMessage("refused the command ") << command);
        return;
    }
    if (engine_->command(*words) < 0)
        logger().log(LogMessage("libmpv refused the command ") << command);
}

void MpvPlayer::playPause() {
    if (isInitialized())
        engine_->command({"cycle", "pause"});
}

void MpvPlayer::pause() {
    if (isInitialized())
        engine_->set("pause", "yes");
}

void MpvPlayer::unpause() {
    if (isInitialized())
        engine_->set("pause", "no");
}

void MpvPlayer::nextTrack() {
    if (isInitialized())
        engine_->command({"playlist-next"});
}

void MpvPlayer::prevTrack() {
    if (!isInitialized())
        return;
    if (engine_->getDouble("time-pos").value_or(0) > kRestartThresholdSeconds ||
        getCurrentPlaylistIndex() <= 0) {
        engine_->command({"seek", "0", "absolute"});
    } else {
        engine_->command({"playlist-prev"});
    }
}

void MpvPlayer::zoomUnzoom() {
    if (!isInitialized())
        return;
    const double panscan = engine_->getDouble("panscan").value_or(0);
    engine_->set("panscan", panscan > 0 ? "0" : "1");
}

bool MpvPlayer::setAspectRatio(const std::string& ratio) {
    return isInitialized() && engine_->set("video-aspect-override", ratio) >= 0;
}

void MpvPlayer::setSubtitleStreamIndex(std::optional<std::int64_t> index) {
    if (isInitialized())
        engine_->set("sid", index && *index >= 0 ? std::to_string(*index) : "no");
}

void MpvPlayer::setAudioStreamIndex(std::optional<std::int64_t> index) {
    if (isInitialized())
        engine_->set("aid", index && *index >= 0 ? std::to_string(*index) : "no");
}

void MpvPlayer::setPosition(std::optional<double> positionMs) {
    if (!positionMs || !std::isfinite(*positionMs) || !isInitialized())
        return;
    engine_->command({"seek", number(std::max(0.0, *positionMs) / 1000.0), "absolute"});
}

void MpvPlayer::seekRelative(std::optional<double> offsetMs) {
    if (!offsetMs || !std::isfinite(*offsetMs) || !isInitialized())
        return;
    engine_->command({"seek", number(*offsetMs / 1000.0), "relative"});
}

void MpvPlayer::seek(const std::string& positionMs) {
    char* end = nullptr;
    const double position = std::strtod(positionMs.c_str(), &end);
    if (end == positionMs.c_str() || *end != '\0')
        return;
    setPosition(position);
}

void MpvPlayer::setVolume(std::int64_t volume) {
    if (isInitialized())
        engine_->set("volume", std::to_string(std::clamp<std::int64_t>(volume, 0, 100)));
}

void MpvPlayer::volumeUp() {
    if (isInitialized())
        engine_->command({"add", "volume", "5"});
}

void MpvPlayer::volumeDown() {
    if (isInitialized())
        engine_->command({"add", "volume", "-5"});
}

void MpvPlayer::setRepeatMode(const std::string& mode) {
    if (!isInitialized())
        return;
    const RepeatMode repeat = repeatModeNamed(mode);
    // Repeat one is played here, not by libmpv's file loop, which would give no sign of the end
    // of each play.
    engine_->set("loop-file", "no");
    engine_->set("loop-playlist", repeat == RepeatMode::RepeatAll ? "inf" : "no");
    {
        std::lock_guard lock(mutex_);
        repeatAll_ = repeat == RepeatMode::RepeatAll;
        repeatOne_ = repeat == RepeatMode::RepeatOne;
    }
    onMain([mode](MpvPlayer& self) {
        self.delegates_.notify(Op::onRepeatModeChanged,
                               [&](PlayerEventDelegate& d) { d.onRepeatModeChanged(mode); });
    });
}

}  // namespace vk
