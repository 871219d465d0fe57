#include "VornKit/Mpv/MpvPlayer.h"

#include <mpv/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

using Op = PlayerEventOperation;

constexpr double kRestartThresholdSeconds = 3.0;

// Observed properties, by reply id.
enum : std::uint64_t {
    kTimePos = 1,
    kDuration,
    kPause,
    kCacheState,
    kSpeed,
    kVolume,
    kSubDelay,
};

// The hook that runs while a file loads, before it is opened.
constexpr std::uint64_t kLoadHook = 100;

const Logger& logger() {
    static const Logger log("MpvPlayer");
    return log;
}

/// libmpv's seconds as whole milliseconds.
double milliseconds(double seconds) {
    return std::round(seconds * 1000.0);
}

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6f", value);
    return buffer;
}

/// A libmpv node map whose strings are kept by the builder.
class NodeMap {
  public:
    void add(std::string key, std::string value) {
        keys_.push_back(std::move(key));
        values_.push_back(std::move(value));
    }
    mpv_node node() {
        keyPointers_.clear();
        nodes_.clear();
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            keyPointers_.push_back(keys_[i].data());
            mpv_node n{};
            n.format = MPV_FORMAT_STRING;
            n.u.string = values_[i].data();
            nodes_.push_back(n);
        }
        list_.num = static_cast<int>(nodes_.size());
        list_.values = nodes_.data();
        list_.keys = keyPointers_.data();
        mpv_node result{};
        result.format = MPV_FORMAT_NODE_MAP;
        result.u.list = &list_;
        return result;
    }

  private:
    std::vector<std::string> keys_;
    std::vector<std::string> values_;
    std::vector<char*> keyPointers_;
    std::vector<mpv_node> nodes_;
    mpv_node_list list_{};
};

const mpv_node* mapValue(const mpv_node& node, std::string_view key) {
    if (node.format != MPV_FORMAT_NODE_MAP || !node.u.list)
        return nullptr;
    for (int i = 0; i < node.u.list->num; ++i) {
        if (key == node.u.list->keys[i])
            return &node.u.list->values[i];
    }
    return nullptr;
}

std::optional<double> nodeNumber(const mpv_node* node) {
    if (!node)
        return std::nullopt;
    if (node->format == MPV_FORMAT_DOUBLE)
        return node->u.double_;
    if (node->format == MPV_FORMAT_INT64)
        return static_cast<double>(node->u.int64);
    return std::nullopt;
}

/// The first seekable range of a "demuxer-cache-state" node, in seconds.
std::optional<std::pair<double, double>> cacheRange(const mpv_node& state) {
    const mpv_node* ranges = mapValue(state, "seekable-ranges");
    if (!ranges || ranges->format != MPV_FORMAT_NODE_ARRAY || !ranges->u.list ||
        ranges->u.list->num < 1)
        return std::nullopt;
    const mpv_node& first = ranges->u.list->values[0];
    auto start = nodeNumber(mapValue(first, "start"));
    auto end = nodeNumber(mapValue(first, "end"));
    if (!start || !end)
        return std::nullopt;
    return std::make_pair(*start, *end);
}

/// A text argument of execute() (std::string or a C string).
std::optional<std::string> textArgument(const std::any& argument) {
    if (auto* text = std::any_cast<std::string>(&argument))
        return *text;
    if (auto* text = std::any_cast<const char*>(&argument); text && *text)
        return std::string(*text);
    return std::nullopt;
}

/// A number argument of execute(): a double, float, int or std::int64_t, or a text that is one
/// finite number.
std::optional<double> numberArgument(const std::any& argument) {
    std::optional<double> value;
    if (auto* d = std::any_cast<double>(&argument)) {
        value = *d;
    } else if (auto* f = std::any_cast<float>(&argument)) {
        value = *f;
    } else if (auto* i = std::any_cast<int>(&argument)) {
        value = *i;
    } else if (auto* l = std::any_cast<std::int64_t>(&argument)) {
        value = static_cast<double>(*l);
    } else if (auto text = textArgument(argument)) {
        char* end = nullptr;
        const double parsed = std::strtod(text->c_str(), &end);
        if (!text->empty() && *end == '\0')
            value = parsed;
    }
    if (value && !std::isfinite(*value))
        return std::nullopt;
    return value;
}

