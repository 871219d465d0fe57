// ExitGate: keeps the framework's own threads out of the way while the process exits.
//
// When a host returns from main() (or calls exit()) the framework's pool, bus and HTTP threads
// may still be running blocks, and the libraries under them (the JSON parser, OpenSSL, libplist)
// destroy their static data during the exit. So the gate closes at the start of the exit: it
// waits, up to kDrainWait, for the blocks that are running to end; from then on framework
// threads run nothing more and stay parked until the process is gone. The thread that is
// exiting is never held back (its exit handlers and static destructors may still run blocks
// with sync()).
//
// Framework threads bracket each unit of work with enter()/leave(); enter() returns false once
// the gate is closed, and the thread then parks or waits to be stopped without touching the
// libraries any more. A thread the exit itself may wait for (a worker a destructor joins or
// hands work to) must not park: it must still answer what the exit asks of it.
//
// Thread rule: thread-safe. The gate is process-wide and never destroyed.
#pragma once

#include <chrono>

#include "VornKit/Export.h"

namespace vk {

/// The process-wide gate framework threads pass before each unit of work (see the file comment).
class VK_EXPORT ExitGate {
  public:
    /// How long the exit waits for running blocks to end before it parks the framework's threads.
    static constexpr std::chrono::milliseconds kDrainWait{500};

    /// Before a unit of work: true to go on (then call leave() after it); false once the
    /// process is exiting.
    static bool enter();
    /// After a unit of work begun with a successful enter().
    static void leave();
    /// Holds the calling thread until the process is gone (for framework threads only).
    [[noreturn]] static void park();
    /// Whether the process has started to exit.
    static bool closed();
};

}  // namespace vk
