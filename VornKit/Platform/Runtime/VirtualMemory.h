// VirtualMemory: hints to the kernel about how the process uses parts of its address space.
//
// Large buffers that are filled once and dropped soon after (a parser's token list for a
// document of tens of megabytes) otherwise take one page fault per 4 KiB page; backed by
// transparent huge pages they take one per huge page.
//
// Thread rule: thread-safe (system calls on memory the caller owns).
#pragma once

#include <cstddef>

#include "VornKit/Export.h"

namespace vk {

/// Hints to the kernel about how the process uses parts of its address space. Thread-safe.
struct VK_EXPORT VirtualMemory {
    /// The transparent huge page size, or 0 when the system offers none (the kernel lacks them
    /// or they are switched off).
    static std::size_t hugePageSize();

    /// Asks for the whole huge pages inside [address, address + length) to be backed by huge
    /// pages when first touched. A hint: the memory behaves the same whether or not it is taken.
    /// Returns whether the kernel accepted it for at least one huge page; false when the range
    /// holds no whole huge page or the system offers none. The caller keeps owning the memory.
    static bool adviseHugePages(void* address, std::size_t length);

    /// Maps the pages of [address, address + length) that lie before the first huge page
    /// boundary, all in one call. A fresh buffer written from its start takes a page fault per
    /// 4 KiB page there, while the huge pages after the boundary fault in whole. A hint: false
    /// when the kernel cannot do it (the pages then fault in as they are written), when the
    /// system offers no huge pages, or when the range starts on a boundary. The contents are
    /// left as they are; the caller keeps owning the memory.
    static bool mapHead(void* address, std::size_t length);
};

}  // namespace vk