/// A yes/no argument: a bool, or the texts "yes", "no", "true", "false".
std::optional<std::string> flagArgument(const std::any& argument) {
    if (auto* b = std::any_cast<bool>(&argument))
        return *b ? "yes" : "no";
    auto text = textArgument(argument);
    if (text == "yes" || text == "true")
        return "yes";
    if (text == "no" || text == "false")
        return "no";
    return std::nullopt;
}

/// A track argument: a track id (0 and up), "auto" or "no".
std::optional<std::string> trackArgument(const std::any& argument) {
    if (auto text = textArgument(argument); text == "auto" || text == "no")
        return text;
    auto id = numberArgument(argument);
    if (!id || *id < 0 || *id > 1e6 || std::floor(*id) != *id)
        return std::nullopt;
    return std::to_string(static_cast<std::int64_t>(*id));
}

/// The libmpv command words for one of the player-control commands execute() takes, or absent
/// for anything else (libmpv's own commands run programs, load scripts and write files).
std::optional<std::vector<std::string>> controlCommand(const std::string& command,
                                                       const std::any& argument) {
    using Words = std::vector<std::string>;
    if (command == "volume") {
        auto volume = numberArgument(argument);
        if (!volume)
            return std::nullopt;
        return Words{"set", "volume", number(std::clamp(*volume, 0.0, 100.0))};
    }
    if (command == "mute" || command == "sub-visibility") {
        if (!argument.has_value())
            return Words{"cycle", command};
        auto flag = flagArgument(argument);
        if (!flag)
            return std::nullopt;
        return Words{"set", command, *flag};
    }
    if (command == "speed") {
        auto speed = numberArgument(argument);
        if (!speed || *speed < 0.01 || *speed > 100)
            return std::nullopt;
        return Words{"set", "speed", number(*speed)};
    }
    if (command == "aid" || command == "sid") {
        auto track = trackArgument(argument);
        if (!track)
            return std::nullopt;
        return Words{"set", command, *track};
    }
    if (command == "sub-delay" || command == "audio-delay") {
        auto seconds = numberArgument(argument);
        if (!seconds)
            return std::nullopt;
        return Words{"set", command, number(*seconds)};
    }
    if (command == "cycle") {
        auto property = textArgument(argument);
        if (property != "pause" && property != "mute" && property != "aid" && property != "sid" &&
            property != "sub-visibility")
            return std::nullopt;
        return Words{"cycle", *property};
    }
    if (command == "frame-step" || command == "frame-back-step") {
        if (argument.has_value())
            return std::nullopt;
        return Words{command};
    }
    return std::nullopt;
}

/// Waits (two seconds at most) until libmpv's play loop, started on a thread of its own by
/// mpv_initialize(), has taken up its (empty) playlist and gone idle: a playlist filled before that
/// plays from its first entry, whatever position was set. Takes the events that come meanwhile.
void waitUntilIdle(mpv_handle* mpv) {
#if MPV_ENABLE_DEPRECATED
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || mpv_wait_event(mpv, left)->event_id == MPV_EVENT_IDLE)
            return;
    }
#else
    (void)mpv;
#endif
}

}  // namespace

/// The libmpv handle and the wake-up that brings its events to the main queue. libmpv calls
/// wakeUp() from its own threads; it only schedules one drain at a time.
struct MpvPlayer::Engine {
    mpv_handle* mpv = nullptr;
    std::atomic<bool> drainScheduled{false};
    std::weak_ptr<MpvPlayer> player;

    ~Engine() {
        if (!mpv)
            return;
        mpv_set_wakeup_callback(mpv, nullptr, nullptr);
        mpv_terminate_destroy(mpv);
    }

    static void wakeUp(void* context) {
        auto* engine = static_cast<Engine*>(context);
        if (engine->drainScheduled.exchange(true))
            return;
        DispatchQueue::main()->async([weak = engine->player] {
            if (auto player = weak.lock())
                player->drainEvents();
        });
    }

