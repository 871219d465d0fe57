// Dispatch queues and the main run loop: the framework's only way to move work between threads.
//
// Queues
//   - DispatchQueue::main(): serial; its blocks run on whichever thread services the main run loop
//     (RunLoop::main().run() in a program, RunLoop::main().runUntil() in a test, drain() from a
//     host's own event loop woken by RunLoop::setWakeHandler()). Nothing runs on it while nobody
//     services it.
//   - DispatchQueue::makeSerial(label): serial; blocks run one at a time, in the order they were
//     posted, on threads of the shared worker pool.
//   - DispatchQueue::global(): concurrent; blocks may run at the same time on the worker pool.
//
// Guarantees
//   - async() never runs the block inline: it returns before the block starts.
//   - On a serial queue (main included) blocks run in FIFO order and never overlap; a block sees
//     every write made by the blocks before it.
//   - asyncAfter() runs the block no earlier than the delay. Delayed blocks reach their queue in
//     the order of their due times, ties in posting order, on every queue; a delay of zero or
//     less is async().
//   - sync() returns after the block has run in its turn on the queue. Onto a serial queue other
//     than main it runs the block on the calling thread: at once when the queue is idle, else
//     once the blocks before it have run; when no pool thread is free to run those (they may all
//     be waiting in sync() calls themselves) the calling thread runs them too, so sync() calls
//     never wait for a pool thread. Called on the queue itself, or from a block nested in a
//     sync() onto it, it runs the block inline. Onto the global queue it runs the block inline.
//     sync() onto the main queue from another thread waits until somebody services the main run
//     loop, which runs the block.
//   - isCurrent() is true inside a block run by that queue. Outside any block, the main queue is
//     current on the process's main thread and on a thread servicing the main run loop, so
//     main()->sync() from the main thread runs inline (as the host's own main-thread code would).
//   - An exception of any type that escapes a block is caught where the block was called, logged
//     to the console log (category "DispatchQueue", with the queue's label) and dropped; the queue
//     goes on with its next block, and sync() returns normally.
// Not guaranteed: which worker thread runs a block; ordering between different queues.
//
// Threads: a shared pool of worker threads ("vk-worker") and one timer thread, started on first
// use and never stopped or destroyed, so that blocks still running while the process exits meet a
// live pool. The pool is small whatever the machine: as many workers as hardware threads, but at
// least 2 and at most 4 (kDefaultWorkerThreadLimit). A host that wants another number calls
// setWorkerThreadCount() before the first block is posted to a queue other than main; the count
// is fixed from then on (workerThreadCount() says what it is). A pool smaller than the work never
// deadlocks sync() (see above); it only runs fewer blocks at once.
//
// Thread rule: every member is thread-safe. Queues are shared objects (std::shared_ptr); a block
// keeps its queue alive until it has run. A sync() that waits for itself through another queue
// (A syncs onto B whose running block syncs onto A) deadlocks, as it would anywhere.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

using Block = std::function<void()>;

/// A queue of blocks, serial or concurrent (see the file comment for its guarantees). Shared.
class VK_EXPORT DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    /// The main queue, serviced by RunLoop::main(). Created once.
    static std::shared_ptr<DispatchQueue> main();
    /// The global concurrent queue on the shared worker pool. Created once.
    static std::shared_ptr<DispatchQueue> global();
    /// A new serial queue on the shared worker pool.
    static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
    /// The queue running the calling block, or nullptr outside any queue.
    static std::shared_ptr<DispatchQueue> current();

    /// The worker pool's size when the host sets none: the hardware threads, capped at this.
    static constexpr unsigned kDefaultWorkerThreadLimit = 4;
    /// The fewest workers the pool runs (the global queue runs blocks side by side).
    static constexpr unsigned kMinWorkerThreads = 2;
    /// The most workers a host may ask for.
    static constexpr unsigned kMaxWorkerThreads = 64;
    /// The number of worker threads the shared pool has, or will have when it starts.
    static unsigned workerThreadCount();
    /// Sets the worker pool's size (clamped to kMinWorkerThreads..kMaxWorkerThreads) for when it
    /// starts. Returns false, and changes nothing, once the pool has started: call it at start-up,
    /// before posting to a queue other than main.
    static bool setWorkerThreadCount(unsigned count);

    virtual ~DispatchQueue();

    /// The name given at creation, used in logs; fixed for the queue's life.
    const std::string& label() const { return label_; }
    /// Whether blocks run one at a time in posting order (false only for global()).
    bool isSerial() const { return serial_; }

    /// Posts `block` to run later on this queue; never runs it inline.
    void async(Block block);
    /// Posts `block` to run on this queue no earlier than `delay` from now.
    void asyncAfter(std::chrono::nanoseconds delay, Block block);
    /// Runs `block` in its turn on this queue and returns after it has run.
    void sync(const Block& block);
    /// Whether the calling code runs as this queue's (see the file comment for the main queue).
    bool isCurrent() const;

    struct Impl;

  private:
    DispatchQueue(std::string label, bool serial, std::unique_ptr<Impl> impl);
    /// Runs one block as this queue's: current queue set, exceptions caught and logged.
    void run(const Block& block);

    std::string label_;
    bool serial_;
    std::unique_ptr<Impl> impl_;
    friend class RunLoop;
    friend class DeferredDispatch;
};

