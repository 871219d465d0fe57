// ProcessInfo: facts about the machine the process runs on.
//
// Thread rule: thread-safe (pure reads of the system).
#pragma once

#include <cstdint>

#include "VornKit/Export.h"

namespace vk {

/// Facts about the machine the process runs on. Thread-safe.
struct VK_EXPORT ProcessInfo {
    /// Physical memory of the machine in bytes (all of it, not what is free); 0 when the system
    /// does not say.
    static std::uint64_t physicalMemory();
};

}  // namespace vk
