// Trust by a pinned key against nginx: a real server's TLS stack and its own certificate, on
// connections it closes after every answer, not the reference server's.
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "Support/NginxServer.h"
#include "TrustFixtures.h"
#include "VornKit/Net/DefaultURLSessionDelegate.h"
#include "VornKit/Platform/Http/UrlSession.h"
#include "gtest/gtest.h"

using namespace std::chrono_literals;

namespace vk::test {
namespace {

class NginxTrust : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::installed())
            GTEST_SKIP() << "nginx is not installed";
    }

    /// nginx over TLS with a certificate of its own; every answer closes its connection, so each
    /// request makes a new handshake.
    std::unique_ptr<NginxServer> startNginx() {
        NginxServer::Options options;
        options.tls = true;
        options.serverDirectives = "keepalive_timeout 0;";
        std::string error;
        auto nginx = NginxServer::start(options, error);
        EXPECT_TRUE(nginx) << error;
        if (nginx) {
            std::ofstream(nginx->root() / "info.json") << "{}";
        }
        return nginx;
    }

    /// The status of one GET of `url` on `session`, or the error.
    std::pair<std::optional<int>, std::optional<UrlError>> fetch(UrlSession& session,
                                                                 const std::string& url) {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<std::pair<std::optional<int>, std::optional<UrlError>>> result;
        session
            .dataTask(
                UrlRequest(*Url::parse(url)),
                [&](auto, std::optional<UrlResponse> response, std::optional<UrlError> error) {
                    std::lock_guard lock(mutex);
                    result.emplace(
                        response ? std::optional<int>(response->statusCode) : std::nullopt, error);
                    done.notify_all();
                })
            ->resume();
        std::unique_lock lock(mutex);
        EXPECT_TRUE(done.wait_for(lock, 20s, [&] { return result.has_value(); }));
        return result.value_or(std::make_pair(std::nullopt, std::nullopt));
    }

    static bool untrusted(const std::pair<std::optional<int>, std::optional<UrlError>>& result) {
        return !result.first && result.second &&
               result.second->code == UrlError::serverCertificateUntrusted;
    }
};

// Undecided, the self-signed server is refused; with its key trusted it is reached, one new
// connection after another; a server with a new key is refused while the old key is trusted; once
// the decision is withdrawn the next connection is refused.
TEST_F(NginxTrust, APinnedKeyReachesNginxOnlyWhileItIsTrustedAndOnlyThatServer) {
    auto nginx = startNginx();
    ASSERT_TRUE(nginx);
    const std::string url = nginx->baseUrl() + "/info.json";
    auto session = UrlSession::make({}, std::make_shared<DefaultURLSessionDelegate>());
    EXPECT_TRUE(untrusted(fetch(*session, url)));
    {
        ScopedTrustStatus pinned(refserver::CertifiedKey{nginx->certificatePem(), ""}, 1);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(fetch(*session, url).first, 200) << "request " << i;

        auto other = startNginx();
        ASSERT_TRUE(other);
        EXPECT_TRUE(untrusted(fetch(*session, other->baseUrl() + "/info.json")));
    }
    EXPECT_TRUE(untrusted(fetch(*session, url)));
    // Three trusted requests, each on a connection of its own, and the refused ones never asked.
    EXPECT_EQ(nginx->requests().size(), 3u);
}

}  // namespace
}  // namespace vk::test
