// DispatchQueue::Impl, a queue's blocks and its run token, and the helpers the parts of the
// dispatch runtime share: Dispatch.cpp (the queues and DeferredDispatch), RunLoop.cpp (the main run
// loop), RepeatingTimer.cpp, WorkerPool.cpp (the worker pool) and TimerService.cpp (delayed
// blocks). Not for hosts: nothing here is part of the API.
//
// Thread rule: an Impl's fields are guarded by its mutex; the helpers are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "VornKit/Platform/Runtime/Dispatch.h"

/// @cond INTERNAL
namespace vk {

namespace detail {

/// Runs `block`, catching whatever it throws: an exception stops the block, never the queue or
/// the process. Logged to the console log, which needs no bundle identifier.
void runGuarded(const std::string& label, const Block& block);

/// Marks the calling thread as servicing the main run loop while it lives: outside any block the
/// main queue is then current on it.
class ServicingScope {
  public:
    ServicingScope();
    ~ServicingScope();
    ServicingScope(const ServicingScope&) = delete;
    ServicingScope& operator=(const ServicingScope&) = delete;

  private:
    bool previous_;
};

// The host's main-queue wake handler (RunLoop::setWakeHandler). Never destroyed: threads the
// framework does not own may post to the main queue while the process exits.
struct WakeHandler {
    std::mutex mutex;
    std::shared_ptr<const std::function<void()>> handler;

    static WakeHandler& shared() {
        static auto* wake = new WakeHandler;
        return *wake;
    }
    void call() {
        std::shared_ptr<const std::function<void()>> current;
        {
            std::lock_guard lock(mutex);
            current = handler;
        }
        if (current)
            (*current)();
    }
};

}  // namespace detail

// A queue's blocks and its run token. On a serial queue exactly one thread at a time holds the
// token and runs blocks (a pool job, a sync() caller, or the main run loop); whoever lets go of it
// with blocks left makes sure somebody takes it up again.
struct DispatchQueue::Impl {
    using Clock = std::chrono::steady_clock;

    enum class Kind { main, serial, global };

    // A sync() caller's place in the line: when the token reaches it, the caller runs its block
    // on its own thread.
    struct SyncTurn {
        bool reached = false;
    };
    struct Item {
        Block block;
        SyncTurn* turn = nullptr;  // set for a sync() caller's place
    };

    explicit Impl(Kind k) : kind(k) {}

    const Kind kind;
    std::mutex mutex;
    std::condition_variable changed;  // items added, token let go or handed over, stop asked
    std::deque<Item> items;
    bool active = false;         // somebody holds the run token
    bool scheduled = false;      // a pool job that will try to take the token is posted
    bool stopRequested = false;  // main: RunLoop::stop()

    // A pool job of a serial queue: takes the token unless somebody holds it (who then posts a
    // new job when letting go with blocks left), and runs a bounded number of blocks.
    static void drainFromPool(const std::shared_ptr<DispatchQueue>& queue);

    // Main: waits until `deadline` for a block and runs it on this thread; false when none came
    // (or, with `untilStopped`, when RunLoop::stop() was asked).
    static bool runMainOne(Clock::time_point deadline, bool untilStopped);

    // Serial: lets go of the token; with blocks left, a pool job takes it up, and sync() callers
    // waiting for the token may take it themselves (when every pool thread is busy).
    void release(std::unique_lock<std::mutex>& lock, const std::shared_ptr<DispatchQueue>& queue);

    // Serial, token held: runs blocks in order. Returns true when `mine` is reached (the caller
    // keeps the token to run its own block); false once the token has been let go or handed to
    // another sync() caller. `budget` bounds how many blocks one pool job runs before it lets
    // the other queues have the pool.
    bool runItems(std::unique_lock<std::mutex>& lock, const std::shared_ptr<DispatchQueue>& queue,
                  SyncTurn* mine, int budget);
};

}  // namespace vk
/// @endcond
