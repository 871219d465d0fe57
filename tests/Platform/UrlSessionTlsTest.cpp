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

}  // namespace