    int command(std::initializer_list<std::string> words) const {
        return command(std::vector<std::string>(words));
    }
    int command(const std::vector<std::string>& words) const {
        std::vector<const char*> args;
        for (const auto& word : words)
            args.push_back(word.c_str());
        args.push_back(nullptr);
        return mpv_command(mpv, args.data());
    }
    int set(const char* name, const std::string& value) const {
        return mpv_set_property_string(mpv, name, value.c_str());
    }
    std::optional<double> getDouble(const char* name) const {
        double value = 0;
        if (mpv_get_property(mpv, name, MPV_FORMAT_DOUBLE, &value) < 0)
            return std::nullopt;
        return value;
    }
    std::optional<std::int64_t> getInt(const std::string& name) const {
        std::int64_t value = 0;
        if (mpv_get_property(mpv, name.c_str(), MPV_FORMAT_INT64, &value) < 0)
            return std::nullopt;
        return value;
    }
    std::optional<bool> getFlag(const char* name) const {
        int value = 0;
        if (mpv_get_property(mpv, name, MPV_FORMAT_FLAG, &value) < 0)
            return std::nullopt;
        return value != 0;
    }
};

/// One libmpv event, copied out of libmpv's buffer.
struct MpvPlayer::Event {
    mpv_event_id id = MPV_EVENT_NONE;
    std::uint64_t property = 0;
    std::optional<double> number;
    std::optional<bool> flag;
    std::optional<std::pair<double, double>> range;
    std::int64_t entryId = -1;
    std::uint64_t hookId = 0;
    mpv_end_file_reason reason = MPV_END_FILE_REASON_EOF;
    int error = 0;
};

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

template <class F>
void MpvPlayer::onMain(F step) {
    std::weak_ptr<MpvPlayer> weak = weak_from_this();
    DispatchQueue::main()->async([weak, step = std::move(step)]() mutable {
        if (auto self = weak.lock())
            step(*self);
    });
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

// Queue ---------------------------------------------------------------------------------------

bool MpvPlayer::appendLocked(const std::shared_ptr<MediaItem>& item,
                             std::optional<MediaSourceInfo> source) {
    if (!item || !item->Path || item->Path->empty())
        return false;
    NodeMap command;
    command.add("name", "loadfile");
    command.add("url", *item->Path);
    command.add("flags", "append");
    mpv_node node = command.node();
    mpv_node result{};
    if (mpv_command_node(engine_->mpv, &node, &result) < 0) {
        logger().log(LogMessage("libmpv refused to queue ") << Private{*item->Path});
        return false;
    }
    mpv_free_node_contents(&result);
    auto count = engine_->getInt("playlist-count");
    auto id = count && *count > 0
                  ? engine_->getInt("playlist/" + std::to_string(*count - 1) + "/id")
                  : std::nullopt;
    if (!id)
        return false;
    if (!source && item->ItemId)
        source = MediaSourceInfo(*item->ItemId, std::nullopt);
    queue_.insert(queue_.size(), Entry{item, std::move(source), *id, 0});
    return true;
}

void MpvPlayer::announcePlaylist() {
    std::vector<std::shared_ptr<MediaItem>> items = getCurrentQueue();
    onMain([items = std::move(items)](MpvPlayer& self) {
        self.delegates_.notify(Op::onPlaylistChanged,
                               [&](PlayerEventDelegate& d) { d.onPlaylistChanged(items); });
    });
}

void MpvPlayer::replaceQueue(const std::vector<std::shared_ptr<MediaItem>>& items,
                             const std::vector<std::optional<MediaSourceInfo>>& sources,
                             MediaType type, std::int32_t startIndex, std::int64_t startPosMs) {
    std::unique_lock lock(mutex_);
    if (!initialized_ || shutDown_)
        return;
    ++queueGeneration_;
    engine_->command({"stop"});
    queue_.reset();
    replayEntry_.reset();
    loaded_ = false;
    mediaType_ = type;
    std::int64_t start = -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (appendLocked(items[i], i < sources.size() ? sources[i] : std::nullopt) &&
            static_cast<std::int64_t>(i) == startIndex)
            start = static_cast<std::int64_t>(queue_.size()) - 1;
    }
    // The start position holds for the first play of the start entry only (a later play of it,
    // repeated or gone back to, starts at its beginning): it is set while that play loads.
    pendingStart_.reset();
    if (start >= 0 && startPosMs > 0)
        pendingStart_ = {queue_.at(start)->engineId, static_cast<double>(startPosMs) / 1000.0};
    lock.unlock();
    announcePlaylist();
    if (start >= 0) {
        engine_->set("pause", "no");
        mpv_set_property(engine_->mpv, "playlist-pos", MPV_FORMAT_INT64, &start);
    } else {
        // Nothing follows the entry that played.
        onMain([](MpvPlayer& self) { self.announceEnd(); });
    }
}

