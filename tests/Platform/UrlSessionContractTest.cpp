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
