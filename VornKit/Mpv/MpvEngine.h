// The libmpv side of MpvPlayer, shared by the player's source files and not installed: the handle
// with the wake-up that brings libmpv's events to the main queue, the properties the player
// observes, reading libmpv's nodes, and libmpv's units.
//
// Thread rule: libmpv's handle functions may be called from any thread; Engine::wakeUp runs on
// libmpv's threads. Ownership: MpvPlayer owns its Engine (shared with the blocks it queues).
#pragma once

#include <mpv/client.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VornKit/Mpv/MpvPlayer.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

/// MpvPlayer's helpers for libmpv, shared by its source files.
namespace mpv_detail {

/// Observed properties, by reply id.
enum : std::uint64_t {
    kTimePos = 1,
    kDuration,
    kPause,
    kCacheState,
    kSpeed,
    kVolume,
    kSubDelay,
};

/// The hook that runs while a file loads, before it is opened.
constexpr std::uint64_t kLoadHook = 100;

/// MpvPlayer's log.
const Logger& logger();

/// libmpv's seconds as whole milliseconds.
double milliseconds(double seconds);

/// A number as libmpv's options and commands take it.
std::string number(double value);

/// The value under `key` of a node map; null when `node` is no map or has no such key.
const mpv_node* mapValue(const mpv_node& node, std::string_view key);

/// A double or integer node as a double.
std::optional<double> nodeNumber(const mpv_node* node);

/// The first seekable range of a "demuxer-cache-state" node, in seconds.
std::optional<std::pair<double, double>> cacheRange(const mpv_node& state);

/// Waits (two seconds at most) until libmpv's play loop, started on a thread of its own by
/// mpv_initialize(), has taken up its (empty) playlist and gone idle: a playlist filled before that
/// plays from its first entry, whatever position was set. Takes the events that come meanwhile.
void waitUntilIdle(mpv_handle* mpv);

}  // namespace mpv_detail

/// The libmpv handle and the wake-up that brings its events to the main queue. libmpv calls
/// wakeUp() from its own threads; it only schedules one drain at a time.
struct MpvPlayer::Engine {
    /// The handle; null until the player starts it.
    mpv_handle* mpv = nullptr;
    /// Whether a drain of the events is queued on the main queue.
    std::atomic<bool> drainScheduled{false};
    /// The player whose events these are.
    std::weak_ptr<MpvPlayer> player;

    /// Stops libmpv and frees the handle.
    ~Engine() {
        if (!mpv)
            return;
        mpv_set_wakeup_callback(mpv, nullptr, nullptr);
        mpv_terminate_destroy(mpv);
    }

    /// libmpv's wake-up callback (`context` is the Engine): queues one drain of the events.
    static void wakeUp(void* context) {
        auto* engine = static_cast<Engine*>(context);
        if (engine->drainScheduled.exchange(true))
            return;
        DispatchQueue::main()->async([weak = engine->player] {
            if (auto player = weak.lock())
                player->drainEvents();
        });
    }

    /// Runs a libmpv command given by its words; libmpv's status (negative: refused).
    int command(std::initializer_list<std::string> words) const {
        return command(std::vector<std::string>(words));
    }
    /// Runs a libmpv command given by its words; libmpv's status (negative: refused).
    int command(const std::vector<std::string>& words) const {
        std::vector<const char*> args;
        for (const auto& word : words)
            args.push_back(word.c_str());
        args.push_back(nullptr);
        return mpv_command(mpv, args.data());
    }
    /// Sets a property from its text; libmpv's status (negative: refused).
    int set(const char* name, const std::string& value) const {
        return mpv_set_property_string(mpv, name, value.c_str());
    }
    /// A property as a double; absent when libmpv has none.
    std::optional<double> getDouble(const char* name) const {
        double value = 0;
        if (mpv_get_property(mpv, name, MPV_FORMAT_DOUBLE, &value) < 0)
            return std::nullopt;
        return value;
    }
    /// A property as an integer; absent when libmpv has none.
    std::optional<std::int64_t> getInt(const std::string& name) const {
        std::int64_t value = 0;
        if (mpv_get_property(mpv, name.c_str(), MPV_FORMAT_INT64, &value) < 0)
            return std::nullopt;
        return value;
    }
    /// A property as a flag; absent when libmpv has none.
    std::optional<bool> getFlag(const char* name) const {
        int value = 0;
        if (mpv_get_property(mpv, name, MPV_FORMAT_FLAG, &value) < 0)
            return std::nullopt;
        return value != 0;
    }
};

template <class F>
void MpvPlayer::onMain(F step) {
    std::weak_ptr<MpvPlayer> weak = weak_from_this();
    DispatchQueue::main()->async([weak, step = std::move(step)]() mutable {
        if (auto self = weak.lock())
            step(*self);
    });
}

}  // namespace vk
