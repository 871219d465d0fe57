#include "VornKit/Platform/Http/UrlSession.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/RefServer.h"
#include "refserver/TestCertificates.h"

using namespace std::chrono_literals;
using refserver::Fault;
using refserver::FaultRule;
using refserver::RefServer;
using vk::DispatchQueue;
using vk::Url;
using vk::UrlError;
using vk::UrlRequest;
using vk::UrlResponse;
using vk::UrlSession;

namespace {

// Collects the calls of one completion handler.
struct Outcome {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;
    bool onDelegateQueue = false;
    std::optional<std::string> data;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;

    vk::DataTaskCompletionHandler handler(std::shared_ptr<DispatchQueue> queue) {
        return [this, queue](std::optional<std::string> d, std::optional<UrlResponse> r,
                             std::optional<UrlError> e) {
            std::lock_guard lock(mutex);
            ++calls;
            onDelegateQueue = queue->isCurrent();
            data = std::move(d);
            response = std::move(r);
            error = std::move(e);
            called.notify_all();
        };
    }
    bool wait() {
        std::unique_lock lock(mutex);
        return called.wait_for(lock, 20s, [&] { return calls > 0; });
    }
    int callCount() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

UrlRequest get(const std::string& base, const std::string& path) {
    return UrlRequest(*Url::parse(base + path));
}

// Runs `request` on `session` and waits for its completion.
void run(const std::shared_ptr<UrlSession>& session, UrlRequest request, Outcome& outcome) {
    session->dataTask(std::move(request), outcome.handler(session->delegateQueue()))->resume();
    ASSERT_TRUE(outcome.wait());
}

class UrlSessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new RefServer();
        server_->route("GET", "Session/Hello",
                       [](const refserver::Request&, refserver::Response& r) {
                           r.body = "hello";
                           r.contentType = "text/plain";
                           r.headers.emplace_back("X-Test", "yes");
                       });
        server_->route("HEAD", "Session/Hello",
                       [](const refserver::Request&, refserver::Response& r) {
                           r.body = "hello";
                           r.contentType = "text/plain";
                       });
        server_->route("POST", "Session/Echo",
                       [](const refserver::Request& in, refserver::Response& r) {
                           r.body = in.recorded.body;
                       });
        base_ = *server_->listen({"main", "127.0.0.1", 0, std::nullopt});
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        server_->clearFaults();
        server_->clearRequests();
        session_ = UrlSession::make();
    }
    void TearDown() override { server_->releaseHangs(); }

    static RefServer* server_;
    static std::string base_;
    std::shared_ptr<UrlSession> session_;
};

RefServer* UrlSessionTest::server_ = nullptr;
std::string UrlSessionTest::base_;

TEST_F(UrlSessionTest, GetDeliversBodyStatusAndHeadersOnTheDelegateQueue) {
    Outcome outcome;
    run(session_, get(base_, "/vorn/Session/Hello"), outcome);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.onDelegateQueue);
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.response);
    EXPECT_TRUE(outcome.response->isHttp);
    EXPECT_EQ(outcome.response->statusCode, 200);
    EXPECT_EQ(outcome.response->headers.value("x-test"), "yes");
    EXPECT_EQ(outcome.data, "hello");
}

TEST_F(UrlSessionTest, SendsMethodHeadersAndBodyAsSet) {
    UrlRequest request = get(base_, "/vorn/Session/Echo");
    request.httpMethod = "POST";
    request.setValue("first", "X-Joined");
    request.addValue("second", "x-joined");
    request.setValue("replaced", "X-Single");
    request.setValue("kept", "X-Single");
    request.setValue("application/json", "Content-Type");
    Outcome outcome;
    session_->uploadTask(request, "{\"a\":1}", outcome.handler(session_->delegateQueue()))
        ->resume();
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.data, "{\"a\":1}");
    auto recorded = server_->requestsTo("/vorn/Session/Echo");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].body, "{\"a\":1}");
    EXPECT_EQ(recorded[0].header("X-Joined"), "first,second");
    EXPECT_EQ(recorded[0].header("X-Single"), "kept");
    EXPECT_EQ(recorded[0].header("Content-Type"), "application/json");
}

