// DispatchQueue (Dispatch.h): the main, serial and global queues, their run token and sync(); and
// DeferredDispatch. The main run loop, repeating timers, the worker pool and the timer service
// are in RunLoop.cpp, RepeatingTimer.cpp, WorkerPool.cpp and TimerService.cpp.
#include "VornKit/Platform/Runtime/Dispatch.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <vector>

#include "VornKit/Platform/Runtime/DispatchQueueImpl.h"
#include "VornKit/Platform/Runtime/ExitGate.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/TimerService.h"
#include "VornKit/Platform/Runtime/WorkerPool.h"

namespace vk {

using detail::TimerService;
using detail::WakeHandler;
using detail::WorkerPool;

namespace {

using Clock = std::chrono::steady_clock;

// The queue whose block runs on this thread (innermost first when sync() nests).
thread_local const DispatchQueue* tCurrentQueue = nullptr;
// Serial queues whose run token this thread holds, outermost first: a sync() onto one of them
// from a nested block runs inline instead of waiting for itself.
thread_local std::vector<const DispatchQueue*> tHeldQueues;
// Set while this thread services the main run loop.
thread_local bool tServicingMain = false;
// The calling thread's DeferredDispatch, if it has one.
thread_local DeferredDispatch* tDeferred = nullptr;

class CurrentQueueScope {
  public:
    explicit CurrentQueueScope(const DispatchQueue* queue) : previous_(tCurrentQueue) {
        tCurrentQueue = queue;
    }
    ~CurrentQueueScope() { tCurrentQueue = previous_; }

