// BandwidthSource: where the API client learns the usable bandwidth of the current network
// (bits per second) for its bit-rate estimate. The connection manager installs itself as the
// source; until one is installed (or after it is gone) the bandwidth is 1,500,000.
//
// Thread rule: thread-safe. The source is held weakly: installing does not keep it alive.
#pragma once

#include <cstdint>
#include <memory>

#include "VornKit/Export.h"

namespace vk {

/// Where the API client learns the usable bandwidth of the current network for its bit-rate
/// estimate. Thread-safe; the installed source is held weakly.
class VK_EXPORT BandwidthSource {
  public:
    /// The bandwidth (bits per second) assumed while no source is installed.
    static constexpr double kDefaultBandwidth = 1'500'000.0;

    virtual ~BandwidthSource() = default;
    /// The usable bandwidth in bits per second; may be infinite.
    virtual double maxBandwidth() const = 0;

    /// Makes `source` the process-wide source (null removes it).
    static void install(std::weak_ptr<BandwidthSource> source);
    /// The installed source's bandwidth, or kDefaultBandwidth without one.
    static double currentMaxBandwidth();
    /// `bandwidth` truncated toward zero to 64 bits; kDefaultBandwidth for a value that is not
    /// finite or does not fit.
    static std::int64_t toBitRate(double bandwidth);
};

}  // namespace vk
