#include "VornKit/GLib/MainQueueSource.h"

#include <glib-unix.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

namespace {

// Whether a MainQueueSource is attached (the wake handler is one per process).
std::atomic<bool> gAttached{false};

gboolean serviceMainQueue(gint fd, GIOCondition, gpointer) {
    // Read first: a block added while the others run writes the eventfd again and is picked up by
    // the next dispatch.
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    RunLoop::main().drain();
    return G_SOURCE_CONTINUE;
}

}  // namespace

/// The eventfd the wake handler writes. Shared with the handler, so that a wake already under way
/// on another thread when the source goes still writes to an open descriptor.
struct MainQueueSource::Waker {
    int fd = -1;
    ~Waker() {
        if (fd >= 0)
            ::close(fd);
    }
    void wake() const {
        const std::uint64_t one = 1;
        // A full counter (never in practice) already means "wake"; nothing else can fail here.
        while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
};

std::unique_ptr<MainQueueSource> MainQueueSource::attach(GMainContext* context, int priority,
                                                         std::string* error) {
    bool expected = false;
    if (!gAttached.compare_exchange_strong(expected, true)) {
        if (error)
            *error = "another MainQueueSource is attached";
        return nullptr;
    }
    auto waker = std::make_shared<Waker>();
    waker->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (waker->fd < 0) {
        if (error)
            *error = std::string("eventfd: ") + std::strerror(errno);
        gAttached = false;
        return nullptr;
    }
    if (context == nullptr)
        context = g_main_context_default();
    GSource* source = g_unix_fd_source_new(waker->fd, G_IO_IN);
    g_source_set_priority(source, priority);
    g_source_set_can_recurse(source, FALSE);
    g_source_set_name(source, "VornKit main queue");
    g_source_set_callback(source, G_SOURCE_FUNC(serviceMainQueue), nullptr, nullptr);
    g_source_attach(source, context);
    RunLoop::setWakeHandler([waker] { waker->wake(); });
    // Blocks queued before the source existed run at the first iteration.
    waker->wake();
    return std::unique_ptr<MainQueueSource>(new MainQueueSource(waker, source, context));
}

MainQueueSource::MainQueueSource(std::shared_ptr<Waker> waker, GSource* source,
                                 GMainContext* context)
    : waker_(std::move(waker)), source_(source), context_(g_main_context_ref(context)) {}

MainQueueSource::~MainQueueSource() {
    RunLoop::setWakeHandler(nullptr);
    g_source_destroy(source_);
    g_source_unref(source_);
    g_main_context_unref(context_);
    gAttached = false;
}

GMainContext* MainQueueSource::context() const {
    return context_;
}

}  // namespace vk
