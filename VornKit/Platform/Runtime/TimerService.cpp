// TimerService (TimerService.h): the delayed blocks of every queue and the thread that hands them
// over when they are due.
#include "VornKit/Platform/Runtime/TimerService.h"

#include <thread>

#include "VornKit/Platform/Runtime/WorkerPool.h"

namespace vk::detail {

TimerService& TimerService::shared() {
    static auto* service = new TimerService;
    return *service;
}

void TimerService::schedule(Clock::time_point due, std::shared_ptr<DispatchQueue> queue,
                            Block block) {
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

void TimerService::releaseDue(Clock::time_point now) {
    std::unique_lock lock(mutex_);
    releaseDueLocked(lock, now);
}

TimerService::TimerService() {
    armExitGate();
    std::thread([this] { work(); }).detach();
}

void TimerService::releaseDueLocked(std::unique_lock<std::mutex>&, Clock::time_point now) {
    while (!entries_.empty() && entries_.top().due <= now) {
        Entry entry = std::move(const_cast<Entry&>(entries_.top()));
        entries_.pop();
        entry.queue->async(std::move(entry.block));
    }
}

void TimerService::work() {
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

}  // namespace vk::detail