TEST_F(UrlSessionTest, QueryValuesReachTheServerUnchanged) {
    auto components = vk::UrlComponents::parse(base_ + "/vorn/Session/Hello");
    std::vector<vk::UrlQueryItem> items = {{"a", "rock & roll"}, {"b", "x=y"},  {"c", "C++"},
                                           {"d", "#tag"},        {"e", "100%"}, {"f", "ü €"}};
    components->setQueryItems(items);
    Outcome outcome;
    run(session_, UrlRequest(*components->url()), outcome);
    auto recorded = server_->requestsTo("/vorn/Session/Hello");
    ASSERT_EQ(recorded.size(), 1u);
    for (const auto& item : items) {
        EXPECT_EQ(recorded[0].queryValue(item.name), item.value) << item.name;
    }
}

// 204 and 304 never have a body and a HEAD answer has none: their data is present and empty,
// whatever the head says about length, and whether or not the connection stays open. Only an
// answer that could have had a body and came without any (no byte, no length) has absent data.
TEST_F(UrlSessionTest, BodylessAnswersGivePresentEmptyDataAndOnlyAMissingBodyIsAbsent) {
    server_->addFault({"", "/vorn/Empty", "", Fault::emptyBody(204), -1});
    server_->addFault({"", "/vorn/NoContent204", "", Fault::noContent(204), -1});
    server_->addFault({"", "/vorn/NoContent304", "", Fault::noContent(304), -1});
    server_->addFault({"", "/vorn/Closed204", "", Fault::noBody(204), -1});
    server_->addFault({"", "/vorn/NoBody200", "", Fault::noBody(200), -1});
    struct Case {
        std::string path;
        std::string method;
        int status;
        bool present;
    };
    const std::vector<Case> cases = {
        {"/vorn/Empty", "GET", 204, true},         {"/vorn/NoContent204", "GET", 204, true},
        {"/vorn/NoContent204", "POST", 204, true}, {"/vorn/NoContent304", "GET", 304, true},
        {"/vorn/Closed204", "GET", 204, true},     {"/vorn/Session/Hello", "HEAD", 200, true},
        {"/vorn/NoBody200", "GET", 200, false},
    };
    for (const auto& c : cases) {
        UrlRequest request = get(base_, c.path);
        request.httpMethod = c.method;
        Outcome outcome;
        run(session_, request, outcome);
        SCOPED_TRACE(c.method + " " + c.path);
        EXPECT_FALSE(outcome.error);
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->statusCode, c.status);
        EXPECT_EQ(outcome.data.has_value(), c.present);
        EXPECT_EQ(outcome.data.value_or(""), "");
    }
    // The kept-alive 204 leaves its connection usable for the next request.
    Outcome first, second;
    run(session_, get(base_, "/vorn/NoContent204"), first);
    run(session_, get(base_, "/vorn/Session/Hello"), second);
    EXPECT_EQ(second.data, "hello");
}

TEST_F(UrlSessionTest, ChunkedAnswersArriveWholeAndAnEmptyOneIsPresent) {
    server_->route("GET", "Session/Nothing", [](const refserver::Request&, refserver::Response& r) {
        r.contentType = "text/plain";
    });
    server_->addFault({"", "/vorn/Session/", "", Fault::chunked(), -1});
    Outcome hello, nothing;
    run(session_, get(base_, "/vorn/Session/Hello"), hello);
    run(session_, get(base_, "/vorn/Session/Nothing"), nothing);
    ASSERT_TRUE(hello.response);
    EXPECT_EQ(hello.response->headers.value("transfer-encoding"), "chunked");
    EXPECT_FALSE(hello.response->headers.value("content-length"));
    EXPECT_EQ(hello.data, "hello");
    ASSERT_TRUE(nothing.response);
    EXPECT_EQ(nothing.response->statusCode, 200);
    EXPECT_EQ(nothing.data, "");
}

TEST_F(UrlSessionTest, AnErrorStatusIsAnAnswerNotAnError) {
    Outcome outcome;
    run(session_, get(base_, "/vorn/Nowhere"), outcome);
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode, 404);
    EXPECT_TRUE(outcome.data);
}

