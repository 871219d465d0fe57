// TimerService: the delayed blocks of every dispatch queue (DispatchQueue::asyncAfter), in one
// list ordered by due time and then by posting order. One thread (started on first use, never
// stopped) hands each block to its queue when it is due, in that order, so that a serial queue
// receives them in due order. Never destroyed, like the worker pool (WorkerPool.h). Not for hosts:
// nothing here is part of the API.
//
// Thread rule: thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "VornKit/Platform/Runtime/Dispatch.h"

/// @cond INTERNAL
namespace vk::detail {

/// The delayed blocks of every queue (see the file comment).
class TimerService {
  public:
    using Clock = std::chrono::steady_clock;

    /// The service; its thread starts on first use.
    static TimerService& shared();

    /// Hands `block` to `queue` once `due` has come.
    void schedule(Clock::time_point due, std::shared_ptr<DispatchQueue> queue, Block block);

    /// Hands every block due by `now` to its queue (used by the main run loop so that a drain sees
    /// what was due when it started, without waiting for the timer thread).
    void releaseDue(Clock::time_point now);

  private:
    struct Entry {
        Clock::time_point due;
        std::uint64_t sequence;
        std::shared_ptr<DispatchQueue> queue;
        Block block;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
        }
    };

    TimerService();

    // Under the lock, so that two releasers never hand blocks over out of order.
    void releaseDueLocked(std::unique_lock<std::mutex>&, Clock::time_point now);

    [[noreturn]] void work();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace vk::detail
/// @endcond
