// Tells a user-defaults store that its file may have been changed by someone else (another
// process of the application, a hand edit): an inotify watch on the file's folder for the file's
// name, served by one thread of its own while the watcher lives.
//
// Thread rule: construct and destroy from any thread but the watcher's own; `changed` runs on the
// watcher's thread, one call at a time, and may be called for changes the store made itself.
#pragma once

#include <filesystem>
#include <functional>
#include <thread>

#include "VornKit/Export.h"

namespace vk {

/// Tells a user-defaults store that its file may have changed, from an inotify thread of its own
/// (see the top of this file).
class VK_EXPORT UserDefaultsWatcher {
  public:
    /// Starts watching; `valid()` is false when the system refused (the store then notices
    /// other writers only when it reads or writes).
    UserDefaultsWatcher(const std::filesystem::path& file, std::function<void()> changed);
    /// Stops the thread and waits for a `changed` call in progress.
    ~UserDefaultsWatcher();
    UserDefaultsWatcher(const UserDefaultsWatcher&) = delete;
    UserDefaultsWatcher& operator=(const UserDefaultsWatcher&) = delete;

    /// Whether the watch is running.
    bool valid() const { return thread_.joinable(); }

  private:
    void run();

    std::string name_;
    std::function<void()> changed_;
    int inotify_ = -1;
    int wake_ = -1;  // eventfd that ends the thread
    std::thread thread_;
};

}  // namespace vk
