// What the socket watch session tests share: a delegate that records, two sides of a link, and
// the fixture that makes their configurations.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Watch/WatchFrame.h"
#include "gtest/gtest.h"

namespace vk::test::watch_session {

using namespace std::chrono_literals;
using Role = WatchSessionConfiguration::Role;
using Bytes = std::vector<std::uint8_t>;

// Records every delegate call; answers messages that expect a reply as `answer` says.
class Recorder : public WatchSessionDelegate {
  public:
    enum class Answer { Echo, Drop, Keep };

    void activationDidComplete(WatchSession&, WatchActivationState state,
                               const std::optional<WatchSessionError>& error) override {
        record([&] { activations.emplace_back(state, error); });
    }
    void sessionDidBecomeInactive(WatchSession&) override {
        record([&] { events.push_back("inactive"); });
    }
    void sessionDidDeactivate(WatchSession&) override {
        record([&] { events.push_back("deactivated"); });
    }
    void sessionReachabilityDidChange(WatchSession& session) override {
        bool reachable = session.isReachable();
        record([&] { reachability.push_back(reachable); });
    }
    void sessionWatchStateDidChange(WatchSession&) override {
        record([&] { ++watchStateChanges; });
    }
    void didReceiveMessage(WatchSession&, const PlistDictionary& message) override {
        record([&] { messages.push_back(message); });
    }
    void didReceiveMessage(WatchSession&, const PlistDictionary& message,
                           WatchReplyHandler reply) override {
        Answer how = answer.load();
        record([&] {
            messagesWithReply.push_back(message);
            if (how == Answer::Keep)
                kept.push_back(reply);
        });
        if (how == Answer::Echo)
            reply(message);
    }
    void didReceiveApplicationContext(WatchSession&, const PlistDictionary& context) override {
        record([&] { contexts.push_back(context); });
    }
    void didReceiveUserInfo(WatchSession&, const PlistDictionary& info) override {
        record([&] { userInfos.push_back(info); });
    }
    void didFinishUserInfoTransfer(WatchSession&, const WatchUserInfoTransfer& transfer,
                                   const std::optional<WatchSessionError>& error) override {
        record([&] { finished.emplace_back(transfer.identifier, error); });
    }

    template <class F>
    void record(F f) {
        std::lock_guard lock(mutex);
        f();
        changed.notify_all();
    }
    bool waitUntil(const std::function<bool()>& predicate,
                   std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }

    WatchReplyHandler keptHandler(std::size_t i) {
        std::lock_guard lock(mutex);
        return kept.at(i);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<Answer> answer{Answer::Echo};
    std::vector<std::pair<WatchActivationState, std::optional<WatchSessionError>>> activations;
    std::vector<std::string> events;
    std::vector<bool> reachability;
    int watchStateChanges = 0;
    std::vector<PlistDictionary> messages;
    std::vector<PlistDictionary> messagesWithReply;
    std::vector<WatchReplyHandler> kept;
    std::vector<PlistDictionary> contexts;
    std::vector<PlistDictionary> userInfos;
    std::vector<std::pair<std::uint64_t, std::optional<WatchSessionError>>> finished;
};

// A message's outcome: how often each handler ran, and with what.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    int replies = 0;
    int errors = 0;
    PlistDictionary reply;
    std::optional<WatchSessionError> error;

    WatchReplyHandler replyHandler() {
        return [this](const PlistDictionary& r) {
            std::lock_guard lock(mutex);
            ++replies;
            reply = r;
            changed.notify_all();
        };
    }
    WatchErrorHandler errorHandler() {
        return [this](const WatchSessionError& e) {
            std::lock_guard lock(mutex);
            ++errors;
            error = e;
            changed.notify_all();
        };
    }
    bool waitForAny(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return replies + errors > 0; });
    }
    int total() {
        std::lock_guard lock(mutex);
        return replies + errors;
    }
};

struct Side {
    std::shared_ptr<SocketWatchSession> session;
    std::shared_ptr<Recorder> events = std::make_shared<Recorder>();

    Side() = default;
    Side(const Side&) = delete;
    // Deactivating leaves the state directory to the next session at once; a block of the
    // session's queue may still hold the object a moment longer.
    ~Side() { stop(); }
    void stop() {
        if (session)
            session->deactivate();
        std::weak_ptr<SocketWatchSession> gone = session;
        session.reset();
        for (int i = 0; i < 1000 && !gone.expired(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    void start(const WatchSessionConfiguration& configuration) {
        session = SocketWatchSession::make(configuration);
        session->setDelegate(events);
        session->activate();
        ASSERT_TRUE(events->waitUntil([&] { return !events->activations.empty(); }));
        ASSERT_EQ(events->activations.back().first, WatchActivationState::activated)
            << events->activations.back().second->description();
    }
};

class SocketWatchSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::makeTempDir("w");
        socket_ = dir_ / "run" / "watch.sock";
    }

    WatchSessionConfiguration config(Role role, const std::string& name) const {
        WatchSessionConfiguration c;
        c.role = role;
        c.socketPath = socket_;
        c.stateDirectory = dir_ / name;
        c.reconnectInterval = 20ms;
        c.replyTimeout = 5s;
        c.handshakeTimeout = 2s;
        return c;
    }

    static bool bothReachable(Side& a, Side& b) {
        return a.events->waitUntil([&] { return a.session->isReachable(); }) &&
               b.events->waitUntil([&] { return b.session->isReachable(); });
    }

    // A raw client on the Unix socket that has read the listener's hello and sent its own.
    int rawClient(bool sendHello = true) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket_.c_str());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return -1;
        timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (sendHello) {
            WatchWireFrame hello;
            hello.session = "00112233445566778899aabbccddeeff";
            sendValue(fd, hello.toValue());
        }
        return fd;
    }
    static void sendBytes(int fd, const Bytes& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    static void sendValue(int fd, const PlistValue& value) {
        Bytes framed;
        auto body = encodeBinaryPlist(value, PlistLimits{200, 1 << 20}).value();
        appendFrame(framed, body.data(), body.size());
        sendBytes(fd, framed);
    }
    // Reads until the peer closes the link; true when it did within the timeout. `heard` counts
    // the bytes read meanwhile.
    static bool closedByPeer(int fd, std::size_t* heard = nullptr) {
        std::uint8_t buffer[4096];
        while (true) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0)
                return true;
            if (n < 0)
                return false;  // timed out (SO_RCVTIMEO) or failed
            if (heard != nullptr)
                *heard += static_cast<std::size_t>(n);
        }
    }

    std::filesystem::path dir_;
    std::filesystem::path socket_;
};

}  // namespace vk::test::watch_session