/// Lets a thread that is about to be idle run, itself, the job that async() onto an idle serial
/// queue would hand to the worker pool, saving a thread switch and a wake-up. Made for an I/O
/// thread that delivers a result between two waits.
///
/// While the calling thread has a DeferredDispatch whose catching is on, an async() from this
/// thread onto a serial queue (not main) that would post a pool job keeps the job here instead.
/// The kept job holds the queue's turn exactly as a posted job does: nothing overtakes the
/// queue's blocks, other threads' async() and sync() behave as with a posted job. run() performs
/// the kept jobs on this thread, each as a pool thread would (the queue's blocks in order, with
/// the queue current, a bounded number of them before the rest goes back to the pool); release()
/// posts them to the pool. Catching is off while run() runs blocks, so the blocks' own async()
/// calls post as usual. The owner must run or release kept jobs promptly (they hold up their
/// queues until then); the destructor releases.
///
/// Thread rule: bound to the thread that made it; at most one per thread.
class VK_EXPORT DeferredDispatch {
  public:
    DeferredDispatch();
    ~DeferredDispatch();
    DeferredDispatch(const DeferredDispatch&) = delete;
    DeferredDispatch& operator=(const DeferredDispatch&) = delete;

    /// While catching, an async() from this thread that would post a pool job keeps it here.
    void setCatching(bool catching) { catching_ = catching; }
    /// True when no job is kept.
    bool empty() const { return jobs_.empty(); }
    /// Runs the kept jobs on this thread.
    void run();
    /// Posts the kept jobs to the worker pool.
    void release();

  private:
    friend class DispatchQueue;
    bool catching_ = false;
    std::vector<std::shared_ptr<DispatchQueue>> jobs_;
};

/// The loop that services the main queue. The host drives it from the thread it calls "main".
/// Thread rule: run()/runUntil() from one thread at a time; stop() from any thread.
class VK_EXPORT RunLoop {
  public:
    /// The process's one main run loop.
    static RunLoop& main();

    /// Services the main queue until stop() is called.
    void run();
    /// Services the main queue until `predicate` holds or `timeout` has passed; returns the last
    /// value of the predicate. The predicate is checked on the calling thread between blocks.
    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    /// Runs the main-queue blocks that were due when it started (delayed ones included), then
    /// returns; blocks they post wait for the next service.
    void drain();
    /// Makes run() return after the block it is running.
    void stop();

    /// Lets a host's own event loop service the main queue without polling: `handler` is called
    /// each time a block is added to the main queue (async(), asyncAfter() once the block is due,
    /// sync() from another thread), after the block is queued, on the thread that added it. The
    /// handler wakes the host's loop, which then calls drain(). It must be quick, must not block
    /// and must not throw. Replaces the handler set before; empty removes it. A call already under
    /// way on another thread may still run the old handler once after this returns, so the old
    /// handler must stay safe to call (keep what it uses alive through what it captures).
    static void setWakeHandler(std::function<void()> handler);

  private:
    RunLoop() = default;
};

/// A repeating timer whose block runs on a queue every `interval`, until invalidate() or until the
/// last owner lets go of it. Thread rule: thread-safe; the block runs on the queue given.
class VK_EXPORT RepeatingTimer {
  public:
    /// Starts a timer whose first tick comes `interval` (at least 0.1 ms) from now. Keep the
    /// returned timer: its last owner's release stops it.
    static std::shared_ptr<RepeatingTimer> schedule(std::shared_ptr<DispatchQueue> queue,
                                                    std::chrono::nanoseconds interval, Block block);
    ~RepeatingTimer();
    /// Stops the timer; a tick already queued does not run. Safe from inside the block.
    void invalidate();
    /// False once invalidate() has run.
    bool isValid() const;

    struct State;

  private:
    explicit RepeatingTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace vk
