#include "VornKit/Platform/Dispatch.h"

#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

namespace vk {

namespace {

// The queue whose block runs on this thread (innermost first when sync() nests).
thread_local const DispatchQueue* tCurrentQueue = nullptr;
// Set while this thread services the main run loop.
thread_local bool tServicingMain = false;

class CurrentQueueScope {
  public:
    explicit CurrentQueueScope(const DispatchQueue* queue) : previous_(tCurrentQueue) {
        tCurrentQueue = queue;
    }
    ~CurrentQueueScope() { tCurrentQueue = previous_; }

  private:
    const DispatchQueue* previous_;
};

bool isProcessMainThread() {
    return ::gettid() == ::getpid();
}

// The pool, the main context and its guard live for the whole process and are never destroyed:
// threads the framework does not own (HTTP workers, the host's) may still post while the process
// exits, and must not meet a pool that static destruction has torn down.
asio::thread_pool& workerPool() {
    static auto* pool = new asio::thread_pool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

asio::io_context& mainContext() {
    static auto* context = new asio::io_context;
    return *context;
}

auto& mainWorkGuard() {
    static auto* guard = new auto(asio::make_work_guard(mainContext()));
    return *guard;
}

}  // namespace

struct DispatchQueue::Impl {
    // Main: the io_context's executor; serial: a strand on the pool; global: the pool itself.
    std::variant<asio::io_context::executor_type, asio::strand<asio::thread_pool::executor_type>,
                 asio::thread_pool::executor_type>
        executor;

    template <class F>
    void post(F&& f) {
        std::visit([&](auto& ex) { asio::post(ex, std::forward<F>(f)); }, executor);
    }

    template <class F>
    void postAfter(std::chrono::nanoseconds delay, F&& f) {
        std::visit(
            [&](auto& ex) {
                auto timer = std::make_shared<asio::steady_timer>(ex, delay);
                timer->async_wait(
                    [timer, f = std::forward<F>(f)](const asio::error_code&) mutable { f(); });
            },
            executor);
    }
};

DispatchQueue::DispatchQueue(std::string label, bool serial, std::unique_ptr<Impl> impl)
    : label_(std::move(label)), serial_(serial), impl_(std::move(impl)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static const std::shared_ptr<DispatchQueue> queue = [] {
        (void)mainWorkGuard();
        auto impl = std::make_unique<Impl>(Impl{mainContext().get_executor()});
        return std::shared_ptr<DispatchQueue>(new DispatchQueue("main", true, std::move(impl)));
    }();
    return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
    static const std::shared_ptr<DispatchQueue> queue = [] {
        auto impl = std::make_unique<Impl>(Impl{workerPool().get_executor()});
        return std::shared_ptr<DispatchQueue>(new DispatchQueue("global", false, std::move(impl)));
    }();
    return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
    auto impl = std::make_unique<Impl>(Impl{asio::make_strand(workerPool().get_executor())});
    return std::shared_ptr<DispatchQueue>(
        new DispatchQueue(std::move(label), true, std::move(impl)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
    if (tCurrentQueue != nullptr) {
        return const_cast<DispatchQueue*>(tCurrentQueue)->shared_from_this();
    }
    return (tServicingMain || isProcessMainThread()) ? main() : nullptr;
}

void DispatchQueue::run(const Block& block) {
    CurrentQueueScope scope(this);
    try {
        block();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Fatal error: exception escaped a block on queue %s: %s\n",
                     label_.c_str(), e.what());
        std::terminate();
    }
}

void DispatchQueue::async(Block block) {
    impl_->post([self = shared_from_this(), block = std::move(block)] { self->run(block); });
}

void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Block block) {
    if (delay <= std::chrono::nanoseconds::zero()) {
        async(std::move(block));
        return;
    }
    impl_->postAfter(delay, [self = shared_from_this(), block = std::move(block)] {
        // The timer completes on the queue's executor, so this already runs on the queue.
        self->run(block);
    });
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
    if (isCurrent()) {
        run(block);
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    impl_->post([self = shared_from_this(), &block, &done] {
        self->run(block);
        done.set_value();
    });
    finished.wait();
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
    auto& context = mainContext();
    context.restart();
    context.run();
    context.restart();
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    ServicingScope scope;
    auto& context = mainContext();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return predicate();
        }
        const auto slice = std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(20));
        if (context.stopped()) {
            context.restart();
        }
        context.run_one_for(slice);
    }
    return true;
}

void RunLoop::drain() {
    ServicingScope scope;
    auto& context = mainContext();
    if (context.stopped()) {
        context.restart();
    }
    context.poll();
}

void RunLoop::stop() {
    mainContext().stop();
}

// ---- RepeatingTimer ----

struct RepeatingTimer::State : std::enable_shared_from_this<RepeatingTimer::State> {
    std::shared_ptr<DispatchQueue> queue;
    std::chrono::nanoseconds interval;
    Block block;
    std::atomic<bool> valid{true};
    std::chrono::steady_clock::time_point nextFire;

    void arm() {
        nextFire += interval;
        auto delay = std::max(std::chrono::nanoseconds::zero(),
                              std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  nextFire - std::chrono::steady_clock::now()));
        std::weak_ptr<State> weak = shared_from_this();
        queue->asyncAfter(delay, [weak] {
            auto self = weak.lock();
            if (!self || !self->valid.load()) {
                return;
            }
            self->block();
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
    state->nextFire = std::chrono::steady_clock::now();
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
