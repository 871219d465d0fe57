// Dispatch queues and the main run loop: the framework's only way to move work between threads.
//
// Queues
//   - DispatchQueue::main(): serial; its blocks run on whichever thread services the main run loop
//     (RunLoop::main().run() in a program, RunLoop::main().runUntil() in a test). Nothing runs on
//     it while nobody services it.
//   - DispatchQueue::makeSerial(label): serial; blocks run one at a time, in the order they were
//     posted, on threads of the shared worker pool.
//   - DispatchQueue::global(): concurrent; blocks may run at the same time on the worker pool.
//
// Guarantees
//   - async() never runs the block inline: it returns before the block starts.
//   - On a serial queue (main included) blocks run in FIFO order and never overlap; a block sees
//     every write made by the blocks before it.
//   - asyncAfter() runs the block no earlier than the delay; blocks given to one serial queue with
//     delays run in the order of their due times (ties in posting order).
//   - sync() returns after the block has run on the queue. Called on the queue itself, it runs the
//     block inline instead of deadlocking. sync() onto the main queue from another thread waits
//     until somebody services the main run loop.
//   - isCurrent() is true inside a block run by that queue. Outside any block, the main queue is
//     current on the process's main thread and on a thread servicing the main run loop, so
//     main()->sync() from the main thread runs inline (as the host's own main-thread code would).
// Not guaranteed: which worker thread runs a block; ordering between different queues.
//
// Thread rule: every member is thread-safe. Queues are shared objects (std::shared_ptr); a block
// keeps its queue alive until it has run. Blocks must not throw: an exception escaping a block
// is logged and terminates the process.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vk {

using Block = std::function<void()>;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    /// The main queue, serviced by RunLoop::main(). Created once.
    static std::shared_ptr<DispatchQueue> main();
    /// The global concurrent queue on the shared worker pool. Created once.
    static std::shared_ptr<DispatchQueue> global();
    /// A new serial queue on the shared worker pool.
    static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
    /// The queue running the calling block, or nullptr outside any queue.
    static std::shared_ptr<DispatchQueue> current();

    virtual ~DispatchQueue();

    const std::string& label() const { return label_; }
    bool isSerial() const { return serial_; }

    void async(Block block);
    void asyncAfter(std::chrono::nanoseconds delay, Block block);
    void sync(const Block& block);
    bool isCurrent() const;

    struct Impl;

  private:
    DispatchQueue(std::string label, bool serial, std::unique_ptr<Impl> impl);
    void run(const Block& block);

    std::string label_;
    bool serial_;
    std::unique_ptr<Impl> impl_;
    friend class RunLoop;
};

/// The loop that services the main queue. The host drives it from the thread it calls "main".
/// Thread rule: run()/runUntil() from one thread at a time; stop() from any thread.
class RunLoop {
  public:
    static RunLoop& main();

    /// Services the main queue until stop() is called.
    void run();
    /// Services the main queue until `predicate` holds or `timeout` has passed; returns the last
    /// value of the predicate. The predicate is checked on the calling thread between blocks.
    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    /// Runs every main-queue block that is due now, then returns.
    void drain();
    /// Makes run() return after the block it is running.
    void stop();

  private:
    RunLoop() = default;
};

/// A repeating timer whose block runs on a queue every `interval`, until invalidate() or until the
/// last owner lets go of it. Thread rule: thread-safe; the block runs on the queue given.
class RepeatingTimer {
  public:
    static std::shared_ptr<RepeatingTimer> schedule(std::shared_ptr<DispatchQueue> queue,
                                                    std::chrono::nanoseconds interval, Block block);
    ~RepeatingTimer();
    /// Stops the timer; a tick already queued does not run. Safe from inside the block.
    void invalidate();
    bool isValid() const;

    struct State;

  private:
    explicit RepeatingTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace vk
