#include "VornKit/Net/DefaultURLSessionDelegate.h"

#include <condition_variable>
#include <mutex>

#include "TrustFixtures.h"
#include "gtest/gtest.h"
#include "refserver/RefServer.h"

using namespace std::chrono_literals;
using refserver::CertifiedKey;
using vk::AuthChallengeDisposition;
using vk::DefaultURLSessionDelegate;
using vk::test::ScopedAnchors;
using vk::test::ScopedTrustStatus;
using vk::test::TrustFixtures;

namespace {

class TrustCheck : public ::testing::Test {
  protected:
    const TrustFixtures& fixtures = TrustFixtures::get();
    DefaultURLSessionDelegate delegate;
    ScopedAnchors anchors;
};

TEST_F(TrustCheck, AChainTheSystemTrustsIsAcceptedWhateverIsStored) {
    ScopedTrustStatus distrusted(fixtures.anchoredLeaf, 3);
    EXPECT_TRUE(delegate.checkValidityOfServerTrust(
        TrustFixtures::trust("127.0.0.1", {fixtures.anchoredLeaf})));
    EXPECT_TRUE(delegate.checkValidityOfServerTrust(
        TrustFixtures::trust("localhost", {fixtures.anchoredLeaf})));
}

TEST_F(TrustCheck, ATrustedChainForAnotherHostIsRejected) {
    EXPECT_FALSE(delegate.checkValidityOfServerTrust(
        TrustFixtures::trust("127.0.0.2", {fixtures.anchoredLeaf})));
    EXPECT_FALSE(delegate.checkValidityOfServerTrust(
        TrustFixtures::trust("media.example", {fixtures.anchoredLeaf})));
}

TEST_F(TrustCheck, ASelfSignedCertificateNeedsStatusOne) {
    auto trust = TrustFixtures::trust("127.0.0.1", {fixtures.selfSignedRsa});
    EXPECT_FALSE(delegate.checkValidityOfServerTrust(trust));
    for (int status : {0, 2, 3, -1}) {
        ScopedTrustStatus stored(fixtures.selfSignedRsa, status);
        EXPECT_FALSE(delegate.checkValidityOfServerTrust(trust)) << status;
    }
    ScopedTrustStatus pinned(fixtures.selfSignedRsa, 1);
    EXPECT_TRUE(delegate.checkValidityOfServerTrust(trust));
}

// The pinned certificate is public (the genuine server sends it in every handshake): anyone can
// send it after a leaf of their own, whose key they hold. Only a chain it signed passes.
TEST_F(TrustCheck, APinnedLastCertificateMustHaveSignedTheChainBeforeIt) {
    ScopedTrustStatus pinned(fixtures.intermediate, 1);
    EXPECT_TRUE(delegate.checkValidityOfServerTrust(
        TrustFixtures::trust("127.0.0.1", {fixtures.intermediateLeaf, fixtures.intermediate})));
    // On this path the host name is not examined.
    EXPECT_TRUE(delegate.checkValidityOfServerTrust(TrustFixtures::trust(
        "elsewhere.example", {fixtures.intermediateLeaf, fixtures.intermediate})));
    for (const CertifiedKey* forged : {&fixtures.selfSignedEc, &fixtures.lookalikeLeaf}) {
        EXPECT_FALSE(delegate.checkValidityOfServerTrust(
            TrustFixtures::trust("127.0.0.1", {*forged, fixtures.intermediate})));
        // The genuine leaf sent along does not lend the forged one its signature.
        EXPECT_FALSE(delegate.checkValidityOfServerTrust(TrustFixtures::trust(
            "127.0.0.1", {*forged, fixtures.intermediateLeaf, fixtures.intermediate})));
    }
    // A pinned self-signed certificate sent after another one signed nothing either.
    ScopedTrustStatus selfSignedPinned(fixtures.selfSignedRsa, 1);
    EXPECT_FALSE(delegate.checkValidityOfServerTrust(
        TrustFixtures::trust("127.0.0.1", {fixtures.selfSignedEc, fixtures.selfSignedRsa})));
}

TEST_F(TrustCheck, AnEmptyChainIsRejected) {
    EXPECT_FALSE(delegate.checkValidityOfServerTrust(vk::ServerTrust("127.0.0.1", {})));
}

// Calls the delegate directly and returns its answer.
std::pair<AuthChallengeDisposition, std::optional<vk::UrlCredential>> answer(
    DefaultURLSessionDelegate& delegate, const vk::AuthenticationChallenge& challenge) {
    auto session = vk::UrlSession::make();
    std::optional<std::pair<AuthChallengeDisposition, std::optional<vk::UrlCredential>>> result;
    int calls = 0;
    delegate.didReceiveChallenge(
        *session, challenge, [&](AuthChallengeDisposition d, std::optional<vk::UrlCredential> c) {
            ++calls;
            result.emplace(d, std::move(c));
        });
    EXPECT_EQ(calls, 1);
    return result.value_or(std::make_pair(AuthChallengeDisposition::rejectProtectionSpace,
                                          std::optional<vk::UrlCredential>()));
}

vk::AuthenticationChallenge challengeFor(vk::AuthenticationMethod method,
                                         std::shared_ptr<const vk::ServerTrust> trust) {
    vk::AuthenticationChallenge challenge;
    challenge.protectionSpace.host = "127.0.0.1";
    challenge.protectionSpace.port = 8920;
    challenge.protectionSpace.protocol = "https";
    challenge.protectionSpace.authenticationMethod = method;
    challenge.protectionSpace.serverTrust = std::move(trust);
    return challenge;
}

TEST_F(TrustCheck, AnAcceptedServerTrustIsAnsweredWithThatTrust) {
    auto trust = std::make_shared<const vk::ServerTrust>(
        TrustFixtures::trust("127.0.0.1", {fixtures.anchoredLeaf}));
    auto [disposition, credential] =
        answer(delegate, challengeFor(vk::AuthenticationMethod::serverTrust, trust));
    EXPECT_EQ(disposition, AuthChallengeDisposition::useCredential);
    ASSERT_TRUE(credential);
    EXPECT_EQ(credential->trust, trust);
}

TEST_F(TrustCheck, RejectedTrustAndOtherMethodsGetDefaultHandling) {
    auto untrusted = std::make_shared<const vk::ServerTrust>(
        TrustFixtures::trust("127.0.0.1", {fixtures.selfSignedRsa}));
    auto rejected =
        answer(delegate, challengeFor(vk::AuthenticationMethod::serverTrust, untrusted));
    EXPECT_EQ(rejected.first, AuthChallengeDisposition::performDefaultHandling);
    EXPECT_FALSE(rejected.second);

    auto noTrust = answer(delegate, challengeFor(vk::AuthenticationMethod::serverTrust, nullptr));
    EXPECT_EQ(noTrust.first, AuthChallengeDisposition::performDefaultHandling);

    // A password challenge, even one carrying a trust that would pass.
    auto trusted = std::make_shared<const vk::ServerTrust>(
        TrustFixtures::trust("127.0.0.1", {fixtures.anchoredLeaf}));
    for (auto method : {vk::AuthenticationMethod::httpBasic, vk::AuthenticationMethod::httpDigest,
                        vk::AuthenticationMethod::defaultMethod}) {
        auto other = answer(delegate, challengeFor(method, trusted));
        EXPECT_EQ(other.first, AuthChallengeDisposition::performDefaultHandling);
        EXPECT_FALSE(other.second);
    }
}

// The same rule over real TLS connections to the reference server.
class TrustOverTls : public ::testing::Test {
  protected:
    struct Result {
        std::optional<int> status;
        std::optional<vk::UrlError> error;
    };

