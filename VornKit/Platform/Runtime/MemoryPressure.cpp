#include "VornKit/Platform/Runtime/MemoryPressure.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vk {

// PSI source ---------------------------------------------------------------------------------

PsiMemoryPressureSource::PsiMemoryPressureSource(Options options) : options_(std::move(options)) {}

PsiMemoryPressureSource::~PsiMemoryPressureSource() {
    stop();
}

bool PsiMemoryPressureSource::start(Handler handler) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable())
        return false;
    int trigger = ::open(options_.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (trigger < 0)
        return false;
    // The trigger lives as long as this descriptor stays open; the text includes its zero byte.
    std::string text = "some " + std::to_string(options_.stall.count()) + " " +
                       std::to_string(options_.window.count());
    if (::write(trigger, text.c_str(), text.size() + 1) < 0) {
        ::close(trigger);
        return false;
    }
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(trigger);
        return false;
    }
    trigger_ = trigger;
    wake_ = wake;
    thread_ = std::thread(
        [this, trigger, wake, handler = std::move(handler)] { watch(trigger, wake, handler); });
    return true;
}

void PsiMemoryPressureSource::watch(int trigger, int wake, const Handler& handler) {
    for (;;) {
        pollfd fds[2] = {{trigger, POLLPRI, 0}, {wake, POLLIN, 0}};
        int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;  // stop()
        if (fds[0].revents & (POLLERR | POLLNVAL | POLLHUP))
            return;  // the monitored group went away
        if (fds[0].revents & POLLPRI)
            handler();
    }
}

void PsiMemoryPressureSource::stop() {
    std::thread thread;
    int trigger = -1;
    int wake = -1;
    {
        std::lock_guard lock(mutex_);
        thread.swap(thread_);
        std::swap(trigger, trigger_);
        std::swap(wake, wake_);
    }
    if (!thread.joinable())
        return;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wake, &one, sizeof one);
    if (thread.get_id() == std::this_thread::get_id()) {
        // Called from the handler: the watcher ends after the handler returns. The descriptors
        // stay open for it (a few bytes, once).
        thread.detach();
        return;
    }
    thread.join();
    ::close(trigger);
    ::close(wake);
}

// Manual source (test double) ----------------------------------------------------------------

bool ManualMemoryPressureSource::start(Handler handler) {
    std::lock_guard lock(mutex_);
    if (!available_ || handler_)
        return false;
    handler_ = std::make_shared<Handler>(std::move(handler));
    return true;
}

void ManualMemoryPressureSource::stop() {
    {
        std::lock_guard lock(mutex_);
        handler_.reset();
    }
    // Wait for a handler that fire() is running on another thread.
    std::lock_guard calling(callMutex_);
}

bool ManualMemoryPressureSource::fire() {
    std::lock_guard calling(callMutex_);
    std::shared_ptr<Handler> handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (!handler)
        return false;
    (*handler)();
    return true;
}

bool ManualMemoryPressureSource::isStarted() const {
    std::lock_guard lock(mutex_);
    return handler_ != nullptr;
}

// Monitor -----------------------------------------------------------------------------------

struct MemoryPressureMonitor::State {
    NotificationCenter* center;
    std::shared_ptr<DispatchQueue> queue;
    std::atomic<bool> pending{false};
};

MemoryPressureMonitor::MemoryPressureMonitor(std::shared_ptr<MemoryPressureSource> source,
                                             NotificationCenter& center,
                                             std::shared_ptr<DispatchQueue> queue)
    : source_(std::move(source)), state_(std::make_shared<State>()) {
    state_->center = &center;
    state_->queue = std::move(queue);
}

MemoryPressureMonitor::~MemoryPressureMonitor() {
    stop();
}

MemoryPressureMonitor& MemoryPressureMonitor::shared() {
    static MemoryPressureMonitor* instance =
        new MemoryPressureMonitor(std::make_shared<PsiMemoryPressureSource>());
    return *instance;
}

bool MemoryPressureMonitor::start() {
    std::lock_guard lock(mutex_);
    if (running_)
        return true;
    running_ = source_->start([state = state_] {
        if (state->pending.exchange(true))
            return;
        state->queue->async([state] {
            state->pending = false;
            state->center->post(std::string(Notifications::kLowMemoryWarning));
        });
    });
    return running_;
}

void MemoryPressureMonitor::stop() {
    std::lock_guard lock(mutex_);
    if (!running_)
        return;
    source_->stop();
    running_ = false;
}

bool MemoryPressureMonitor::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

}  // namespace vk
