// WorkerPool: the shared worker pool behind DispatchQueue (Dispatch.h), workerThreadCount()
// threads taking jobs in FIFO order. It lives for the whole process and is never destroyed:
// threads the framework does not own (HTTP workers, the host's) may still post while the process
// exits, and must not meet a pool that static destruction has torn down. Not for hosts: nothing
// here is part of the API.
//
// Thread rule: thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "VornKit/Platform/Runtime/Dispatch.h"

/// @cond INTERNAL
namespace vk::detail {

/// Arms the exit gate (ExitGate.h) on the calling thread. The exit gate registers its exit
/// handler (and builds the library state it depends on) on first use. That must happen on the
/// thread that starts the runtime's threads, before they run: a thread's first block may otherwise
/// arrive while the process already exits and meet destroyed statics.
void armExitGate();

/// The shared worker pool (see the file comment).
class WorkerPool {
  public:
    /// The pool, started on first use with DispatchQueue::workerThreadCount() threads.
    static WorkerPool& shared();

    /// Runs `job` on a pool thread, after the jobs posted before it have started.
    void post(Block job);

  private:
    explicit WorkerPool(unsigned count);

    [[noreturn]] void work();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Block> jobs_;
};

}  // namespace vk::detail
/// @endcond