  private:
    const DispatchQueue* previous_;
};

class HeldScope {
  public:
    explicit HeldScope(const DispatchQueue* queue) { tHeldQueues.push_back(queue); }
    ~HeldScope() { tHeldQueues.pop_back(); }
};

bool holdsOnThisThread(const DispatchQueue* queue) {
    return std::find(tHeldQueues.begin(), tHeldQueues.end(), queue) != tHeldQueues.end();
}

bool isProcessMainThread() {
    return ::gettid() == ::getpid();
}

}  // namespace

namespace detail {

void runGuarded(const std::string& label, const Block& block) {
    try {
        block();
    } catch (const std::exception& e) {
        consoleLog("DispatchQueue", "Exception escaped a block on queue %s: %s", label.c_str(),
                   e.what());
    } catch (...) {
        consoleLog("DispatchQueue",
                   "Exception escaped a block on queue %s: an exception that is not a "
                   "std::exception",
                   label.c_str());
    }
}

ServicingScope::ServicingScope() : previous_(tServicingMain) {
    tServicingMain = true;
}

ServicingScope::~ServicingScope() {
    tServicingMain = previous_;
}

}  // namespace detail

using detail::runGuarded;

void DispatchQueue::Impl::drainFromPool(const std::shared_ptr<DispatchQueue>& queue) {
    Impl& impl = *queue->impl_;
    std::unique_lock lock(impl.mutex);
    impl.scheduled = false;
    if (impl.active)
        return;
    impl.active = true;
    constexpr int kBudget = 64;
    impl.runItems(lock, queue, nullptr, kBudget);
}

bool DispatchQueue::Impl::runMainOne(Clock::time_point deadline, bool untilStopped) {
    auto queue = DispatchQueue::main();
    Impl& impl = *queue->impl_;
    Block block;
    {
        std::unique_lock lock(impl.mutex);
        auto ready = [&] { return !impl.items.empty() || (untilStopped && impl.stopRequested); };
        if (!impl.changed.wait_until(lock, deadline, ready))
            return false;
        if (impl.items.empty())
            return false;  // stopped
        block = std::move(impl.items.front().block);
        impl.items.pop_front();
    }
    queue->run(block);
    return true;
}

void DispatchQueue::Impl::release(std::unique_lock<std::mutex>& lock,
                                  const std::shared_ptr<DispatchQueue>& queue) {
    active = false;
    if (items.empty())
        return;
    bool post = !scheduled;
    scheduled = true;
    lock.unlock();
    changed.notify_all();
    if (post)
        WorkerPool::shared().post([queue] { drainFromPool(queue); });
    lock.lock();
}

bool DispatchQueue::Impl::runItems(std::unique_lock<std::mutex>& lock,
                                   const std::shared_ptr<DispatchQueue>& queue, SyncTurn* mine,
                                   int budget) {
    HeldScope held(queue.get());
    while (!items.empty()) {
        Item item = std::move(items.front());
        items.pop_front();
        if (item.turn == nullptr && mine == nullptr && ExitGate::closed()) {
            // The process exits: this pool job runs no more blocks; the token is let go so
            // that the exiting thread may still take it with sync().
            items.push_front(std::move(item));
            break;
        }
        if (item.turn != nullptr) {
            if (item.turn == mine)
                return true;
            item.turn->reached = true;  // the token passes to that caller
            lock.unlock();
            changed.notify_all();
            lock.lock();
            return false;
        }
        lock.unlock();
        queue->run(item.block);
        item.block = nullptr;  // captured state dies outside the lock, before the next block
        lock.lock();
        if (--budget == 0 && !items.empty())
            break;
    }
    release(lock, queue);
    return false;
}

DispatchQueue::DispatchQueue(std::string label, bool serial, std::unique_ptr<Impl> impl)
    : label_(std::move(label)), serial_(serial), impl_(std::move(impl)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    // Never destroyed, for the same reason as the pool.
    static const Immortal<std::shared_ptr<DispatchQueue>> queue(
        new DispatchQueue("main", true, std::make_unique<Impl>(Impl::Kind::main)));
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
    static const Immortal<std::shared_ptr<DispatchQueue>> queue(
        new DispatchQueue("global", false, std::make_unique<Impl>(Impl::Kind::global)));
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
    return std::shared_ptr<DispatchQueue>(
        new DispatchQueue(std::move(label), true, std::make_unique<Impl>(Impl::Kind::serial)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
    if (tCurrentQueue != nullptr) {
        return const_cast<DispatchQueue*>(tCurrentQueue)->shared_from_this();
    }
    return (tServicingMain || isProcessMainThread()) ? main() : nullptr;
}

void DispatchQueue::run(const Block& block) {
    CurrentQueueScope scope(this);
    runGuarded(label_, block);
}

void DispatchQueue::async(Block block) {
    Impl& impl = *impl_;
    switch (impl.kind) {
        case Impl::Kind::global:
            WorkerPool::shared().post(
                [self = shared_from_this(), block = std::move(block)] { self->run(block); });
            return;
        case Impl::Kind::main: {
            {
                std::lock_guard lock(impl.mutex);
                impl.items.push_back({std::move(block), nullptr});
            }
            impl.changed.notify_all();
            WakeHandler::shared().call();
            return;
        }
        case Impl::Kind::serial: {
            bool post = false;
            {
                std::lock_guard lock(impl.mutex);
                impl.items.push_back({std::move(block), nullptr});
                if (!impl.active && !impl.scheduled) {
                    impl.scheduled = true;
                    post = true;
                }
            }
            if (post) {
                if (tDeferred != nullptr && tDeferred->catching_) {
                    tDeferred->jobs_.push_back(shared_from_this());
                } else {
                    WorkerPool::shared().post(
                        [self = shared_from_this()] { Impl::drainFromPool(self); });
                }
            }
            return;
        }
    }
}

void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Block block) {
    if (delay <= std::chrono::nanoseconds::zero()) {
        async(std::move(block));
        return;
    }
    TimerService::shared().schedule(Clock::now() + delay, shared_from_this(), std::move(block));
}

bool DispatchQueue::isCurrent() const {
    if (tCurrentQueue != nullptr) {
        return tCurrentQueue == this;
    }
    // Outside any block, the process's main thread and whichever thread services the main run
    // loop are on the main queue.
    return (tServicingMain || isProcessMainThread()) && this == main().get();
}

void DispatchQueue::sync(const Block& block) {
    Impl& impl = *impl_;
    if (isCurrent() || holdsOnThisThread(this) || impl.kind == Impl::Kind::global) {
        // A concurrent queue needs no turn: the block runs at once on this thread.
        run(block);
        return;
    }
    if (impl.kind == Impl::Kind::main) {
        // Main-queue blocks run on the thread servicing the main run loop.
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        async([&] {
            run(block);
            std::lock_guard lock(mutex);
            done = true;
            finished.notify_all();
        });
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return done; });
        return;
    }
    auto self = shared_from_this();
    std::unique_lock lock(impl.mutex);
    if (!impl.active && impl.items.empty()) {
        // Idle: take the token and run here, as the block would run nowhere sooner.
        impl.active = true;
        lock.unlock();
        {
            HeldScope held(this);
            run(block);
        }
        lock.lock();
        impl.release(lock, self);
        return;
    }
    // Wait for the blocks before this one. Whenever nobody holds the token (every pool thread may
    // be blocked, in sync() calls like this one), take it and run them here.
    Impl::SyncTurn turn;
    impl.items.push_back({nullptr, &turn});
    while (!turn.reached) {
        if (!impl.active) {
            impl.active = true;
            if (impl.runItems(lock, self, &turn, -1))
                break;
            continue;
        }
        impl.changed.wait(lock);
    }
    lock.unlock();
    {
        HeldScope held(this);
        run(block);
    }
    lock.lock();
    impl.release(lock, self);
}

DeferredDispatch::DeferredDispatch() {
    tDeferred = this;
}

DeferredDispatch::~DeferredDispatch() {
    catching_ = false;
    release();
    tDeferred = nullptr;
}

void DeferredDispatch::run() {
    std::vector<std::shared_ptr<DispatchQueue>> jobs;
    jobs.swap(jobs_);
    const bool catching = catching_;
    catching_ = false;
    for (const auto& queue : jobs)
        DispatchQueue::Impl::drainFromPool(queue);
    catching_ = catching;
}

void DeferredDispatch::release() {
    std::vector<std::shared_ptr<DispatchQueue>> jobs;
    jobs.swap(jobs_);
    for (auto& queue : jobs)
        WorkerPool::shared().post(
            [queue = std::move(queue)] { DispatchQueue::Impl::drainFromPool(queue); });
}

}  // namespace vk
