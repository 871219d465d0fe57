// MainQueueSource: services the framework's main queue (DispatchQueue::main()) from a GLib main
// context, so that a GTK or other GLib host runs its own main loop (g_main_loop_run(),
// g_application_run()) instead of RunLoop::main().run(), and main-queue blocks run on the thread
// that runs that context, between its other events.
//
// Without polling: the source watches an eventfd that the main queue's wake handler
// (RunLoop::setWakeHandler) writes whenever a block is added to the queue, from whatever thread;
// a delayed block wakes it when it is due. While the queue is empty the context sleeps as long as
// its other sources let it. Each dispatch runs the blocks that were queued when it started
// (RunLoop::drain()); blocks they post run in a later dispatch, so the context's other sources
// get their turn in between. The source does not recurse: a block that iterates the context
// itself (a nested loop) sees no further main-queue blocks until it returns.
//
// One source at a time: it owns the main queue's wake handler while attached. After the source is
// detached (destroyed) no block runs from it; blocks still queued wait for whoever services the
// main queue next.
//
// Thread rule: attach() and the destructor run on the thread that runs `context` (for the
// default context, normally the process's main thread). Main-queue blocks then run there.
// Ownership: the host owns the returned object; destroying it detaches the source.
#pragma once

#include <glib.h>

#include <memory>
#include <string>

#include "VornKit/Export.h"

namespace vk {

/// The main queue, serviced from a GLib main context while this object lives; owned by the host.
class VK_EXPORT MainQueueSource {
  public:
    /// Attaches a source that services the main queue to `context` (null: the global default
    /// context) at `priority`. Blocks already queued run at the context's next iteration. Null,
    /// with `error` set, when no eventfd can be made or another MainQueueSource is attached.
    static std::unique_ptr<MainQueueSource> attach(GMainContext* context = nullptr,
                                                   int priority = G_PRIORITY_DEFAULT,
                                                   std::string* error = nullptr);
    /// Detaches the source and gives up the main queue's wake handler.
    ~MainQueueSource();
    MainQueueSource(const MainQueueSource&) = delete;
    MainQueueSource& operator=(const MainQueueSource&) = delete;

    /// The context the source is attached to (never null).
    GMainContext* context() const;

    struct Waker;

  private:
    MainQueueSource(std::shared_ptr<Waker> waker, GSource* source, GMainContext* context);

    std::shared_ptr<Waker> waker_;
    GSource* source_;
    GMainContext* context_;
};

}  // namespace vk
