// MediaType: what a player is playing, an integer shared with the host. 0 is audio and 1 is video;
// the framework interprets no other value, but a host may use others (they compare unequal to
// both).
//
// Thread rule: a plain value.
#pragma once

#include <cstdint>

namespace vk {

enum class MediaType : std::int32_t {
    Audio = 0,
    Video = 1,
};

}  // namespace vk
