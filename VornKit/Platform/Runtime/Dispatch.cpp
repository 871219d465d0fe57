#include "VornKit/Platform/Runtime/Dispatch.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <queue>
#include <thread>
#include <typeinfo>
#include <vector>

#include "VornKit/Platform/Runtime/ExitGate.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

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

// Runs `block`, catching whatever it throws: an exception stops the block, never the queue or
// the process. Logged to the console log, which needs no bundle identifier.
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

// The pool's size: what the host asked for, until the pool starts and fixes it. Never destroyed.
struct PoolSize {
    std::mutex mutex;
    unsigned requested = 0;  // 0: the default
    unsigned started = 0;    // the pool's size once it runs, else 0

    static PoolSize& shared() {
        static auto* size = new PoolSize;
        return *size;
    }
    static unsigned fallback() {
        return std::clamp(std::thread::hardware_concurrency(), DispatchQueue::kMinWorkerThreads,
                          DispatchQueue::kDefaultWorkerThreadLimit);
    }
    unsigned chosen() const { return requested != 0 ? requested : fallback(); }
};

// The shared worker pool: workerThreadCount() threads taking jobs in FIFO order. It lives for the
// whole process and is never destroyed: threads the framework does not own (HTTP workers, the
// host's) may still post while the process exits, and must not meet a pool that static destruction
// has torn down.
// The exit gate registers its exit handler (and builds the library state it depends on) on first
// use. That must happen on the thread that starts the workers, before they run: a worker's first
// block may otherwise arrive while the process already exits and meet destroyed statics.
void armExitGate() {
    if (ExitGate::enter())
        ExitGate::leave();
}

class WorkerPool {
  public:
    static WorkerPool& shared() {
        static auto* pool = [] {
            PoolSize& size = PoolSize::shared();
            std::lock_guard lock(size.mutex);
            size.started = size.chosen();
            return new WorkerPool(size.started);
        }();
        return *pool;
    }

    void post(Block job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }

  private:
    explicit WorkerPool(unsigned count) {
        armExitGate();
        for (unsigned i = 0; i < count; ++i) {
            std::thread worker([this] { work(); });
            ::pthread_setname_np(worker.native_handle(), "vk-worker");
            worker.detach();
        }
    }

