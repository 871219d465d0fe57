// RunLoop (Dispatch.h): the loop that services the main queue, and the host's wake handler.
#include "VornKit/Platform/Runtime/Dispatch.h"

#include <algorithm>

#include "VornKit/Platform/Runtime/DispatchQueueImpl.h"
#include "VornKit/Platform/Runtime/TimerService.h"

namespace vk {

using detail::ServicingScope;
using detail::TimerService;
using detail::WakeHandler;

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

RunLoop& RunLoop::main() {
    static RunLoop loop;
    (void)DispatchQueue::main();
    return loop;
}

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

}  // namespace vk