TEST_F(UrlSessionTest, TransportFailuresAreErrorsWithoutResponse) {
    Outcome refused, reset;
    run(session_, get("http://127.0.0.1:1", "/vorn/x"), refused);
    EXPECT_FALSE(refused.response);
    EXPECT_FALSE(refused.data);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, UrlError::cannotConnectToHost);
    EXPECT_FALSE(refused.error->description.empty());

    server_->addFault({"", "/vorn/Reset", "", Fault::reset(), -1});
    run(session_, get(base_, "/vorn/Reset"), reset);
    EXPECT_FALSE(reset.response);
    ASSERT_TRUE(reset.error);
    EXPECT_EQ(reset.error->code, UrlError::networkConnectionLost);
}

TEST_F(UrlSessionTest, ASilentServerEndsInATimeout) {
    server_->addFault({"", "/vorn/Hang", "", Fault::hang(), -1});
    UrlRequest request = get(base_, "/vorn/Hang");
    request.timeoutInterval = 300ms;
    Outcome outcome;
    run(session_, request, outcome);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, UrlError::timedOut);
    EXPECT_EQ(outcome.callCount(), 1);
}

TEST_F(UrlSessionTest, CancelEndsARunningTaskOnceWithACancellationError) {
    server_->addFault({"", "/vorn/Hang", "", Fault::hang(), -1});
    Outcome outcome;
    auto task =
        session_->dataTask(get(base_, "/vorn/Hang"), outcome.handler(session_->delegateQueue()));
    task->resume();
    ASSERT_TRUE(
        vk::test::pumpMainQueueUntil([&] { return !server_->requestsTo("/vorn/Hang").empty(); }));
    task->cancel();
    task->cancel();
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, UrlError::cancelled);
    EXPECT_EQ(task->state(), vk::UrlSessionTask::State::completed);
    server_->releaseHangs();
    // A later answer for the same task must not call the handler again: run another request on
    // the same session and flush the delegate queue behind it.
    Outcome after;
    run(session_, get(base_, "/vorn/Session/Hello"), after);
    session_->delegateQueue()->sync([] {});
    EXPECT_EQ(outcome.callCount(), 1);
}

TEST_F(UrlSessionTest, InvalidateAndCancelEndsRunningTasksAndStartsNoMore) {
    server_->addFault({"", "/vorn/Hang", "", Fault::hang(), -1});
    Outcome first, second, late;
    session_->dataTask(get(base_, "/vorn/Hang"), first.handler(session_->delegateQueue()))
        ->resume();
    auto queued =
        session_->dataTask(get(base_, "/vorn/Hang"), second.handler(session_->delegateQueue()));
    ASSERT_TRUE(
        vk::test::pumpMainQueueUntil([&] { return !server_->requestsTo("/vorn/Hang").empty(); }));
    session_->invalidateAndCancel();
    queued->resume();
    auto afterwards = session_->dataTask(get(base_, "/vorn/Session/Hello"),
                                         late.handler(session_->delegateQueue()));
    afterwards->resume();
    for (Outcome* outcome : {&first, &second, &late}) {
        ASSERT_TRUE(outcome->wait());
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->code, UrlError::cancelled);
    }
    EXPECT_TRUE(session_->isInvalidated());
    EXPECT_TRUE(server_->requestsTo("/vorn/Session/Hello").empty());
}

TEST_F(UrlSessionTest, SequentialRequestsReuseOneConnection) {
    for (int i = 0; i < 5; ++i) {
        Outcome outcome;
        run(session_, get(base_, "/vorn/Session/Hello"), outcome);
        ASSERT_EQ(outcome.data, "hello");
    }
    EXPECT_EQ(session_->statistics().connectionsOpened, 1u);
    EXPECT_EQ(session_->statistics().transfersFinished, 5u);
}