    Result fetch(const std::string& base) {
        auto session = vk::UrlSession::make({}, std::make_shared<DefaultURLSessionDelegate>());
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
        session
            ->dataTask(vk::UrlRequest(*vk::Url::parse(base + "/vorn/system/info/public")),
                       [&](auto, std::optional<vk::UrlResponse> response,
                           std::optional<vk::UrlError> error) {
                           std::lock_guard lock(mutex);
                           result = Result{
                               response ? std::optional<int>(response->statusCode) : std::nullopt,
                               error};
                           done.notify_all();
                       })
            ->resume();
        std::unique_lock lock(mutex);
        EXPECT_TRUE(done.wait_for(lock, 20s, [&] { return result.has_value(); }));
        return result.value_or(Result{});
    }

    std::string listen(const std::string& host, const CertifiedKey& leaf,
                       const std::vector<CertifiedKey>& sentAlong = {}) {
        auto address = server.listen({"", host, 0, refserver::makeIdentity(leaf, sentAlong)});
        EXPECT_TRUE(address);
        return address.value_or("");
    }

    const TrustFixtures& fixtures = TrustFixtures::get();
    ScopedAnchors anchors;
    refserver::RefServer server;
};

TEST_F(TrustOverTls, SystemTrustedServerIsReachedAndAHostMismatchIsNot) {
    Result trusted = fetch(listen("127.0.0.1", fixtures.anchoredLeaf));
    EXPECT_EQ(trusted.status, 200);
    EXPECT_FALSE(trusted.error);

    Result mismatch = fetch(listen("127.0.0.2", fixtures.anchoredLeaf));
    EXPECT_FALSE(mismatch.status);
    ASSERT_TRUE(mismatch.error);
    EXPECT_EQ(mismatch.error->code, vk::UrlError::serverCertificateUntrusted);
}

TEST_F(TrustOverTls, SelfSignedServersAreReachedOnceTheirKeyIsTrusted) {
    std::string rsa = listen("127.0.0.1", fixtures.selfSignedRsa);
    std::string ec = listen("127.0.0.1", fixtures.selfSignedEc);
    Result undecided = fetch(rsa);
    ASSERT_TRUE(undecided.error);
    EXPECT_EQ(undecided.error->code, vk::UrlError::serverCertificateUntrusted);

    ScopedTrustStatus rsaPinned(fixtures.selfSignedRsa, 1);
    ScopedTrustStatus ecPinned(fixtures.selfSignedEc, 1);
    EXPECT_EQ(fetch(rsa).status, 200);
    EXPECT_EQ(fetch(ec).status, 200);
}

TEST_F(TrustOverTls, AChainIsJudgedByTheLastCertificateTheServerSends) {
    std::string address = listen("127.0.0.1", fixtures.intermediateLeaf, {fixtures.intermediate});
    {
        ScopedTrustStatus leafPinned(fixtures.intermediateLeaf, 1);
        Result result = fetch(address);
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->code, vk::UrlError::serverCertificateUntrusted);
    }
    ScopedTrustStatus lastPinned(fixtures.intermediate, 1);
    EXPECT_EQ(fetch(address).status, 200);
}

TEST_F(TrustOverTls, AServerSendingThePinnedCertificateAfterALeafItDidNotSignIsRefused) {
    ScopedTrustStatus pinned(fixtures.intermediate, 1);
    for (const CertifiedKey* forged : {&fixtures.selfSignedEc, &fixtures.lookalikeLeaf}) {
        Result result = fetch(listen("127.0.0.1", *forged, {fixtures.intermediate}));
        EXPECT_FALSE(result.status);
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->code, vk::UrlError::serverCertificateUntrusted);
    }
    EXPECT_EQ(fetch(listen("127.0.0.1", fixtures.intermediateLeaf, {fixtures.intermediate})).status,
              200);
}

}  // namespace