    [[noreturn]] void work() {
        while (true) {
            Block job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            // Once the process exits, pool threads start nothing more.
            if (!ExitGate::enter())
                ExitGate::park();
            job();
            ExitGate::leave();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Block> jobs_;
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

// Delayed blocks of every queue, in one list ordered by due time and then by posting order. One
// thread (started on first use, never stopped) hands each block to its queue when it is due, in
// that order, so that a serial queue receives them in due order. Never destroyed, like the pool.
class TimerService {
  public:
    static TimerService& shared() {
        static auto* service = new TimerService;
        return *service;
    }

    void schedule(Clock::time_point due, std::shared_ptr<DispatchQueue> queue, Block block) {
        bool earliest = false;
        {
            std::lock_guard lock(mutex_);
            entries_.push(Entry{due, nextSequence_++, std::move(queue), std::move(block)});
            earliest = entries_.top().sequence == nextSequence_ - 1;
        }
        if (earliest) {
            changed_.notify_one();
        }
    }

    /// Hands every block due by `now` to its queue (used by the main run loop so that a drain sees
    /// what was due when it started, without waiting for the timer thread).
    void releaseDue(Clock::time_point now) {
        std::unique_lock lock(mutex_);
        releaseDueLocked(lock, now);
    }

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

    TimerService() {
        armExitGate();
        std::thread([this] { work(); }).detach();
    }

    // Under the lock, so that two releasers never hand blocks over out of order.
    void releaseDueLocked(std::unique_lock<std::mutex>&, Clock::time_point now) {
        while (!entries_.empty() && entries_.top().due <= now) {
            Entry entry = std::move(const_cast<Entry&>(entries_.top()));
            entries_.pop();
            entry.queue->async(std::move(entry.block));
        }
    }

    [[noreturn]] void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (entries_.empty()) {
                changed_.wait(lock);
                continue;
            }
            auto due = entries_.top().due;
            if (Clock::now() < due) {
                changed_.wait_until(lock, due);
                continue;
            }
            releaseDueLocked(lock, Clock::now());
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace

// A queue's blocks and its run token. On a serial queue exactly one thread at a time holds the
// token and runs blocks (a pool job, a sync() caller, or the main run loop); whoever lets go of it
// with blocks left makes sure somebody takes it up again.
struct DispatchQueue::Impl {
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
    static void drainFromPool(const std::shared_ptr<DispatchQueue>& queue) {
        Impl& impl = *queue->impl_;
        std::unique_lock lock(impl.mutex);
        impl.scheduled = false;
        if (impl.active)
            return;
        impl.active = true;
        constexpr int kBudget = 64;
        impl.runItems(lock, queue, nullptr, kBudget);
    }

    // Main: waits until `deadline` for a block and runs it on this thread; false when none came
    // (or, with `untilStopped`, when RunLoop::stop() was asked).
    static bool runMainOne(Clock::time_point deadline, bool untilStopped) {
        auto queue = DispatchQueue::main();
        Impl& impl = *queue->impl_;
        Block block;
        {
            std::unique_lock lock(impl.mutex);
            auto ready = [&] {
                return !impl.items.empty() || (untilStopped && impl.stopRequested);
            };
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

    // Serial: lets go of the token; with blocks left, a pool job takes it up, and sync() callers
    // waiting for the token may take it themselves (when every pool thread is busy).
    void release(std::unique_lock<std::mutex>& lock, const std::shared_ptr<DispatchQueue>& queue) {
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

    // Serial, token held: runs blocks in order. Returns true when `mine` is reached (the caller
    // keeps the token to run its own block); false once the token has been let go or handed to
    // another sync() caller. `budget` bounds how many blocks one pool job runs before it lets
    // the other queues have the pool.
    bool runItems(std::unique_lock<std::mutex>& lock, const std::shared_ptr<DispatchQueue>& queue,
                  SyncTurn* mine, int budget) {
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
};

DispatchQueue::DispatchQueue(std::string label, bool serial, std::unique_ptr<Impl> impl)
    : label_(std::move(label)), serial_(serial), impl_(std::move(impl)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    // Never destroyed, for the same reason as the pool.
    static const Immortal<std::shared_ptr<DispatchQueue>> queue(
        new DispatchQueue("main", true, std::make_unique<Impl>(Impl::Kind::main)));
    return *queue;
}

unsigned DispatchQueue::workerThreadCount() {
    PoolSize& size = PoolSize::shared();
    std::lock_guard lock(size.mutex);
    return size.started != 0 ? size.started : size.chosen();
}

bool DispatchQueue::setWorkerThreadCount(unsigned count) {
    PoolSize& size = PoolSize::shared();
    std::lock_guard lock(size.mutex);
    if (size.started != 0)
        return false;
    size.requested = std::clamp(count, kMinWorkerThreads, kMaxWorkerThreads);
    return true;
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

// ---- DeferredDispatch ----

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

// ---- RunLoop ----

RunLoop& RunLoop::main() {
    static RunLoop loop;
    (void)DispatchQueue::main();
    return loop;
}

namespace {
class ServicingScope {
  public:
    ServicingScope() : previous_(tServicingMain) { tServicingMain = true; }
    ~ServicingScope() { tServicingMain = previous_; }

  private:
    bool previous_;
};
}  // namespace

void RunLoop::run() {
    ServicingScope scope;
    DispatchQueue::Impl& impl = *DispatchQueue::main()->impl_;
    {
        std::lock_guard lock(impl.mutex);
        impl.stopRequested = false;
    }
    while (true) {
        {
            std::lock_guard lock(impl.mutex);
            if (impl.stopRequested) {
                impl.stopRequested = false;
                return;
            }
        }
        DispatchQueue::Impl::runMainOne(Clock::now() + std::chrono::hours(24), true);
    }
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    ServicingScope scope;
    const auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return predicate();
        }
        // Wake now and then to look at a predicate that depends on other threads.
        DispatchQueue::Impl::runMainOne(std::min(deadline, now + std::chrono::milliseconds(20)),
                                        false);
    }
    return true;
}

void RunLoop::drain() {
    ServicingScope scope;
    auto queue = DispatchQueue::main();
    DispatchQueue::Impl& impl = *queue->impl_;
    TimerService::shared().releaseDue(Clock::now());
    std::size_t due = 0;
    {
        std::lock_guard lock(impl.mutex);
        due = impl.items.size();
    }
    // Blocks posted while draining, also by the blocks themselves, wait for the next service.
    for (; due > 0; --due) {
        Block block;
        {
            std::lock_guard lock(impl.mutex);
            if (impl.items.empty())
                return;
            block = std::move(impl.items.front().block);
            impl.items.pop_front();
        }
        queue->run(block);
    }
}

void RunLoop::stop() {
    DispatchQueue::Impl& impl = *DispatchQueue::main()->impl_;
    {
        std::lock_guard lock(impl.mutex);
        impl.stopRequested = true;
    }
    impl.changed.notify_all();
}

void RunLoop::setWakeHandler(std::function<void()> handler) {
    auto shared =
        handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    WakeHandler& wake = WakeHandler::shared();
    {
        std::lock_guard lock(wake.mutex);
        wake.handler.swap(shared);
    }
    // The old handler (now in `shared`) goes outside the lock: what it captured may post.
}

// ---- RepeatingTimer ----

struct RepeatingTimer::State : std::enable_shared_from_this<RepeatingTimer::State> {
    std::shared_ptr<DispatchQueue> queue;
    std::chrono::nanoseconds interval;
    Block block;
    std::atomic<bool> valid{true};
    Clock::time_point nextFire;

    void arm() {
        nextFire += interval;
        auto delay =
            std::max(std::chrono::nanoseconds::zero(),
                     std::chrono::duration_cast<std::chrono::nanoseconds>(nextFire - Clock::now()));
        std::weak_ptr<State> weak = shared_from_this();
        queue->asyncAfter(delay, [weak] {
            auto self = weak.lock();
            if (!self || !self->valid.load()) {
                return;
            }
            // A tick that throws is logged like any block; the timer keeps its rhythm.
            runGuarded(self->queue->label(), self->block);
            if (self->valid.load()) {
                self->arm();
            }
        });
    }
};

std::shared_ptr<RepeatingTimer> RepeatingTimer::schedule(std::shared_ptr<DispatchQueue> queue,
                                                         std::chrono::nanoseconds interval,
                                                         Block block) {
    auto state = std::make_shared<State>();
    state->queue = std::move(queue);
    state->interval = std::max(interval, std::chrono::nanoseconds(std::chrono::microseconds(100)));
    state->block = std::move(block);
    state->nextFire = Clock::now();
    state->arm();
    return std::shared_ptr<RepeatingTimer>(new RepeatingTimer(state));
}

RepeatingTimer::~RepeatingTimer() {
    invalidate();
}

void RepeatingTimer::invalidate() {
    state_->valid.store(false);
}

bool RepeatingTimer::isValid() const {
    return state_->valid.load();
}

}  // namespace vk