// Requests started one after another, each from the previous one's completion: every completion
// runs once, on the delegate queue, in order, over one kept-alive connection; the last lets go of
// the session (its only owner), which then ends from inside its own completion.
TEST_F(UrlSessionTest, RequestsChainedFromCompletionsAndASessionReleasedInItsLastOne) {
    struct Chain {
        std::shared_ptr<UrlSession> session;
        std::mutex mutex;
        std::condition_variable finished;
        std::vector<int> seen;
        bool allOnQueue = true;
        bool done = false;
    };
    constexpr int kLinks = 20;
    auto chain = std::make_shared<Chain>();
    chain->session = UrlSession::make();
    std::weak_ptr<UrlSession> weak = chain->session;
    std::function<void(int)> next = [chain, &next](int link) {
        auto queue = chain->session->delegateQueue();
        chain->session
            ->dataTask(get(base_, "/vorn/Session/Hello"),
                       [chain, queue, link, &next](std::optional<std::string> data,
                                                   std::optional<UrlResponse>,
                                                   std::optional<UrlError> error) {
                           std::unique_lock lock(chain->mutex);
                           chain->seen.push_back(error || data != "hello" ? -1 : link);
                           chain->allOnQueue = chain->allOnQueue && queue->isCurrent();
                           if (link + 1 < kLinks) {
                               lock.unlock();
                               next(link + 1);
                               return;
                           }
                           EXPECT_EQ(chain->session->statistics().connectionsOpened, 1u);
                           chain->session.reset();
                           chain->done = true;
                           chain->finished.notify_all();
                       })
            ->resume();
    };
    next(0);
    {
        std::unique_lock lock(chain->mutex);
        ASSERT_TRUE(chain->finished.wait_for(lock, 20s, [&] { return chain->done; }));
        std::vector<int> expected(kLinks);
        for (int i = 0; i < kLinks; ++i)
            expected[i] = i;
        EXPECT_EQ(chain->seen, expected);
        EXPECT_TRUE(chain->allOnQueue);
    }
    EXPECT_TRUE(weak.expired());
    // The worker the session had is gone: a new session still works.
    Outcome after;
    run(session_, get(base_, "/vorn/Session/Hello"), after);
    EXPECT_EQ(after.data, "hello");
}

TEST(UrlSessionConnections, ABurstOpensNoMoreConnectionsThanThePerHostCap) {
    RefServer server;
    std::string base = *server.listen({"burst", "127.0.0.1", 0, std::nullopt});
    server.addFault({"", "/vorn/System/Info", "", Fault::delayBy(30ms), -1});
    vk::UrlSessionConfiguration configuration;
    configuration.httpMaximumConnectionsPerHost = 2;
    auto session = UrlSession::make(configuration);
    constexpr int kCount = 12;
    std::vector<Outcome> outcomes(kCount);
    for (auto& outcome : outcomes) {
        session->dataTask(get(base, "/vorn/System/Info"), outcome.handler(session->delegateQueue()))
            ->resume();
    }
    for (auto& outcome : outcomes) {
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->statusCode, 200);
    }
    EXPECT_LE(server.connectionCount(), 2u);
    EXPECT_LE(session->statistics().connectionsOpened, 2u);
    EXPECT_EQ(server.requests().size(), static_cast<size_t>(kCount));
}

int threadCount() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                          std::filesystem::directory_iterator()));
}

// Sessions configured to share a worker run on one thread between them, however many there are,
// and never hand one session's connection to another.
TEST(UrlSessionConnections, SessionsSharingAWorkerShareNeitherThreadsNorConnections) {
    RefServer server;
    std::string base = *server.listen({"shared", "127.0.0.1", 0, std::nullopt});
    server.addFault({"", "/vorn/Hang", "", Fault::hang(), -1});
    vk::UrlSessionConfiguration configuration;
    configuration.sharesWorker = true;
    {
        // Warm up: the shared worker exists from here on.
        auto session = UrlSession::make(configuration);
        Outcome outcome;
        run(session, get(base, "/vorn/System/Info/Public"), outcome);
    }
    const int before = threadCount();
    constexpr int kSessions = 5;  // the server has a few more handler threads than that
    std::vector<std::shared_ptr<UrlSession>> sessions;
    std::vector<Outcome> hung(kSessions);
    for (int i = 0; i < kSessions; ++i) {
        sessions.push_back(UrlSession::make(configuration));
        sessions.back()
            ->dataTask(get(base, "/vorn/Hang"), hung[i].handler(sessions.back()->delegateQueue()))
            ->resume();
    }
    ASSERT_TRUE(vk::test::pumpMainQueueUntil(
        [&] { return server.requestsTo("/vorn/Hang").size() == kSessions; }));
    EXPECT_LE(threadCount() - before, 1) << "threads started for " << kSessions << " sessions";

    server.clearRequests();
    Outcome first, second;
    run(sessions[0], get(base, "/vorn/System/Info/Public"), first);
    run(sessions[1], get(base, "/vorn/System/Info/Public"), second);
    auto recorded = server.requestsTo("/vorn/System/Info/Public");
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_NE(recorded[0].remotePort, recorded[1].remotePort) << "one connection, two sessions";
    for (auto& session : sessions)
        session->invalidateAndCancel();
    for (auto& outcome : hung) {
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, UrlError::cancelled);
    }
    server.releaseHangs();
}

