#include "VornKit/Platform/Runtime/VirtualMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

namespace vk {

namespace {

/// The first huge page boundary at or after `address`.
std::uintptr_t hugeBoundaryFrom(std::uintptr_t address, std::size_t huge) {
    return (address + huge - 1) & ~(std::uintptr_t{huge} - 1);
}

std::size_t readHugePageSize() {
    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    if (!std::getline(enabled, modes) || modes.find("[never]") != std::string::npos)
        return 0;
    std::ifstream sizeFile("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    unsigned long long size = 0;
    if (!(sizeFile >> size) || size == 0 || (size & (size - 1)) != 0)
        return 0;
    return static_cast<std::size_t>(size);
}

}  // namespace

std::size_t VirtualMemory::hugePageSize() {
    static const std::size_t size = readHugePageSize();
    return size;
}

bool VirtualMemory::adviseHugePages(void* address, std::size_t length) {
#if defined(MADV_HUGEPAGE)
    std::size_t huge = hugePageSize();
    if (huge == 0 || address == nullptr)
        return false;
    auto begin = reinterpret_cast<std::uintptr_t>(address);
    if (length > UINTPTR_MAX - begin)
        return false;
    std::uintptr_t end = begin + length;
    std::uintptr_t first = hugeBoundaryFrom(begin, huge);
    std::uintptr_t last = end & ~(std::uintptr_t{huge} - 1);
    if (first < begin || last <= first)
        return false;
    return madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE) == 0;
#else
    (void)address;
    (void)length;
    return false;
#endif
}

bool VirtualMemory::mapHead(void* address, std::size_t length) {
#if defined(MADV_POPULATE_WRITE)
    const std::size_t huge = hugePageSize();
    const long page = ::sysconf(_SC_PAGESIZE);
    if (huge == 0 || page <= 0 || address == nullptr || length == 0)
        return false;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start > UINTPTR_MAX - huge || length > UINTPTR_MAX - huge - start)
        return false;
    const std::uintptr_t begin = start & ~(static_cast<std::uintptr_t>(page) - 1);
    const std::uintptr_t end = std::min(hugeBoundaryFrom(start, huge), start + length);
    if (end <= start)
        return false;
    return madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0;
#else
    (void)address;
    (void)length;
    return false;
#endif
}

}  // namespace vk
