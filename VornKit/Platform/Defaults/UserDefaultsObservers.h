// The change observers of one user-defaults store: registration, delivery and removal.
//
// Delivery runs an observer's block on its queue, or inline on the thread that found the change
// when it gave none. Removal is final: once removeObserver() returns, the block is not running on
// another thread and will not start again, so a block that captures an object may be removed in
// that object's destructor. Removal from inside the observer's own block (on the thread running
// it) returns at once.
//
// Thread rule: thread-safe. Blocks run without any lock of the store held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Defaults/UserDefaultsCache.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

/// Called with a key's new value (absent when the key was removed).
using DefaultsObserver = std::function<void(const std::optional<DefaultsValue>&)>;

/// The change observers of one user-defaults store (see the top of this file). Thread-safe.
class VK_EXPORT UserDefaultsObservers {
  public:
    UserDefaultsObservers() = default;
    UserDefaultsObservers(const UserDefaultsObservers&) = delete;
    UserDefaultsObservers& operator=(const UserDefaultsObservers&) = delete;

    /// Registers `block` for changes of `key`, run on `queue` (null: inline on the thread that
    /// found the change). Returns the token for remove(), never 0.
    std::uint64_t add(std::string key, std::shared_ptr<DispatchQueue> queue,
                      DefaultsObserver block);
    /// Unregisters; waits while the block runs on another thread (see above).
    void remove(std::uint64_t token);
    /// Whether no observer is registered.
    bool empty() const;
    /// Each observer hears about its key once per call, with the key's new value.
    void notify(const DefaultsChanges& changes);

  private:
    struct Observer;
    static void deliver(const std::shared_ptr<Observer>& observer,
                        const std::optional<DefaultsValue>& value);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Observer>> observers_;
    std::uint64_t nextToken_ = 1;
};

}  // namespace vk