void MpvPlayer::playAudio(const std::vector<std::shared_ptr<MediaItem>>& items, bool /*isLocal*/,
                          const std::optional<MediaSourceInfo>& mediaSource,
                          std::int32_t startIndex, std::int64_t startPosMs) {
    std::vector<std::optional<MediaSourceInfo>> sources(items.size());
    if (mediaSource && startIndex >= 0 && static_cast<std::size_t>(startIndex) < items.size())
        sources[static_cast<std::size_t>(startIndex)] = mediaSource;
    replaceQueue(items, sources, MediaType::Audio, startIndex, startPosMs);
}

void MpvPlayer::playVideo(const std::string& path, bool /*isLocal*/, const std::string& itemId,
                          const std::string& itemJson, const std::string& mediaSourceJson,
                          bool /*isTranscoding*/, std::int64_t startPosMs,
                          std::int32_t /*videoStreamIndex*/, std::int32_t /*audioStreamIndex*/,
                          std::int32_t /*subtitleStreamIndex*/, const std::string& posterUrl) {
    std::optional<std::string> title;
    std::optional<std::string> serverId;
    if (auto decoded = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(itemJson);
        decoded && *decoded) {
        title = (*decoded)->Name.toOptional();
        serverId = (*decoded)->ServerId.toOptional();
    }
    auto item = std::make_shared<MediaItem>(path, title, std::nullopt, std::nullopt, posterUrl,
                                            serverId, itemId, std::nullopt);
    item->itemJson = itemJson;
    replaceQueue({item}, {MediaSourceInfo::initWithJson(mediaSourceJson)}, MediaType::Video, 0,
                 startPosMs);
}

void MpvPlayer::queueItems(const std::string& itemsJson, bool next) {
    auto items = MediaItem::mediaItemsFromJson(itemsJson);
    if (items.empty())
        return;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || shutDown_)
            return;
        std::int64_t at = next && queue_.current >= 0 ? queue_.current + 1 : -1;
        for (const auto& item : items) {
            if (!appendLocked(item, std::nullopt))
                continue;
            const auto last = static_cast<std::int64_t>(queue_.size()) - 1;
            if (at >= 0 && at < last) {
                // libmpv puts the moved entry in front of the entry at the target index.
                engine_->command({"playlist-move", std::to_string(last), std::to_string(at)});
                queue_.move(last, at);
                ++at;
            }
        }
    }
    announcePlaylist();
}

void MpvPlayer::removeFromPlaylistAtIndex(std::int32_t index) {
    std::shared_ptr<MediaItem> removed;
    bool endedPlayback = false;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || !queue_.at(index))
            return;
        if (engine_->command({"playlist-remove", std::to_string(index)}) < 0)
            return;
        const bool wasCurrent = index == queue_.current;
        removed = queue_.remove(index)->item;
        if (wasCurrent && !queue_.at(index)) {
            // The last entry played; libmpv stops without a next one.
            endedPlayback = loaded_;
            loaded_ = false;
        }
    }
    onMain([removed, endedPlayback](MpvPlayer& self) {
        self.delegates_.notify(Op::onPlaylistItemRemoved,
                               [&](PlayerEventDelegate& d) { d.onPlaylistItemRemoved(removed); });
        if (endedPlayback)
            self.announceEnd();
    });
}

void MpvPlayer::movePlaylistItemFromIndex(std::int32_t from, std::int32_t to) {
    std::string id;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || !queue_.at(from) || !queue_.at(to) || from == to)
            return;
        // libmpv puts the entry in front of the entry at the target index.
        const std::int32_t target = to > from ? to + 1 : to;
        if (engine_->command({"playlist-move", std::to_string(from), std::to_string(target)}) < 0)
            return;
        queue_.move(from, to);
        const auto item = queue_.itemAt(to);
        id = item && item->playlistItemId ? *item->playlistItemId : std::string();
    }
    onMain([id, to](MpvPlayer& self) {
        self.delegates_.notify(Op::onPlaylistItemMoved,
                               [&](PlayerEventDelegate& d) { d.onPlaylistItemMoved(id, to); });
    });
}

