// PlayerDelegateList: the listeners of a player, kept weakly, each once, in the order they were
// added; for player implementations. notify() calls every live listener that implements the
// operation, outside the list's lock (a listener may add or remove listeners while it runs).
//
// Thread rule: thread-safe.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Playback/PlayerEventDelegate.h"

namespace vk {

/// The listeners of a player, kept weakly, each once, in the order added; for player
/// implementations. Thread-safe.
class VK_EXPORT PlayerDelegateList {
  public:
    /// Adds `delegate` at the end unless it is already listed (null is ignored); the list keeps it
    /// weakly, so the caller keeps it alive.
    void add(const std::shared_ptr<PlayerEventDelegate>& delegate) {
        if (!delegate)
            return;
        std::lock_guard lock(mutex_);
        prune();
        for (const auto& weak : delegates_) {
            if (weak.lock() == delegate)
                return;
        }
        delegates_.push_back(delegate);
    }

    /// Removes `delegate` (and listeners that have gone away); a call already running is not
    /// stopped.
    void remove(const std::shared_ptr<PlayerEventDelegate>& delegate) {
        std::lock_guard lock(mutex_);
        std::erase_if(delegates_, [&](const std::weak_ptr<PlayerEventDelegate>& weak) {
            auto live = weak.lock();
            return !live || live == delegate;
        });
    }

    /// Live listeners, in order.
    std::vector<std::shared_ptr<PlayerEventDelegate>> snapshot() const {
        std::vector<std::shared_ptr<PlayerEventDelegate>> live;
        std::lock_guard lock(mutex_);
        for (const auto& weak : delegates_) {
            if (auto delegate = weak.lock())
                live.push_back(std::move(delegate));
        }
        return live;
    }

    /// Calls `call(delegate)` for every live listener implementing `operation`.
    template <class F>
    void notify(PlayerEventOperation operation, F&& call) const {
        for (const auto& delegate : snapshot()) {
            if (delegate->implements(operation))
                call(*delegate);
        }
    }

  private:
    void prune() {
        std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
    }

    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<PlayerEventDelegate>> delegates_;
};

}  // namespace vk
