// RepeatingTimer (Dispatch.h): a block run on a queue at a steady rhythm.
#include "VornKit/Platform/Runtime/Dispatch.h"

#include <algorithm>
#include <atomic>

#include "VornKit/Platform/Runtime/DispatchQueueImpl.h"

namespace vk {

using detail::runGuarded;

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

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