TEST(UrlSessionFiles, AFileUrlAnswersWithoutAnHttpResponse) {
    auto dir = vk::test::makeTempDir("file-url");
    std::ofstream(dir / "a b.json") << "{\"x\":1}";
    auto session = UrlSession::make();
    Outcome outcome;
    run(session, UrlRequest(Url::fileUrl(dir / "a b.json")), outcome);
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.response);
    EXPECT_FALSE(outcome.response->isHttp);
    EXPECT_EQ(outcome.data, "{\"x\":1}");
}

// TLS: default handling judges by the system's anchors (plus the additional anchors file); a
// delegate can accept what the anchors do not, or cancel.
class UrlSessionTlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        auto authority =
            refserver::TestCertificateAuthority::create(refserver::KeyKind::ec, "Test CA");
        anchors_ = new std::filesystem::path(vk::test::makeTempDir("anchors") / "ca.pem");
        std::ofstream(*anchors_) << authority.certified().certificatePem;
        server_ = new RefServer();
        trusted_ = *server_->listen({"trusted", "127.0.0.1", 0,
                                     refserver::makeIdentity(authority.issueServer(
                                         refserver::KeyKind::ec, {"127.0.0.1"}))});
        selfSigned_ = *server_->listen({"self", "127.0.0.1", 0,
                                        refserver::makeIdentity(refserver::makeSelfSigned(
                                            refserver::KeyKind::rsa, {"127.0.0.1"}))});
        plain_ = *server_->listen({"plain", "127.0.0.1", 0, std::nullopt});
    }
    static void TearDownTestSuite() {
        delete server_;
        delete anchors_;
    }
    void SetUp() override { vk::ServerTrust::setAdditionalAnchorsFile(*anchors_); }
    void TearDown() override { vk::ServerTrust::setAdditionalAnchorsFile(std::nullopt); }

    static RefServer* server_;
    static std::filesystem::path* anchors_;
    static std::string trusted_;
    static std::string selfSigned_;
    static std::string plain_;
};

RefServer* UrlSessionTlsTest::server_ = nullptr;
std::filesystem::path* UrlSessionTlsTest::anchors_ = nullptr;
std::string UrlSessionTlsTest::trusted_;
std::string UrlSessionTlsTest::selfSigned_;
std::string UrlSessionTlsTest::plain_;

// Answers every server-trust challenge with a fixed disposition and records where it ran.
class FixedDelegate : public vk::UrlSessionDelegate {
  public:
    explicit FixedDelegate(vk::AuthChallengeDisposition disposition) : disposition_(disposition) {}
    void didReceiveChallenge(UrlSession& session, const vk::AuthenticationChallenge& challenge,
                             vk::ChallengeCompletionHandler completion) override {
        calls++;
        onDelegateQueue = session.delegateQueue()->isCurrent();
        host = challenge.protectionSpace.host;
        chainLength = challenge.protectionSpace.serverTrust
                          ? challenge.protectionSpace.serverTrust->certificateCount()
                          : 0;
        completion(disposition_,
                   vk::UrlCredential::forTrust(challenge.protectionSpace.serverTrust));
    }
    std::atomic<int> calls{0};
    std::atomic<bool> onDelegateQueue{false};
    std::string host;
    std::size_t chainLength = 0;

  private:
    vk::AuthChallengeDisposition disposition_;
};

