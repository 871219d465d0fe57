#include "VornKit/Platform/Defaults/UserDefaultsCache.h"

#include <ctime>

namespace vk {

namespace {

// Coarser than any timestamp granularity of the file systems a store lives on (the kernel's
// tick for most; whole or even two seconds for some).
constexpr std::int64_t kTimestampGranularityNs = 2'100'000'000;

std::int64_t wallClockNs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

bool UserDefaultsCache::isCurrent(const DefaultsFileStamp& now) const {
    return filled_ && trusted_ && now == stamp_;
}

DefaultsChanges UserDefaultsCache::take(DefaultsFileSnapshot snapshot) {
    const auto& stamp = snapshot.stamp;
    trusted_ = !stamp.exists || wallClockNs() - std::max(stamp.modifiedNs, stamp.changedNs) >
                                    kTimestampGranularityNs;
    stamp_ = stamp;
    DefaultsChanges changes;
    if (filled_ && snapshot.text == text_)
        return changes;
    DefaultsFileContents contents =
        snapshot.contents ? std::move(*snapshot.contents) : DefaultsFileContents{};
    if (filled_) {
        const auto& before = contents_.values;
        const auto& after = contents.values;
        for (const auto& [key, value] : before) {
            auto it = after.find(key);
            if (it == after.end()) {
                changes.emplace_back(key, std::nullopt);
            } else if (!(it->second == value)) {
                changes.emplace_back(key, it->second);
            }
        }
        for (const auto& [key, value] : after) {
            if (before.find(key) == before.end())
                changes.emplace_back(key, value);
        }
    }
    filled_ = true;
    text_ = std::move(snapshot.text);
    contents_ = std::move(contents);
    return changes;
}

}  // namespace vk
