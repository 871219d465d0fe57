// 10,000 interactive messages with a reply, one after another, from a connecting watch session to
// a listening one over a Unix socket in a temporary directory. Each message is a watch-link
// message's dictionary (command and date); the receiving delegate answers at once with another.
// Every round trip goes through both sessions' framing, property-list writing and reading, the
// I/O threads and the hops to each session's delegate queue.
//
// Reference, in the same run: the same two frames (length and binary property list) bounced
// between two threads over a Unix socket pair with plain write(2)/read(2), no decoding.
//
// Prints
//   "watch.round_trip messages=10000 median_us=<m> p99_us=<p> (target median < 100)
//    socket_median_us=<m> socket_p99_us=<p> ratio=<median/socket median>"
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Watch/SocketWatchSession.h"
#include "VornKit/Platform/Watch/WatchFrame.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessages = 10000;

class DroppingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

[[noreturn]] void failed(const char* what) {
    std::fprintf(stderr, "bench_watch_round_trip: %s\n", what);
    std::exit(1);
}

vk::PlistDictionary messageOf(const char* command) {
    return {{"command", command},
            {"timestamp", vk::PlistValue::Date(std::chrono::floor<std::chrono::microseconds>(
                              std::chrono::system_clock::now()))}};
}

class Answerer : public vk::WatchSessionDelegate {
  public:
    void activationDidComplete(vk::WatchSession&, vk::WatchActivationState,
                               const std::optional<vk::WatchSessionError>&) override {}
    void didReceiveMessage(vk::WatchSession&, const vk::PlistDictionary&,
                           vk::WatchReplyHandler reply) override {
        reply(answer_);
    }

  private:
    vk::PlistDictionary answer_ = messageOf("updateCredentials");
};

class Watcher : public vk::WatchSessionDelegate {
  public:
    void activationDidComplete(vk::WatchSession&, vk::WatchActivationState,
                               const std::optional<vk::WatchSessionError>&) override {}
    void sessionReachabilityDidChange(vk::WatchSession& session) override {
        std::lock_guard lock(mutex);
        reachable = session.isReachable();
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool reachable = false;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

std::vector<double> sessionRoundTrips(const std::filesystem::path& dir) {
    vk::WatchSessionConfiguration phoneConfig;
    phoneConfig.role = vk::WatchSessionConfiguration::Role::listener;
    phoneConfig.socketPath = dir / "watch.sock";
    phoneConfig.stateDirectory = dir / "phone";
    auto watchConfig = phoneConfig;
    watchConfig.role = vk::WatchSessionConfiguration::Role::connector;
    watchConfig.stateDirectory = dir / "watch";

    auto answerer = std::make_shared<Answerer>();
    auto phone = vk::SocketWatchSession::make(phoneConfig);
    phone->setDelegate(answerer);
    phone->activate();
    auto watcher = std::make_shared<Watcher>();
    auto watch = vk::SocketWatchSession::make(watchConfig);
    watch->setDelegate(watcher);
    watch->activate();
    {
        std::unique_lock lock(watcher->mutex);
        if (!watcher->changed.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return watcher->reachable; })) {
            failed("the sessions did not connect");
        }
    }

    std::vector<double> latencies;
    latencies.reserve(kMessages);
    std::mutex mutex;
    std::condition_variable done;
    const auto message = messageOf("getCredentials");
    for (int i = 0; i < kMessages; ++i) {
        bool finished = false;
        bool ok = false;
        auto start = Clock::now();
        watch->sendMessage(
            message,
            [&](const vk::PlistDictionary&) {
                std::lock_guard lock(mutex);
                finished = ok = true;
                done.notify_one();
            },
            [&](const vk::WatchSessionError&) {
                std::lock_guard lock(mutex);
                finished = true;
                done.notify_one();
            });
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return finished; });
        if (!ok)
            failed("a message failed");
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return latencies;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

bool readFrame(int fd, vk::WatchFrameReader& reader, std::vector<std::uint8_t>& body) {
    std::uint8_t buffer[4096];
    while (reader.next(body) != vk::WatchFrameReader::Status::Frame) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        reader.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

std::vector<double> socketRoundTrips() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        failed("socketpair");
    auto frameOf = [](const vk::PlistDictionary& d) {
        auto body = vk::encodeBinaryPlist(d);
        std::vector<std::uint8_t> frame;
        vk::appendFrame(frame, body->data(), body->size());
        return frame;
    };
    const auto request = frameOf(messageOf("getCredentials"));
    const auto answer = frameOf(messageOf("updateCredentials"));
    std::thread echo([&] {
        vk::WatchFrameReader reader(1 << 20);
        std::vector<std::uint8_t> body;
        for (int i = 0; i < kMessages; ++i) {
            if (!readFrame(fds[1], reader, body) || !writeAll(fds[1], answer))
                return;
        }
    });
    vk::WatchFrameReader reader(1 << 20);
    std::vector<std::uint8_t> body;
    std::vector<double> latencies;
    latencies.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i) {
        auto start = Clock::now();
        if (!writeAll(fds[0], request) || !readFrame(fds[0], reader, body))
            failed("socket pair round trip");
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return latencies;
}

}  // namespace

int main() {
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.bench";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DroppingSink>());

    char pattern[] = "/tmp/vk-watch-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        failed("mkdtemp");
    const std::filesystem::path dir(pattern);

    auto session = sessionRoundTrips(dir);
    auto socket = socketRoundTrips();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);

    double median = percentile(session, 0.5);
    double socketMedian = percentile(socket, 0.5);
    std::printf(
        "watch.round_trip messages=%d median_us=%.1f p99_us=%.1f (target median < 100) "
        "socket_median_us=%.1f socket_p99_us=%.1f ratio=%.2f\n",
        kMessages, median, percentile(session, 0.99), socketMedian, percentile(socket, 0.99),
        median / socketMedian);
    return 0;
}