void MpvPlayer::reorderFromEngineLocked() {
    mpv_node playlist{};
    if (mpv_get_property(engine_->mpv, "playlist", MPV_FORMAT_NODE, &playlist) < 0)
        return;
    std::vector<std::int64_t> ids;
    if (playlist.format == MPV_FORMAT_NODE_ARRAY && playlist.u.list) {
        for (int i = 0; i < playlist.u.list->num; ++i) {
            if (auto id = nodeNumber(mapValue(playlist.u.list->values[i], "id")))
                ids.push_back(static_cast<std::int64_t>(*id));
        }
    }
    mpv_free_node_contents(&playlist);
    queue_.reorder(ids);
}

void MpvPlayer::setShuffleOn(bool on) {
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || queue_.empty())
            return;
        engine_->command({on ? "playlist-shuffle" : "playlist-unshuffle"});
        reorderFromEngineLocked();
    }
    announcePlaylist();
}

void MpvPlayer::stop(const std::any& /*argument*/) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (!initialized_ || shutDown_ || queue_.empty())
            return;
        generation = ++queueGeneration_;
        replayEntry_.reset();
        engine_->command({"stop"});
    }
    onMain([generation](MpvPlayer& self) {
        self.entryPlaying_ = false;
        self.delegates_.notify(Op::shutdown, [](PlayerEventDelegate& d) { d.shutdown(); });
        std::lock_guard lock(self.mutex_);
        self.queue_.lastAnnounced = 0;  // listeners start over at 0 after a shutdown
        if (self.queueGeneration_ != generation)
            return;  // a new queue was started meanwhile
        self.queue_.reset();
        self.loaded_ = false;
        self.loadedSource_.reset();
    });
}

// Events --------------------------------------------------------------------------------------

void MpvPlayer::drainEvents() {
    engine_->drainScheduled = false;
    if (!engine_->mpv)
        return;
    // Copy every waiting event first: listeners may run the main loop or call back in.
    std::vector<Event> events;
    for (;;) {
        mpv_event* raw = mpv_wait_event(engine_->mpv, 0);
        if (raw->event_id == MPV_EVENT_NONE)
            break;
        Event event;
        event.id = raw->event_id;
        event.error = raw->error;
        switch (raw->event_id) {
            case MPV_EVENT_START_FILE:
                event.entryId = static_cast<mpv_event_start_file*>(raw->data)->playlist_entry_id;
                break;
            case MPV_EVENT_HOOK:
                event.hookId = static_cast<mpv_event_hook*>(raw->data)->id;
                break;
            case MPV_EVENT_END_FILE: {
                auto* end = static_cast<mpv_event_end_file*>(raw->data);
                event.entryId = end->playlist_entry_id;
                event.reason = end->reason;
                event.error = end->error;
                break;
            }
            case MPV_EVENT_PROPERTY_CHANGE: {
                auto* property = static_cast<mpv_event_property*>(raw->data);
                event.property = raw->reply_userdata;
                if (property->format == MPV_FORMAT_DOUBLE && property->data) {
                    event.number = *static_cast<double*>(property->data);
                } else if (property->format == MPV_FORMAT_FLAG && property->data) {
                    event.flag = *static_cast<int*>(property->data) != 0;
                } else if (property->format == MPV_FORMAT_NODE && property->data) {
                    event.range = cacheRange(*static_cast<mpv_node*>(property->data));
                }
                break;
            }
            default:
                break;
        }
        events.push_back(std::move(event));
        if (raw->event_id == MPV_EVENT_SHUTDOWN)
            break;
    }
    for (const auto& event : events)
        handle(event);
}

void MpvPlayer::announcePause() {
    if (!paused_ || *paused_ == announcedPaused_)
        return;
    announcedPaused_ = *paused_;
    if (announcedPaused_) {
        delegates_.notify(Op::playbackDidPause,
                          [](PlayerEventDelegate& d) { d.playbackDidPause(); });
    } else {
        delegates_.notify(Op::playbackDidUnpause,
                          [](PlayerEventDelegate& d) { d.playbackDidUnpause(); });
    }
}

void MpvPlayer::announceEnd() {
    if (!entryPlaying_)
        return;
    entryPlaying_ = false;
    delegates_.notify(Op::fileDidEnd, [](PlayerEventDelegate& d) { d.fileDidEnd(); });
}

