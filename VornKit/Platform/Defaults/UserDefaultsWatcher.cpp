#include "VornKit/Platform/Defaults/UserDefaultsWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vk {

UserDefaultsWatcher::UserDefaultsWatcher(const std::filesystem::path& file,
                                         std::function<void()> changed)
    : name_(file.filename().string()), changed_(std::move(changed)) {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotify_ < 0 || wake_ < 0)
        return;
    // Writers replace the file by renaming a finished temporary file over it; editors may also
    // write it in place or delete it.
    constexpr std::uint32_t kEvents =
        IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
    if (::inotify_add_watch(inotify_, file.parent_path().c_str(), kEvents) < 0)
        return;
    thread_ = std::thread([this] { run(); });
}

UserDefaultsWatcher::~UserDefaultsWatcher() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (inotify_ >= 0)
        ::close(inotify_);
    if (wake_ >= 0)
        ::close(wake_);
}

void UserDefaultsWatcher::run() {
    alignas(struct inotify_event) char buffer[8192];
    while (true) {
        struct pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        bool ours = false;
        while (true) {
            ssize_t n = ::read(inotify_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
                if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && name_ == event->name)) {
                    ours = true;
                }
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
        if (ours)
            changed_();
    }
}

}  // namespace vk
