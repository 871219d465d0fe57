// MpvPlayer's libmpv helpers (MpvEngine.h): the log, units, node reading, the wait for libmpv's
// play loop.
#include "VornKit/Mpv/MpvEngine.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace vk::mpv_detail {

const Logger& logger() {
    static const Logger log("MpvPlayer");
    return log;
}

double milliseconds(double seconds) {
    return std::round(seconds * 1000.0);
}

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6f", value);
    return buffer;
}

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

}  // namespace vk::mpv_detail
