#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include "SocketWatchSessionTestSupport.h"

namespace vk::test::watch_session {
namespace {

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

}  // namespace
}  // namespace vk::test::watch_session