TEST_F(UrlSessionTlsTest, DefaultHandlingAcceptsAnchoredChainsAndRejectsSelfSignedOnes) {
    auto session = UrlSession::make();
    Outcome trusted, selfSigned;
    run(session, get(trusted_, "/vorn/System/Info"), trusted);
    EXPECT_FALSE(trusted.error);
    ASSERT_TRUE(trusted.response);
    EXPECT_EQ(trusted.response->statusCode, 200);

    run(session, get(selfSigned_, "/vorn/System/Info"), selfSigned);
    ASSERT_TRUE(selfSigned.error);
    EXPECT_EQ(selfSigned.error->code, UrlError::serverCertificateUntrusted);
    EXPECT_NE(selfSigned.error->description.find("self-signed"), std::string::npos)
        << selfSigned.error->description;
}

TEST_F(UrlSessionTlsTest, ADelegateAcceptsOnTheDelegateQueueAndCanCancel) {
    auto accepting = std::make_shared<FixedDelegate>(vk::AuthChallengeDisposition::useCredential);
    auto session = UrlSession::make({}, accepting);
    Outcome accepted;
    run(session, get(selfSigned_, "/vorn/System/Info"), accepted);
    EXPECT_FALSE(accepted.error);
    EXPECT_EQ(accepting->calls.load(), 1);
    EXPECT_TRUE(accepting->onDelegateQueue.load());
    EXPECT_EQ(accepting->host, "127.0.0.1");
    EXPECT_EQ(accepting->chainLength, 1u);

    auto cancelling = std::make_shared<FixedDelegate>(
        vk::AuthChallengeDisposition::cancelAuthenticationChallenge);
    auto cancelSession = UrlSession::make({}, cancelling);
    Outcome cancelled;
    run(cancelSession, get(trusted_, "/vorn/System/Info"), cancelled);
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.error->code, UrlError::cancelled);
}

// Answers server-trust challenges on the delegate queue: at once (accepting) for every port but
// `heldPort`, whose challenges it keeps; `answerHeld` accepts them later, `dropHeld` drops them.
class HoldingDelegate : public vk::UrlSessionDelegate {
  public:
    explicit HoldingDelegate(int heldPort) : heldPort_(heldPort) {}
    void didReceiveChallenge(UrlSession&, const vk::AuthenticationChallenge& challenge,
                             vk::ChallengeCompletionHandler completion) override {
        if (challenge.protectionSpace.port != heldPort_) {
            completion(vk::AuthChallengeDisposition::useCredential,
                       vk::UrlCredential::forTrust(challenge.protectionSpace.serverTrust));
            return;
        }
        std::lock_guard lock(mutex_);
        held_.push_back({std::move(completion), challenge.protectionSpace.serverTrust});
    }
    std::size_t heldCount() {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    void answerHeld() {
        std::vector<Held> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(held_);
            answered = true;
        }
        for (auto& h : held)
            h.completion(vk::AuthChallengeDisposition::useCredential,
                         vk::UrlCredential::forTrust(h.trust));
    }
    std::atomic<bool> answered{false};

  private:
    struct Held {
        vk::ChallengeCompletionHandler completion;
        std::shared_ptr<const vk::ServerTrust> trust;
    };
    const int heldPort_;
    std::mutex mutex_;
    std::vector<Held> held_;
};

int portOf(const std::string& base) {
    return std::stoi(base.substr(base.rfind(':') + 1));
}

