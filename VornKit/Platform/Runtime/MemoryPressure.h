// Memory pressure: the low-memory warning of the platform.
//
//   - MemoryPressureSource: where pressure events come from (the operating-system service).
//   - PsiMemoryPressureSource: the Linux backend, a pressure-stall trigger on
//     /proc/pressure/memory ("some" stall of 300 ms within 2 s by default). Kernels without
//     pressure-stall information (or containers that refuse triggers) offer none: start() fails.
//   - ManualMemoryPressureSource: the test double; events are raised by calling fire().
//   - MemoryPressureMonitor: turns events into the notification Notifications::kLowMemoryWarning
//     on a notification centre, posted from a queue (the main queue by default), as the host's
//     own warning would arrive. A host may post that notification itself at any time.
//
// Thread rule: every class here is thread-safe. A source calls its handler on a thread of its
// own (the PSI source: its watcher thread; the manual source: the thread calling fire()).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "VornKit/Export.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"

namespace vk {

/// Where low-memory events come from (see the file comment).
class VK_EXPORT MemoryPressureSource {
  public:
    /// Called on each low-memory event, on the source's own thread.
    using Handler = std::function<void()>;

    virtual ~MemoryPressureSource() = default;
    /// Starts calling `handler` once per pressure event until stop(). False (and no events) when
    /// the system offers none or the source runs already.
    virtual bool start(Handler handler) = 0;
    /// Stops; when it returns the handler is not running and is not called again. Idempotent.
    virtual void stop() = 0;
};

/// Low-memory events from the kernel's pressure-stall information (Linux).
class VK_EXPORT PsiMemoryPressureSource : public MemoryPressureSource {
  public:
    /// The pressure file and the stall that counts as pressure.
    struct Options {
        /// The kernel's pressure-stall file.
        std::filesystem::path path = "/proc/pressure/memory";
        /// Stall time within `window` that counts as pressure.
        std::chrono::microseconds stall{300'000};
        /// The kernel accepts 0.5 s to 10 s; unprivileged processes only multiples of 2 s.
        std::chrono::microseconds window{2'000'000};
    };

    PsiMemoryPressureSource() : PsiMemoryPressureSource(Options()) {}
    /// A source with `options`; nothing is opened before start().
    explicit PsiMemoryPressureSource(Options options);
    ~PsiMemoryPressureSource() override;
    PsiMemoryPressureSource(const PsiMemoryPressureSource&) = delete;
    PsiMemoryPressureSource& operator=(const PsiMemoryPressureSource&) = delete;

    bool start(Handler handler) override;
    void stop() override;

  private:
    void watch(int trigger, int wake, const Handler& handler);

    const Options options_;
    std::mutex mutex_;
    std::thread thread_;
    int trigger_ = -1;
    int wake_ = -1;
};

/// The test double: events happen when the test calls fire().
class VK_EXPORT ManualMemoryPressureSource : public MemoryPressureSource {
  public:
    /// `available` false: start() fails, as on a kernel without pressure information.
    explicit ManualMemoryPressureSource(bool available = true) : available_(available) {}

    bool start(Handler handler) override;
    void stop() override;
    /// Calls the handler on this thread while started; returns whether it was called.
    bool fire();
    /// Whether the source is started (and fire() reaches the handler).
    bool isStarted() const;

  private:
    const bool available_;
    mutable std::mutex mutex_;
    std::shared_ptr<Handler> handler_;
    std::recursive_mutex callMutex_;  ///< held while the handler runs
};

/// Turns low-memory events into the low-memory notification (see the file comment).
class VK_EXPORT MemoryPressureMonitor {
  public:
    /// Posts to `center` (which must outlive the monitor and the posts it has queued) from
    /// `queue`. Events that arrive while a post is still queued are folded into it.
    explicit MemoryPressureMonitor(std::shared_ptr<MemoryPressureSource> source,
                                   NotificationCenter& center = NotificationCenter::defaultCenter(),
                                   std::shared_ptr<DispatchQueue> queue = DispatchQueue::main());
    ~MemoryPressureMonitor();
    MemoryPressureMonitor(const MemoryPressureMonitor&) = delete;
    MemoryPressureMonitor& operator=(const MemoryPressureMonitor&) = delete;

    /// The process's monitor: the PSI source, the default centre, the main queue. Created on
    /// first use, not started.
    static MemoryPressureMonitor& shared();

    /// Starts watching; true when running (also when it ran already), false when the source
    /// offers no events.
    bool start();
    /// Stops watching; a post already queued still arrives. Does nothing when not running.
    void stop();
    /// Whether the monitor is watching.
    bool isRunning() const;

  private:
    struct State;
    std::shared_ptr<MemoryPressureSource> source_;
    std::shared_ptr<State> state_;
    mutable std::mutex mutex_;
    bool running_ = false;
};

}  // namespace vk
