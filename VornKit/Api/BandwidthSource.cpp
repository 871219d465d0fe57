#include "VornKit/Api/BandwidthSource.h"

#include "VornKit/Platform/Runtime/Immortal.h"

#include <cmath>
#include <mutex>

namespace vk {

namespace {

struct Installed {
    std::mutex mutex;
    std::weak_ptr<BandwidthSource> source;
};

Installed& installed() {
    static Immortal<Installed> instance;
    return *instance;
}

}  // namespace

void BandwidthSource::install(std::weak_ptr<BandwidthSource> source) {
    std::lock_guard lock(installed().mutex);
    installed().source = std::move(source);
}

double BandwidthSource::currentMaxBandwidth() {
    std::shared_ptr<BandwidthSource> source;
    {
        std::lock_guard lock(installed().mutex);
        source = installed().source.lock();
    }
    return source ? source->maxBandwidth() : kDefaultBandwidth;
}

std::int64_t BandwidthSource::toBitRate(double bandwidth) {
    // [-2^63, 2^63) is exactly the range whose truncation fits in 64 bits.
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(bandwidth) || bandwidth < -kLimit || bandwidth >= kLimit) {
        return static_cast<std::int64_t>(kDefaultBandwidth);
    }
    return static_cast<std::int64_t>(bandwidth);
}

}  // namespace vk
