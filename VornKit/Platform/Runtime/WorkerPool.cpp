// WorkerPool (WorkerPool.h), and the pool's size as DispatchQueue reports and sets it.
#include "VornKit/Platform/Runtime/WorkerPool.h"

#include <pthread.h>

#include <algorithm>
#include <thread>

#include "VornKit/Platform/Runtime/ExitGate.h"

namespace vk {

namespace {

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

}  // namespace

namespace detail {

void armExitGate() {
    if (ExitGate::enter())
        ExitGate::leave();
}

WorkerPool& WorkerPool::shared() {
    static auto* pool = [] {
        PoolSize& size = PoolSize::shared();
        std::lock_guard lock(size.mutex);
        size.started = size.chosen();
        return new WorkerPool(size.started);
    }();
    return *pool;
}

void WorkerPool::post(Block job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
}

WorkerPool::WorkerPool(unsigned count) {
    armExitGate();
    for (unsigned i = 0; i < count; ++i) {
        std::thread worker([this] { work(); });
        ::pthread_setname_np(worker.native_handle(), "vk-worker");
        worker.detach();
    }
}

void WorkerPool::work() {
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

}  // namespace detail

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

}  // namespace vk