void MpvPlayer::handle(const Event& event) {
    bool replaying = false;
    {
        std::lock_guard lock(mutex_);
        replaying = replayEntry_.has_value();
        if (replaying && event.id == MPV_EVENT_START_FILE && event.entryId == *replayEntry_) {
            replayEntry_.reset();
            replaying = false;
        }
    }
    if (replaying) {
        // libmpv moved on from the entry that repeats before it starts again: the other entry's
        // start, load and time do not concern the listeners.
        const bool foreign = event.id == MPV_EVENT_START_FILE ||
                             event.id == MPV_EVENT_FILE_LOADED || event.id == MPV_EVENT_SEEK ||
                             event.id == MPV_EVENT_PLAYBACK_RESTART ||
                             (event.id == MPV_EVENT_PROPERTY_CHANGE &&
                              (event.property == kTimePos || event.property == kDuration ||
                               event.property == kCacheState));
        if (foreign)
            return;
    }
    switch (event.id) {
        case MPV_EVENT_START_FILE: {
            std::shared_ptr<MediaItem> item;
            std::int64_t index = -1;
            bool announce = false;
            {
                std::lock_guard lock(mutex_);
                index = queue_.indexOfEngineId(event.entryId);
                if (index < 0)
                    return;  // an entry of a queue that was replaced
                queue_.current = index;
                loaded_ = false;
                item = queue_.itemAt(index);
                announce = index != queue_.lastAnnounced;
                queue_.lastAnnounced = index;
            }
            // The entry that played starts again: that play is over.
            if (event.entryId == startedEntry_)
                announceEnd();
            startedEntry_ = event.entryId;
            entryPlaying_ = false;
            timeUpdateDue_ = true;
            lastTimeMs_.reset();
            durationMs_.reset();
            cacheRange_.reset();
            const std::optional<std::string> path = item ? item->Path : std::nullopt;
            const std::optional<std::string> entryId = item ? item->playlistItemId : std::nullopt;
            delegates_.notify(Op::fileWillStart,
                              [&](PlayerEventDelegate& d) { d.fileWillStart(path, entryId); });
            if (announce) {
                delegates_.notify(Op::playlistPositionChanged, [&](PlayerEventDelegate& d) {
                    d.playlistPositionChanged(static_cast<std::int32_t>(index));
                });
            }
            return;
        }
        case MPV_EVENT_FILE_LOADED: {
            {
                std::lock_guard lock(mutex_);
                const Entry* entry = queue_.currentEntry();
                if (!entry)
                    return;
                loadedSource_ = entry->source;
                loaded_ = true;
            }
            delegates_.notify(Op::fileDidLoad, [](PlayerEventDelegate& d) { d.fileDidLoad(); });
            entryPlaying_ = true;
            announcePause();
            return;
        }
        case MPV_EVENT_END_FILE: {
            bool last = false;
            bool repeatAll = false;
            bool repeatsItself = false;
            {
                std::lock_guard lock(mutex_);
                repeatAll = repeatAll_;
                const std::int64_t index = queue_.indexOfEngineId(event.entryId);
                if (index < 0)
                    return;
                const bool current = index == queue_.current;
                if (current)
                    loaded_ = false;
                last = static_cast<std::size_t>(index) + 1 == queue_.size();
                if (event.reason == MPV_END_FILE_REASON_ERROR)
                    loadedSource_ = queue_.at(index)->source;
                if (event.reason == MPV_END_FILE_REASON_EOF && current && repeatOne_) {
                    // libmpv goes on to the next entry (or stops): play this one again.
                    repeatsItself =
                        engine_->command({"playlist-play-index", std::to_string(index)}) >= 0;
                    if (repeatsItself)
                        replayEntry_ = event.entryId;
                }
            }
            if (event.reason == MPV_END_FILE_REASON_EOF && durationMs_ &&
                lastTimeMs_ != durationMs_) {
                // Time updates are spaced out; the end of the file is its last position.
                const double end = *durationMs_;
                lastTimeMs_ = end;
                delegates_.notify(Op::onTimeUpdate,
                                  [&](PlayerEventDelegate& d) { d.onTimeUpdate(end); });
            }
            if (event.reason == MPV_END_FILE_REASON_ERROR) {
                entryPlaying_ = false;
                delegates_.notify(Op::fileDidEndWithErrorCode, [&](PlayerEventDelegate& d) {
                    d.fileDidEndWithErrorCode(event.error);
                });
            } else if (event.reason == MPV_END_FILE_REASON_EOF && last && !repeatAll &&
                       !repeatsItself) {
                announceEnd();
            }
            return;
        }
        case MPV_EVENT_SHUTDOWN: {
            {
                std::lock_guard lock(mutex_);
                if (shutDown_)
                    return;
                shutDown_ = true;
                loaded_ = false;
            }
            entryPlaying_ = false;
            delegates_.notify(Op::shutdown, [](PlayerEventDelegate& d) { d.shutdown(); });
            return;
        }
        case MPV_EVENT_HOOK: {
            {
                std::lock_guard lock(mutex_);
                if (pendingStart_ && pendingStart_->first == startedEntry_) {
                    engine_->set("file-local-options/start", number(pendingStart_->second));
                    pendingStart_.reset();
                }
            }
            mpv_hook_continue(engine_->mpv, event.hookId);
            return;
        }
        case MPV_EVENT_SEEK:
            timeUpdateDue_ = true;
            delegates_.notify(Op::seeking, [](PlayerEventDelegate& d) { d.seeking(); });
            return;
        case MPV_EVENT_PLAYBACK_RESTART:
            timeUpdateDue_ = true;
            delegates_.notify(Op::playbackRestarted,
                              [](PlayerEventDelegate& d) { d.playbackRestarted(); });
            return;
        case MPV_EVENT_PROPERTY_CHANGE:
            break;
        default:
            return;
    }

    switch (event.property) {
        case kTimePos: {
            if (!event.number || !std::isfinite(*event.number))
                return;
            const double ms = std::max(0.0, milliseconds(*event.number));
            const double interval = static_cast<double>(options_.timeUpdateInterval.count());
            if (!timeUpdateDue_ && lastTimeMs_ && std::abs(ms - *lastTimeMs_) < interval)
                return;
            timeUpdateDue_ = false;
            lastTimeMs_ = ms;
            delegates_.notify(Op::onTimeUpdate,
                              [&](PlayerEventDelegate& d) { d.onTimeUpdate(ms); });
            return;
        }
        case kDuration:
            if (event.number && std::isfinite(*event.number)) {
                const double ms = milliseconds(*event.number);
                durationMs_ = ms;
                delegates_.notify(Op::onDurationChanged,
                                  [&](PlayerEventDelegate& d) { d.onDurationChanged(ms); });
            }
            return;
        case kPause: {
            if (!event.flag)
                return;
            paused_ = event.flag;
            bool loaded = false;
            {
                std::lock_guard lock(mutex_);
                loaded = loaded_;
            }
            // While nothing is loaded the change waits for the next file to load.
            if (loaded)
                announcePause();
            return;
        }
        case kCacheState: {
            if (!event.range || event.range == cacheRange_)
                return;
            cacheRange_ = event.range;
            const double start = milliseconds(event.range->first);
            const double end = milliseconds(event.range->second);
            delegates_.notify(Op::onCacheUpdate,
                              [&](PlayerEventDelegate& d) { d.onCacheUpdate(start, end); });
            return;
        }
        case kSpeed: {
            if (!event.number)
                return;
            const bool first = !speed_;
            const bool changed = speed_ != event.number;
            speed_ = event.number;
            if (!first && changed) {
                const double rate = *event.number;
                delegates_.notify(Op::onPlaybackRateChanged,
                                  [&](PlayerEventDelegate& d) { d.onPlaybackRateChanged(rate); });
            }
            return;
        }
        case kVolume: {
            if (!event.number || !std::isfinite(*event.number))
                return;
            const bool first = !volume_;
            const bool changed = volume_ != event.number;
            volume_ = event.number;
            if (!first && changed) {
                const auto volume = static_cast<std::int64_t>(std::llround(*event.number));
                delegates_.notify(Op::onVolumeChanged,
                                  [&](PlayerEventDelegate& d) { d.onVolumeChanged(volume, 100); });
            }
            return;
        }
        case kSubDelay: {
            if (!event.number || !std::isfinite(*event.number))
                return;
            const bool first = !subDelay_;
            const bool changed = subDelay_ != event.number;
            subDelay_ = event.number;
            if (!first && changed) {
                const double ms = milliseconds(*event.number);
                delegates_.notify(Op::onSubtitleDelayChanged,
                                  [&](PlayerEventDelegate& d) { d.onSubtitleDelayChanged(ms); });
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace vk
