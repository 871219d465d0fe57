#include "VornKit/Platform/Runtime/ProcessInfo.h"

#include <unistd.h>

namespace vk {

std::uint64_t ProcessInfo::physicalMemory() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

}  // namespace vk
