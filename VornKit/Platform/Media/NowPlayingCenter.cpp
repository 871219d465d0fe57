#include "VornKit/Platform/Media/NowPlayingCenter.h"

#include <algorithm>

namespace vk {

namespace {
struct PlainNowPlayingCenter : NowPlayingCenter {};
}  // namespace

std::shared_ptr<NowPlayingCenter> NowPlayingCenter::make() {
    return std::make_shared<PlainNowPlayingCenter>();
}

std::optional<NowPlayingInfo> NowPlayingCenter::nowPlayingInfo() const {
    std::lock_guard lock(mutex_);
    return info_;
}

void NowPlayingCenter::setNowPlayingInfo(std::optional<NowPlayingInfo> info) {
    {
        std::lock_guard lock(mutex_);
        info_ = std::move(info);
        infoSetAt_ = now();
        ++updates_;
    }
    changed(true, false);
}

NowPlayingPlaybackState NowPlayingCenter::playbackState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void NowPlayingCenter::setPlaybackState(NowPlayingPlaybackState state) {
    bool differs;
    {
        std::lock_guard lock(mutex_);
        differs = state_ != state;
        state_ = state;
    }
    if (differs)
        changed(false, true);
}

std::optional<double> NowPlayingCenter::currentElapsedTime() const {
    std::lock_guard lock(mutex_);
    if (!info_)
        return std::nullopt;
    double elapsed = info_->elapsedPlaybackTime.value_or(0.0);
    const double rate = info_->playbackRate.value_or(0.0);
    if (state_ == NowPlayingPlaybackState::Playing && rate > 0.0) {
        elapsed += std::chrono::duration<double>(now() - infoSetAt_).count() * rate;
        if (info_->playbackDuration && *info_->playbackDuration > 0.0)
            elapsed = std::min(elapsed, *info_->playbackDuration);
    }
    return std::max(elapsed, 0.0);
}

std::uint64_t NowPlayingCenter::updateCount() const {
    std::lock_guard lock(mutex_);
    return updates_;
}

void NowPlayingCenter::changed(bool, bool) {}

std::chrono::steady_clock::time_point NowPlayingCenter::now() const {
    return std::chrono::steady_clock::now();
}

}  // namespace vk
