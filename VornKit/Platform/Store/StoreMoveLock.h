// StoreMoveLock: an exclusive lock beside a store file ("<store>.lock"), held while a process
// checks for the store and, when it is missing, creates or moves it into place; another process
// doing the same waits until the first has finished and then finds the store. flock() locks are
// released by the kernel when their process dies, so a crash never leaves the lock taken. The
// lock file itself is left in place (removing it would let two processes lock different files).
//
// Thread rule: one owner; the lock is released when the object is destroyed.
#pragma once

#include <filesystem>
#include <string>

#include "VornKit/Export.h"

namespace vk {

/// An exclusive lock beside a store file, held by this object while it lives (see the top of this
/// file). One owner.
class VK_EXPORT StoreMoveLock {
  public:
    /// Blocks until the lock is held. When the lock file cannot be opened the lock is not held
    /// and `error()` says why.
    explicit StoreMoveLock(const std::filesystem::path& storeFile);
    ~StoreMoveLock();
    StoreMoveLock(const StoreMoveLock&) = delete;
    StoreMoveLock& operator=(const StoreMoveLock&) = delete;

    /// Whether the lock is held; false only when the lock file could not be opened.
    bool held() const { return fd_ >= 0; }
    /// Why the lock is not held; empty when it is.
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace vk
