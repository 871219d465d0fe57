#include "VornKit/Platform/Runtime/VirtualMemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

using vk::VirtualMemory;

namespace {

/// The "VmFlags:" line of the mapping in /proc/self/smaps that holds `address`.
std::string vmFlagsAt(const void* address) {
    auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t begin = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        std::istringstream header(line);
        if (line.find("VmFlags:") == 0) {
            if (inside)
                return line;
        } else if (header >> std::hex >> begin >> dash >> end && dash == '-') {
            inside = at >= begin && at < end;
        }
    }
    return {};
}

struct Mapping {
    explicit Mapping(std::size_t size) : size(size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        memory = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    }
    ~Mapping() {
        if (memory)
            munmap(memory, size);
    }
    char* memory = nullptr;
    std::size_t size;
};

/// How many of the `pages` pages from `address` (page-aligned) are resident.
std::size_t residentPages(const char* address, std::size_t pages) {
    std::vector<unsigned char> state(pages);
    if (mincore(const_cast<char*>(address), pages * 4096, state.data()) != 0)
        return SIZE_MAX;
    std::size_t resident = 0;
    for (unsigned char s : state)
        resident += s & 1;
    return resident;
}

}  // namespace

TEST(VirtualMemoryTest, RangesWithoutAWholeHugePageAreRefused) {
    EXPECT_FALSE(VirtualMemory::adviseHugePages(nullptr, 64u << 20));
    Mapping small(1 << 20);
    ASSERT_NE(small.memory, nullptr);
    EXPECT_FALSE(VirtualMemory::adviseHugePages(small.memory, small.size));
    // A length that would wrap around the address space.
    EXPECT_FALSE(VirtualMemory::adviseHugePages(small.memory, SIZE_MAX - 16));
}

TEST(VirtualMemoryTest, TheHeadBeforeTheFirstHugePageIsMappedAndKeepsItsContents) {
    EXPECT_FALSE(VirtualMemory::mapHead(nullptr, 1 << 20));
    std::size_t huge = VirtualMemory::hugePageSize();
    if (huge == 0)
        GTEST_SKIP() << "transparent huge pages are switched off on this machine";
    Mapping mapping(4 * huge);
    ASSERT_NE(mapping.memory, nullptr);
    auto aligned =
        reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(mapping.memory) + huge - 1) &
                                ~(std::uintptr_t{huge} - 1));
    EXPECT_FALSE(VirtualMemory::mapHead(aligned, huge)) << "nothing lies before the boundary";
    // A buffer that starts 100 bytes into the last 8 pages before a boundary.
    char* pageStart = aligned + huge - 8 * 4096;
    pageStart[0] = 7;  // a page already there keeps what it holds
    char* start = pageStart + 100;
    ASSERT_EQ(residentPages(pageStart, 8), 1u);
    ASSERT_TRUE(VirtualMemory::mapHead(start, 2 * huge));
    EXPECT_EQ(residentPages(pageStart, 8), 8u);
    EXPECT_EQ(residentPages(aligned + huge, 16), 0u) << "nothing after the boundary";
    EXPECT_EQ(pageStart[0], 7);
    // A shorter length stops where it ends.
    char* other = aligned + 2 * huge - 8 * 4096;
    ASSERT_TRUE(VirtualMemory::mapHead(other, 3 * 4096));
    EXPECT_EQ(residentPages(other, 8), 3u);
}

TEST(VirtualMemoryTest, AdvisedRangeIsMarkedForHugePagesAndStaysUsable) {
    std::size_t huge = VirtualMemory::hugePageSize();
    if (huge == 0)
        GTEST_SKIP() << "transparent huge pages are switched off on this machine";
    // Four huge pages and a bit, starting off a huge-page boundary: only whole ones are advised.
    Mapping mapping(5 * huge);
    ASSERT_NE(mapping.memory, nullptr);
    char* start = mapping.memory + 4096;
    ASSERT_TRUE(VirtualMemory::adviseHugePages(start, 4 * huge));
    auto firstWhole = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + huge - 1) &
                                              ~(std::uintptr_t{huge} - 1));
    EXPECT_NE(vmFlagsAt(firstWhole).find(" hg"), std::string::npos) << vmFlagsAt(firstWhole);
    // The partial page at the start is left as it was.
    EXPECT_EQ(vmFlagsAt(start).find(" hg"), std::string::npos) << vmFlagsAt(start);
    std::memset(start, 0x5a, 4 * huge);
    EXPECT_EQ(start[0], 0x5a);
    EXPECT_EQ(start[4 * huge - 1], 0x5a);
}
