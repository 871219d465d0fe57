#include "VornKit/Platform/Http/UrlSession.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Support/TestSupport.h"
#include "UrlSessionTestSupport.h"
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
using vk::test::url_session::get;
using vk::test::url_session::Outcome;
using vk::test::url_session::run;

namespace {

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

}  // namespace
