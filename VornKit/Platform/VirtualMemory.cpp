#include "VornKit/Platform/VirtualMemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace vk {

namespace {

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
    std::uintptr_t first = (begin + huge - 1) & ~(std::uintptr_t{huge} - 1);
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

}  // namespace vk
