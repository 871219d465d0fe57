#include "VornKit/Platform/Watch/SocketWatchSession.h"

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

namespace vk {
namespace {

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

TEST_F(SocketWatchSessionTest, ActivatesConnectsAndCarriesMessagesBothWays) {
    Side phone;
    phone.start(config(Role::listener, "phone"));
    // Only the user: the socket's directory is 0700 and the socket 0600.
    struct stat st {};
    ASSERT_EQ(::stat(socket_.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(socket_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Nobody there yet: not reachable, and a message fails at once with that.
    EXPECT_FALSE(phone.session->isReachable());
    EXPECT_FALSE(phone.session->isPaired());
    Outcome early;
    phone.session->sendMessage({{"a", 1}}, early.replyHandler(), early.errorHandler());
    ASSERT_TRUE(early.waitForAny());
    EXPECT_EQ(early.error->code, WatchSessionErrorCode::notReachable);

    Side watch;
    watch.start(config(Role::connector, "watch"));
    ASSERT_TRUE(bothReachable(phone, watch));
    EXPECT_EQ(phone.session->counterpartSessionId(), watch.session->sessionId());
    EXPECT_EQ(watch.session->counterpartSessionId(), phone.session->sessionId());
    EXPECT_TRUE(phone.session->isPaired());
    ASSERT_TRUE(phone.events->waitUntil([&] { return phone.events->watchStateChanges == 1; }));

    // With a reply: dates stay dates and data stays data.
    PlistDictionary request{
        {"command", "getCredentials"},
        {"timestamp", PlistValue::Date(std::chrono::microseconds(1714557600123456))},
        {"credentialsData", PlistValue::Data{'{', '}'}}};
    Outcome asked;
    watch.session->sendMessage(request, asked.replyHandler(), asked.errorHandler());
    ASSERT_TRUE(asked.waitForAny());
    EXPECT_EQ(asked.replies, 1);
    EXPECT_EQ(asked.errors, 0);
    EXPECT_EQ(asked.reply, request);

    // Without a reply, from the listener's side this time.
    Outcome told;
    phone.session->sendMessage({{"command", "plyabackStateUpdate"}}, nullptr, told.errorHandler());
    ASSERT_TRUE(watch.events->waitUntil([&] { return watch.events->messages.size() == 1; }));
    EXPECT_EQ(watch.events->messages[0], (PlistDictionary{{"command", "plyabackStateUpdate"}}));
    // A round trip later the delivery notice has long arrived: no error was reported.
    Outcome after;
    phone.session->sendMessage({{"x", 1}}, after.replyHandler(), after.errorHandler());
    ASSERT_TRUE(after.waitForAny());
    EXPECT_EQ(after.replies, 1);
    EXPECT_EQ(told.total(), 0);

    // The listener going away: the connector becomes unreachable and comes back when it does.
    phone.stop();
    ASSERT_TRUE(watch.events->waitUntil([&] { return !watch.session->isReachable(); }));
    Side again;
    again.start(config(Role::listener, "phone"));
    ASSERT_TRUE(bothReachable(again, watch));
    EXPECT_EQ(again.events->watchStateChanges, 0);  // the same counterpart as before
}

TEST_F(SocketWatchSessionTest, EachMessageEndsInExactlyOneReplyOrError) {
    Side phone;
    phone.start(config(Role::listener, "phone"));
    auto quick = config(Role::connector, "watch");
    quick.replyTimeout = 300ms;
    Side watch;
    watch.start(quick);
    ASSERT_TRUE(bothReachable(phone, watch));

    // The receiver drops the reply handler: "reply failed" at once.
    phone.events->answer = Recorder::Answer::Drop;
    Outcome dropped;
    watch.session->sendMessage({{"n", 1}}, dropped.replyHandler(), dropped.errorHandler());
    ASSERT_TRUE(dropped.waitForAny(2s));
    EXPECT_EQ(dropped.error->code, WatchSessionErrorCode::messageReplyFailed);

    // The receiver answers twice: the first answer counts.
    phone.events->answer = Recorder::Answer::Keep;
    Outcome twice;
    watch.session->sendMessage({{"n", 2}}, twice.replyHandler(), twice.errorHandler());
    ASSERT_TRUE(phone.events->waitUntil([&] { return phone.events->kept.size() == 1; }));
    phone.events->keptHandler(0)({{"answer", 1}});
    phone.events->keptHandler(0)({{"answer", 2}});
    ASSERT_TRUE(twice.waitForAny());

    // The receiver never answers: a timeout, and an answer after it changes nothing.
    Outcome late;
    watch.session->sendMessage({{"n", 3}}, late.replyHandler(), late.errorHandler());
    ASSERT_TRUE(late.waitForAny(5s));
    EXPECT_EQ(late.error->code, WatchSessionErrorCode::messageReplyTimedOut);
    ASSERT_TRUE(phone.events->waitUntil([&] { return phone.events->kept.size() == 2; }));
    phone.events->keptHandler(1)({{"answer", 3}});

    // The receiver has no delegate: "reply failed".
    phone.session->setDelegate(std::weak_ptr<WatchSessionDelegate>());
    Outcome orphan;
    watch.session->sendMessage({{"n", 4}}, orphan.replyHandler(), orphan.errorHandler());
    ASSERT_TRUE(orphan.waitForAny(2s));
    EXPECT_EQ(orphan.error->code, WatchSessionErrorCode::messageReplyFailed);
    phone.session->setDelegate(phone.events);

    // The link breaks while the reply is awaited.
    watch.session->sendMessage({{"n", 5}}, nullptr, nullptr);  // no handlers at all is fine
    Outcome broken;
    watch.session->sendMessage({{"n", 6}}, broken.replyHandler(), broken.errorHandler());
    ASSERT_TRUE(phone.events->waitUntil([&] { return phone.events->kept.size() == 3; }));
    phone.session->deactivate();
    ASSERT_TRUE(broken.waitForAny());
    EXPECT_EQ(broken.error->code, WatchSessionErrorCode::deliveryFailed);
    phone.events->keptHandler(2)({{"too", "late"}});

    // Give stray second calls time to show, then count.
    std::this_thread::sleep_for(200ms);
    std::lock_guard lock(twice.mutex);
    EXPECT_EQ(twice.replies, 1);
    EXPECT_EQ(twice.reply, (PlistDictionary{{"answer", 1}}));
    for (Outcome* o : {&dropped, &late, &orphan, &broken})
        EXPECT_EQ(o->total(), 1);
    EXPECT_EQ(twice.errors, 0);
}

TEST_F(SocketWatchSessionTest, AnInactiveSessionSendsNothingAndReactivates) {
    auto session = SocketWatchSession::make(config(Role::listener, "phone"));
    auto events = std::make_shared<Recorder>();
    session->setDelegate(events);
    EXPECT_EQ(session->activationState(), WatchActivationState::notActivated);
    Outcome outcome;
    session->sendMessage({{"a", 1}}, outcome.replyHandler(), outcome.errorHandler());
    ASSERT_TRUE(outcome.waitForAny());
    EXPECT_EQ(outcome.error->code, WatchSessionErrorCode::sessionNotActivated);
    auto error = session->updateApplicationContext({{"a", 1}});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, WatchSessionErrorCode::sessionNotActivated);
    session->transferUserInfo({{"a", 1}});
    ASSERT_TRUE(events->waitUntil([&] { return events->finished.size() == 1; }));
    EXPECT_EQ(events->finished[0].second->code, WatchSessionErrorCode::sessionNotActivated);
    EXPECT_TRUE(session->outstandingUserInfoTransfers().empty());

    session->activate();
    session->deactivate();
    ASSERT_TRUE(events->waitUntil([&] { return events->events.size() == 2; }));
    EXPECT_EQ(events->events, (std::vector<std::string>{"inactive", "deactivated"}));
    EXPECT_EQ(session->activationState(), WatchActivationState::notActivated);
    EXPECT_FALSE(std::filesystem::exists(socket_));  // its socket file is gone with it
    session->activate();
    ASSERT_TRUE(events->waitUntil([&] { return events->activations.size() == 2; }));
    EXPECT_EQ(events->activations[1].first, WatchActivationState::activated);
}

TEST_F(SocketWatchSessionTest, ActivationReportsWhyItFailed) {
    Side phone;
    phone.start(config(Role::listener, "phone"));
    // A second listener on the same socket.
    auto second = SocketWatchSession::make(config(Role::listener, "other"));
    auto events = std::make_shared<Recorder>();
    second->setDelegate(events);
    second->activate();
    ASSERT_TRUE(events->waitUntil([&] { return !events->activations.empty(); }));
    EXPECT_EQ(events->activations[0].first, WatchActivationState::notActivated);
    EXPECT_EQ(events->activations[0].second->code, WatchSessionErrorCode::genericError);
    // A state directory another process (or session) holds.
    auto sharing = SocketWatchSession::make(config(Role::connector, "phone"));
    sharing->setDelegate(events);
    sharing->activate();
    ASSERT_TRUE(events->waitUntil([&] { return events->activations.size() == 2; }));
    EXPECT_EQ(events->activations[1].second->code, WatchSessionErrorCode::fileAccessDenied);
    // TCP without a pairing key.
    auto tcp = config(Role::listener, "tcp");
    tcp.tcpHost = "127.0.0.1";
    tcp.pairingKeyFile = dir_ / "missing.key";
    auto unpaired = SocketWatchSession::make(tcp);
    unpaired->setDelegate(events);
    unpaired->activate();
    ASSERT_TRUE(events->waitUntil([&] { return events->activations.size() == 3; }));
    EXPECT_EQ(events->activations[2].second->code, WatchSessionErrorCode::notPaired);

    // The failed sessions live on, yet leave their state directories to the next session.
    Side watch;
    watch.start(config(Role::connector, "other"));
    ASSERT_TRUE(bothReachable(phone, watch));
    Side later;
    later.start(config(Role::connector, "tcp"));
}

TEST_F(SocketWatchSessionTest, ActivateAndDeactivateFromTwoThreadsLeaveOneWorkingSession) {
    Side phone;
    phone.session = SocketWatchSession::make(config(Role::listener, "phone"));
    phone.session->setDelegate(phone.events);
    auto toggle = [&] {
        for (int i = 0; i < 40; ++i) {
            phone.session->activate();
            phone.session->deactivate();
        }
    };
    std::thread other(toggle);
    toggle();
    other.join();
    EXPECT_EQ(phone.session->activationState(), WatchActivationState::notActivated);
    EXPECT_FALSE(std::filesystem::exists(socket_));

    // Each activate() is answered once.
    ASSERT_TRUE(phone.events->waitUntil([&] { return phone.events->activations.size() == 80; }));
    phone.session->deactivate();
    phone.session->activate();
    ASSERT_TRUE(phone.events->waitUntil([&] { return phone.events->activations.size() == 81; }));
    ASSERT_EQ(phone.events->activations.back().first, WatchActivationState::activated);
    Side watch;
    watch.start(config(Role::connector, "watch"));
    ASSERT_TRUE(bothReachable(phone, watch));
    Outcome asked;
    watch.session->sendMessage({{"a", 1}}, asked.replyHandler(), asked.errorHandler());
    ASSERT_TRUE(asked.waitForAny());
    EXPECT_EQ(asked.replies, 1);
}

TEST_F(SocketWatchSessionTest, ApplicationContextLatestWinsKeptOnDiskAcrossRestarts) {
    {
        Side phone;
        phone.start(config(Role::listener, "phone"));
        EXPECT_FALSE(phone.session->updateApplicationContext({{"song", "first"}}));
        EXPECT_FALSE(phone.session->updateApplicationContext({{"song", "second"}}));
        auto tooDeep = PlistValue(PlistDictionary{});
        for (int i = 0; i < 40; ++i)
            tooDeep = PlistValue::Array{tooDeep};
        auto refused = phone.session->updateApplicationContext({{"deep", tooDeep}});
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->code, WatchSessionErrorCode::payloadUnsupportedTypes);
    }
    // The phone restarts before the watch ever connects: the latest context is still there.
    Side phone;
    phone.start(config(Role::listener, "phone"));
    EXPECT_EQ(phone.session->applicationContext(), (PlistDictionary{{"song", "second"}}));
    {
        Side watch;
        watch.start(config(Role::connector, "watch"));
        ASSERT_TRUE(watch.events->waitUntil([&] { return watch.events->contexts.size() == 1; }));
        EXPECT_EQ(watch.events->contexts[0], (PlistDictionary{{"song", "second"}}));
        EXPECT_EQ(watch.session->receivedApplicationContext(), watch.events->contexts[0]);
    }
    // The watch restarts: the same context is not handed over again, a newer one is.
    Side watch;
    watch.start(config(Role::connector, "watch"));
    ASSERT_TRUE(bothReachable(phone, watch));
    EXPECT_EQ(watch.session->receivedApplicationContext(), (PlistDictionary{{"song", "second"}}));
    EXPECT_FALSE(phone.session->updateApplicationContext({{"song", "third"}}));
    ASSERT_TRUE(watch.events->waitUntil([&] { return !watch.events->contexts.empty(); }));
    EXPECT_EQ(watch.events->contexts, (std::vector<PlistDictionary>{{{"song", "third"}}}));
}

TEST_F(SocketWatchSessionTest, UserInfoIsQueuedOnDiskAndHandedOverOnceInOrder) {
    const int count = 40;
    {
        Side phone;
        phone.start(config(Role::listener, "phone"));
        for (int n = 1; n <= count; ++n) {
            auto transfer = phone.session->transferUserInfo({{"n", n}});
            EXPECT_EQ(transfer->identifier, static_cast<std::uint64_t>(n));
        }
        EXPECT_EQ(phone.session->outstandingUserInfoTransfers().size(),
                  static_cast<std::size_t>(count));
    }
    Side phone;
    phone.start(config(Role::listener, "phone"));
    EXPECT_EQ(phone.session->outstandingUserInfoTransfers().size(),
              static_cast<std::size_t>(count));
    {
        Side watch;
        watch.start(config(Role::connector, "watch"));
        ASSERT_TRUE(watch.events->waitUntil(
            [&] { return watch.events->userInfos.size() == static_cast<std::size_t>(count); }));
        for (int n = 1; n <= count; ++n)
            EXPECT_EQ(*watch.events->userInfos[n - 1].at("n").integer(), n);
        ASSERT_TRUE(phone.events->waitUntil(
            [&] { return phone.events->finished.size() == static_cast<std::size_t>(count); }));
        EXPECT_TRUE(phone.session->outstandingUserInfoTransfers().empty());
        for (const auto& [id, error] : phone.events->finished)
            EXPECT_FALSE(error);
    }
    // Both come back: nothing is handed over again, and new transfers still flow.
    Side watch;
    watch.start(config(Role::connector, "watch"));
    ASSERT_TRUE(bothReachable(phone, watch));
    phone.session->transferUserInfo({{"n", count + 1}});
    ASSERT_TRUE(watch.events->waitUntil([&] { return !watch.events->userInfos.empty(); }));
    ASSERT_EQ(watch.events->userInfos.size(), 1u);
    EXPECT_EQ(*watch.events->userInfos[0].at("n").integer(), count + 1);
}

// --- A counterpart in a process of its own, killed with SIGKILL mid-stream ---------------------

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

pid_t startPeer(const std::vector<std::string>& arguments) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        std::string program = VK_WATCH_PEER;
        argv.push_back(program.data());
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

void killPeer(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

std::vector<long> numbersIn(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<long> out;
    std::string line;
    while (std::getline(in, line))
        out.push_back(line == "?" ? -1 : std::stol(line));
    return out;
}

// What differs from 1..count: numbers missing, repeated or out of place.
std::string differences(const std::vector<long>& got, long count) {
    std::map<long, int> seen;
    std::string out;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (++seen[got[i]] > 1)
            out += " repeated " + std::to_string(got[i]) + " at line " + std::to_string(i + 1);
        else if (got[i] != static_cast<long>(i + 1) && out.size() < 400)
            out += " " + std::to_string(got[i]) + " at line " + std::to_string(i + 1);
    }
    for (long n = 1; n <= count; ++n) {
        if (seen.count(n) == 0)
            out += " missing " + std::to_string(n);
    }
    return out;
}

std::vector<long> oneTo(long count) {
    std::vector<long> out;
    for (long n = 1; n <= count; ++n)
        out.push_back(n);
    return out;
}

TEST_F(SocketWatchSessionTest, TransfersSurviveKillingTheReceiverMidStream) {
    const long count = 200;
    Side phone;
    phone.start(config(Role::listener, "phone"));
    for (long n = 1; n <= count; ++n)
        phone.session->transferUserInfo({{"n", n}, {"pad", PlistValue::Data(256, 1)}});
    auto out = dir_ / "received.txt";
    std::vector<std::string> arguments = {"receive", socket_.string(), (dir_ / "watch").string(),
                                          out.string()};
    for (long killAt : {30L, 80L, 130L}) {
        pid_t peer = startPeer(arguments);
        ASSERT_GT(peer, 0);
        bool reached =
            waitFor([&] { return numbersIn(out).size() >= static_cast<std::size_t>(killAt); }, 30s);
        killPeer(peer);
        ASSERT_TRUE(reached) << "the receiver got " << numbersIn(out).size();
    }
    pid_t peer = startPeer(arguments);
    bool done = waitFor([&] { return phone.session->outstandingUserInfoTransfers().empty(); }, 60s);
    // Once the queue is empty every transfer was handed over; wait for the last lines.
    waitFor([&] { return numbersIn(out).size() >= count; }, 5s);
    killPeer(peer);
    ASSERT_TRUE(done);
    EXPECT_EQ(numbersIn(out), oneTo(count)) << differences(numbersIn(out), count);
}

TEST_F(SocketWatchSessionTest, TransfersSurviveKillingTheSenderMidStream) {
    const long count = 200;
    auto state = dir_ / "watch";
    // The sender queues everything while nobody listens, then the phone comes up.
    pid_t peer = startPeer({"send", socket_.string(), state.string(), std::to_string(count)});
    ASSERT_GT(peer, 0);
    bool queued = waitFor([&] { return std::filesystem::exists(state / "queued"); }, 60s);
    if (!queued)
        killPeer(peer);
    ASSERT_TRUE(queued);
    Side phone;
    phone.start(config(Role::listener, "phone"));
    bool reached =
        phone.events->waitUntil([&] { return phone.events->userInfos.size() >= 70; }, 30s);
    killPeer(peer);
    ASSERT_TRUE(reached);
    peer = startPeer({"send", socket_.string(), state.string(), "0"});
    int status = -1;
    bool exited = waitFor([&] { return ::waitpid(peer, &status, WNOHANG) == peer; }, 60s);
    if (!exited)
        killPeer(peer);
    ASSERT_TRUE(exited && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<long> got;
    {
        std::lock_guard lock(phone.events->mutex);
        for (const auto& info : phone.events->userInfos)
            got.push_back(static_cast<long>(*info.at("n").integer()));
    }
    EXPECT_EQ(got.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(got, oneTo(count)) << differences(got, count);
}

// --- Peers that misbehave -------------------------------------------------------------------

TEST_F(SocketWatchSessionTest, APeerSendingWhatIsNotAFrameIsDisconnected) {
    auto c = config(Role::listener, "phone");
    c.maxFrameSize = 64 * 1024;
    c.handshakeTimeout = 300ms;
    Side phone;
    phone.start(c);

    auto garbage = [] {
        Bytes framed;
        Bytes body = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'};
        appendFrame(framed, body.data(), body.size());
        return framed;
    }();
    PlistValue deep = PlistDictionary{};
    for (int i = 0; i < 100; ++i)
        deep = PlistValue::Array{deep};
    std::vector<std::function<void(int)>> misdeeds = {
        [&](int fd) { sendBytes(fd, garbage); },
        [&](int fd) {
            sendBytes(fd, Bytes{0x00, 0x10, 0x00, 0x00});
        },  // 1 MiB frame announced
        [&](int fd) {
            WatchWireFrame m;
            m.type = WatchWireFrame::Type::Message;
            m.body = {{"deep", deep}};
            sendValue(fd, m.toValue());
        },
        [&](int fd) {
            sendValue(fd, PlistDictionary{{"type", "message"}, {"number", "one"}});
        },
        [&](int fd) {
            WatchWireFrame hello;
            hello.session = "00112233445566778899aabbccddeeff";
            sendValue(fd, hello.toValue());  // a second hello
        },
    };
    for (std::size_t i = 0; i < misdeeds.size(); ++i) {
        int fd = rawClient();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(phone.events->waitUntil([&] { return phone.session->isReachable(); }));
        misdeeds[i](fd);
        EXPECT_TRUE(closedByPeer(fd)) << "misdeed " << i;
        ::close(fd);
        ASSERT_TRUE(phone.events->waitUntil([&] { return !phone.session->isReachable(); }));
    }
    // One that stops in the middle of a frame, and one that never says hello.
    int fd = rawClient();
    sendBytes(fd, Bytes{0x00, 0x00, 0x01, 0x00, 'b', 'p'});
    ::close(fd);
    int silent = rawClient(false);
    EXPECT_TRUE(closedByPeer(silent));  // after the handshake timeout
    ::close(silent);
    EXPECT_TRUE(phone.events->messages.empty());
    EXPECT_TRUE(phone.events->messagesWithReply.empty());

    // The session still serves a well-behaved counterpart.
    Side watch;
    watch.start(config(Role::connector, "watch"));
    Outcome outcome;
    ASSERT_TRUE(watch.events->waitUntil([&] { return watch.session->isReachable(); }));
    watch.session->sendMessage({{"ok", true}}, outcome.replyHandler(), outcome.errorHandler());
    ASSERT_TRUE(outcome.waitForAny());
    EXPECT_EQ(outcome.replies, 1);
}

TEST_F(SocketWatchSessionTest, OversizedPayloadsAreRefusedAtTheSender) {
    auto c = config(Role::listener, "phone");
    c.maxFrameSize = 4096;
    Side phone;
    phone.start(c);
    auto w = config(Role::connector, "watch");
    w.maxFrameSize = 4096;
    Side watch;
    watch.start(w);
    ASSERT_TRUE(bothReachable(phone, watch));
    PlistDictionary big{{"blob", PlistValue::Data(8192, 0)}};
    Outcome outcome;
    watch.session->sendMessage(big, outcome.replyHandler(), outcome.errorHandler());
    ASSERT_TRUE(outcome.waitForAny());
    EXPECT_EQ(outcome.error->code, WatchSessionErrorCode::payloadTooLarge);
    EXPECT_EQ(watch.session->updateApplicationContext(big)->code,
              WatchSessionErrorCode::payloadTooLarge);
    watch.session->transferUserInfo(big);
    ASSERT_TRUE(watch.events->waitUntil([&] { return watch.events->finished.size() == 1; }));
    EXPECT_EQ(watch.events->finished[0].second->code, WatchSessionErrorCode::payloadTooLarge);
    EXPECT_TRUE(watch.session->isReachable());  // the link itself is fine
}

// --- TCP, paired ------------------------------------------------------------------------------

TEST_F(SocketWatchSessionTest, PairedTcpLinkCarriesMessagesAndRefusesAnUnpairedPeer) {
    std::string error;
    auto key = dir_ / "pair.key";
    auto otherKey = dir_ / "other.key";
    ASSERT_TRUE(createWatchPairingKey(key, error)) << error;
    ASSERT_TRUE(createWatchPairingKey(otherKey, error)) << error;

    auto listen = config(Role::listener, "phone");
    listen.tcpHost = "127.0.0.1";
    listen.tcpPort = 0;
    listen.pairingKeyFile = key;
    Side phone;
    phone.start(listen);
    std::uint16_t port = phone.session->boundPort();
    ASSERT_NE(port, 0);

    // A peer with another key: refused, nothing delivered, never reachable.
    auto wrong = config(Role::connector, "stranger");
    wrong.tcpHost = "127.0.0.1";
    wrong.tcpPort = port;
    wrong.pairingKeyFile = otherKey;
    wrong.reconnectInterval = 200ms;
    Side stranger;
    stranger.start(wrong);
    stranger.session->transferUserInfo({{"n", 1}});
    EXPECT_FALSE(stranger.events->waitUntil([&] { return stranger.session->isReachable(); }, 1s));
    EXPECT_FALSE(phone.session->isReachable());
    EXPECT_TRUE(phone.events->userInfos.empty());
    stranger.session.reset();

    // A raw client that speaks the handshake without the key hears a public key and nothing
    // more: the listener never sends it a stream header or a sealed frame.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    WatchPairingKey guess;
    WatchLinkCipher cipher(guess, true);
    sendBytes(fd, cipher.hello());
    Bytes heard;
    std::uint8_t buffer[256];
    while (heard.size() < WatchLinkCipher::kHelloSize) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        heard.insert(heard.end(), buffer, buffer + n);
    }
    ASSERT_TRUE(cipher.acceptPeerHello(heard.data()));
    Bytes opening = cipher.header();
    WatchWireFrame hello;
    hello.session = "00112233445566778899aabbccddeeff";
    auto body = encodeBinaryPlist(hello.toValue()).value();
    auto sealed = cipher.seal(body.data(), body.size());
    appendFrame(opening, sealed.data(), sealed.size());
    sendBytes(fd, opening);
    std::size_t more = 0;
    EXPECT_TRUE(closedByPeer(fd, &more));
    EXPECT_EQ(heard.size(), WatchLinkCipher::kHelloSize);
    EXPECT_EQ(more, 0u);
    ::close(fd);

    // The paired watch.
    auto paired = config(Role::connector, "watch");
    paired.tcpHost = "127.0.0.1";
    paired.tcpPort = port;
    paired.pairingKeyFile = key;
    Side watch;
    watch.start(paired);
    ASSERT_TRUE(bothReachable(phone, watch));
    Outcome outcome;
    PlistDictionary request{{"command", "getCredentials"}, {"data", PlistValue::Data(100000, 7)}};
    watch.session->sendMessage(request, outcome.replyHandler(), outcome.errorHandler());
    ASSERT_TRUE(outcome.waitForAny());
    ASSERT_EQ(outcome.replies, 1);
    EXPECT_EQ(outcome.reply, request);
    phone.session->transferUserInfo({{"n", 2}});
    ASSERT_TRUE(watch.events->waitUntil([&] { return watch.events->userInfos.size() == 1; }));
}

// Connections that open and then say nothing fill the listener's handshake slots; the paired
// watch still gets in, and the idlers it displaces (oldest first) are closed.
TEST_F(SocketWatchSessionTest, IdleUnprovenConnectionsCannotKeepAPairedPeerOut) {
    std::string error;
    auto key = dir_ / "pair.key";
    ASSERT_TRUE(createWatchPairingKey(key, error)) << error;
    auto listen = config(Role::listener, "phone");
    listen.tcpHost = "127.0.0.1";
    listen.pairingKeyFile = key;
    listen.handshakeTimeout = 120s;  // the idlers would hold their slots for the whole test
    Side phone;
    phone.start(listen);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(phone.session->boundPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> idlers;
    for (int i = 0; i < 12; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval timeout{0, 200000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        idlers.push_back(fd);
    }

    auto paired = config(Role::connector, "watch");
    paired.tcpHost = "127.0.0.1";
    paired.tcpPort = phone.session->boundPort();
    paired.pairingKeyFile = key;
    Side watch;
    watch.start(paired);
    ASSERT_TRUE(bothReachable(phone, watch));

    // Twelve idlers and the watch through eight slots: at least the five oldest idlers were
    // closed, oldest first, and the newest still waits.
    std::vector<bool> closed;
    for (int fd : idlers) {
        closed.push_back(closedByPeer(fd));
        ::close(fd);
    }
    const auto evicted = std::count(closed.begin(), closed.end(), true);
    EXPECT_GE(evicted, 5);
    EXPECT_FALSE(closed.back());
    for (std::size_t i = 0; i < closed.size(); ++i)
        EXPECT_EQ(closed[i], static_cast<long>(i) < evicted) << "idler " << i;
}

}  // namespace
}  // namespace vk