// One handshake waits on the delegate for a while: the session's 20 other transfers complete
// meanwhile, and a cancel of a transfer whose handshake waits completes it at once and frees the
// session for more.
TEST_F(UrlSessionTlsTest, AHandshakeWaitingOnTheDelegateHoldsUpNoOtherTransfer) {
    auto delegate = std::make_shared<HoldingDelegate>(portOf(selfSigned_));
    auto session = UrlSession::make({}, delegate);
    Outcome held;
    session->dataTask(get(selfSigned_, "/vorn/System/Info"), held.handler(session->delegateQueue()))
        ->resume();
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return delegate->heldCount() == 1; }));

    constexpr int kOthers = 20;
    std::vector<Outcome> others(kOthers);
    std::atomic<int> beforeAnswer{0};
    for (auto& outcome : others) {
        auto handler = outcome.handler(session->delegateQueue());
        session
            ->dataTask(
                get(plain_, "/vorn/System/Info"),
                [&, handler](auto data, auto response, auto error) {
                    if (!delegate->answered.load() && response && response->statusCode == 200)
                        beforeAnswer.fetch_add(1);
                    handler(std::move(data), std::move(response), std::move(error));
                })
            ->resume();
    }
    // The delegate answers after two seconds, or once the others are done if that takes longer
    // (a loaded machine); without that they would wait for the answer, however late.
    const auto start = std::chrono::steady_clock::now();
    vk::test::pumpMainQueueUntil(
        [&] {
            return beforeAnswer.load() == kOthers && std::chrono::steady_clock::now() - start >= 2s;
        },
        15s);
    delegate->answerHeld();
    EXPECT_EQ(beforeAnswer.load(), kOthers);
    ASSERT_TRUE(held.wait());
    EXPECT_FALSE(held.error);
    ASSERT_TRUE(held.response);
    EXPECT_EQ(held.response->statusCode, 200);
    for (auto& outcome : others) {
        ASSERT_TRUE(outcome.wait());
        EXPECT_FALSE(outcome.error);
    }

    // On a session of its own (the first one keeps its connection to the held host alive), a
    // handshake waits on its challenge again; cancelling the task ends it at once, and the
    // session goes on while the challenge is still unanswered.
    auto fresh = UrlSession::make({}, delegate);
    Outcome cancelled, after;
    auto waiting = fresh->dataTask(get(selfSigned_, "/vorn/System/Info"),
                                   cancelled.handler(fresh->delegateQueue()));
    waiting->resume();
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return delegate->heldCount() == 1; }));
    waiting->cancel();
    ASSERT_TRUE(cancelled.wait());
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.error->code, UrlError::cancelled);
    run(fresh, get(plain_, "/vorn/System/Info"), after);
    EXPECT_FALSE(after.error);
    EXPECT_EQ(delegate->heldCount(), 1u) << "the others ran while it waited unanswered";
    delegate->answerHeld();  // a late answer for a task that is gone changes nothing
    fresh->delegateQueue()->sync([] {});
    EXPECT_EQ(cancelled.callCount(), 1);
}

// A transport double: records transfers, finishes them when the test says so, and can raise a
// challenge from a thread of its own.
class ScriptedTransport : public vk::UrlTransport {
  public:
    explicit ScriptedTransport(vk::UrlTransportClient& client) : client_(client) {}
    ~ScriptedTransport() override { shutdown(); }
    void start(std::uint64_t id, UrlRequest) override {
        std::lock_guard lock(mutex_);
        started.push_back(id);
    }
    void cancel(std::uint64_t id) override {
        std::lock_guard lock(mutex_);
        cancelled.push_back(id);
    }
    void shutdown() override {
        if (challenger_.joinable())
            challenger_.join();
    }
    vk::TransportStatistics statistics() const override { return {}; }

    void finish(std::uint64_t id, int status) {
        UrlResponse response;
        response.isHttp = true;
        response.statusCode = status;
        client_.transferFinished(id, {std::string("done"), response, std::nullopt});
    }
    // Raises a challenge from a thread of its own, as a transport's worker would.
    void raiseChallenge(std::uint64_t id) {
        challenger_ = std::thread([this, id] {
            vk::AuthenticationChallenge challenge;
            challenge.protectionSpace.authenticationMethod = vk::AuthenticationMethod::serverTrust;
            client_.requestChallengeAnswer(id, challenge,
                                           [record = answerRecord](vk::ChallengeAnswer answer) {
                                               record->store(static_cast<int>(answer.disposition));
                                           });
        });
    }
    bool answered() const { return answerRecord->load() != -1; }
    vk::AuthChallengeDisposition answer() const {
        return static_cast<vk::AuthChallengeDisposition>(answerRecord->load());
    }

    std::mutex mutex_;
    std::vector<std::uint64_t> started;
    std::vector<std::uint64_t> cancelled;
    /// Outlives the transport: the disposition the challenge got, -1 before.
    std::shared_ptr<std::atomic<int>> answerRecord = std::make_shared<std::atomic<int>>(-1);

  private:
    vk::UrlTransportClient& client_;
    std::thread challenger_;
};

vk::UrlSessionConfiguration scripted(ScriptedTransport*& made) {
    vk::UrlSessionConfiguration configuration;
    configuration.transportFactory = [&made](const vk::UrlSessionConfiguration&,
                                             vk::UrlTransportClient& client) {
        auto transport = std::make_unique<ScriptedTransport>(client);
        made = transport.get();
        return transport;
    };
    return configuration;
}

TEST(UrlSessionContract, AnAnswerAfterCancellationIsDropped) {
    ScriptedTransport* transport = nullptr;
    auto session = UrlSession::make(scripted(transport));
    Outcome outcome;
    auto task = session->dataTask(get("http://h", "/a"), outcome.handler(session->delegateQueue()));
    task->resume();
    ASSERT_NE(transport, nullptr);
    task->cancel();
    transport->finish(task->taskIdentifier(), 200);
    ASSERT_TRUE(outcome.wait());
    session->delegateQueue()->sync([] {});
    EXPECT_EQ(outcome.callCount(), 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, UrlError::cancelled);
    EXPECT_EQ(transport->cancelled, std::vector<std::uint64_t>{task->taskIdentifier()});
}

TEST(UrlSessionContract, AFinishedTransferCompletesItsTaskOnce) {
    ScriptedTransport* transport = nullptr;
    auto session = UrlSession::make(scripted(transport));
    Outcome outcome;
    auto task = session->dataTask(get("http://h", "/a"), outcome.handler(session->delegateQueue()));
    task->resume();
    task->resume();
    EXPECT_EQ(transport->started.size(), 1u);
    transport->finish(task->taskIdentifier(), 201);
    transport->finish(task->taskIdentifier(), 202);
    ASSERT_TRUE(outcome.wait());
    session->delegateQueue()->sync([] {});
    EXPECT_EQ(outcome.callCount(), 1);
    EXPECT_TRUE(outcome.onDelegateQueue);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode, 201);
    EXPECT_EQ(outcome.data, "done");
}

// A delegate that keeps the handler without answering.
class SilentDelegate : public vk::UrlSessionDelegate {
  public:
    void didReceiveChallenge(UrlSession&, const vk::AuthenticationChallenge&,
                             vk::ChallengeCompletionHandler completion) override {
        std::lock_guard lock(mutex);
        kept = std::move(completion);
    }
    void drop() {
        std::lock_guard lock(mutex);
        kept = nullptr;
    }
    std::mutex mutex;
    vk::ChallengeCompletionHandler kept;
};

TEST(UrlSessionContract, AChallengeHandlerDroppedUnansweredCancels) {
    ScriptedTransport* transport = nullptr;
    auto delegate = std::make_shared<SilentDelegate>();
    auto session = UrlSession::make(scripted(transport), delegate);
    auto task = session->dataTask(get("https://h", "/a"), [](auto, auto, auto) {});
    task->resume();
    transport->raiseChallenge(task->taskIdentifier());
    session->delegateQueue()->sync([] {});
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] {
        std::lock_guard lock(delegate->mutex);
        return static_cast<bool>(delegate->kept);
    }));
    EXPECT_FALSE(transport->answered());
    delegate->drop();
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return transport->answered(); }));
    EXPECT_EQ(transport->answer(), vk::AuthChallengeDisposition::cancelAuthenticationChallenge);
}

TEST(UrlSessionContract, DestroyingASessionReleasesAWaitingChallenge) {
    ScriptedTransport* transport = nullptr;
    auto delegate = std::make_shared<SilentDelegate>();
    auto session = UrlSession::make(scripted(transport), delegate);
    auto task = session->dataTask(get("https://h", "/a"), [](auto, auto, auto) {});
    task->resume();
    transport->raiseChallenge(task->taskIdentifier());
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] {
        std::lock_guard lock(delegate->mutex);
        return static_cast<bool>(delegate->kept);
    }));
    auto answer = transport->answerRecord;
    EXPECT_EQ(answer->load(), -1);
    session.reset();  // joins the challenger thread through the transport's shutdown
    EXPECT_EQ(answer->load(),
              static_cast<int>(vk::AuthChallengeDisposition::cancelAuthenticationChallenge));
}

}  // namespace
