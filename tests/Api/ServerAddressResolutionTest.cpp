#include "VornKit/Api/ServerAddressResolution.h"

#include <algorithm>

#include "ApiTestSupport.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/RefServer.h"

using namespace std::chrono_literals;
using refserver::Fault;
using refserver::RefServer;
using vk::ApiClient;
using vk::ServerAddressResolution;
using vk::test::makeDeviceInfo;
using vk::test::makeServerInfo;
using vk::test::pumpMainQueueUntil;
using vk::test::ScopedLogCapture;

namespace {

using AddressResult = std::pair<std::optional<std::string>, std::optional<vk::UrlError>>;

std::vector<std::string> texts(const std::vector<vk::Url>& urls) {
    std::vector<std::string> out;
    for (const auto& url : urls)
        out.push_back(url.absoluteString());
    return out;
}

TEST(ResolutionCandidates, LoopbackManualFirstThenLocalManualRemote) {
    auto info = makeServerInfo("http://192.168.1.5:8096", "https://media.example.org",
                               "http://LocalHost:8096");
    EXPECT_EQ(texts(ServerAddressResolution::candidates(info)),
              (std::vector<std::string>{"http://LocalHost:8096", "http://192.168.1.5:8096",
                                        "https://media.example.org"}));
    info.ManualAddress = "http://nas.home:8096";
    EXPECT_EQ(texts(ServerAddressResolution::candidates(info)),
              (std::vector<std::string>{"http://192.168.1.5:8096", "http://nas.home:8096",
                                        "https://media.example.org"}));
    info.ManualAddress = "http://127.0.0.1:9000";
    EXPECT_EQ(ServerAddressResolution::candidates(info).front().absoluteString(),
              "http://127.0.0.1:9000");
}

TEST(ResolutionCandidates, SkipsRepeatsAndTextsThatAreNotUrls) {
    auto info = makeServerInfo("http://10.0.0.2:8096", "http://10.0.0.2:8096", "not a url");
    EXPECT_EQ(texts(ServerAddressResolution::candidates(info)),
              std::vector<std::string>{"http://10.0.0.2:8096"});
    EXPECT_TRUE(ServerAddressResolution::candidates(makeServerInfo(std::nullopt)).empty());
}

class Resolution : public ::testing::Test {
  protected:
    void SetUp() override {
        local_ = *server_.listen({"local", "127.0.0.1", 0, std::nullopt});
        remote_ = *server_.listen({"remote", "127.0.0.2", 0, std::nullopt});
    }
    void TearDown() override { server_.releaseHangs(); }

    std::shared_ptr<ApiClient> client(std::optional<std::string> local,
                                      std::optional<std::string> remote) {
        return std::make_shared<ApiClient>(makeServerInfo(std::move(local), std::move(remote)),
                                           makeDeviceInfo());
    }
    // Resolves with the main queue as callback queue and services it until the completion ran.
    AddressResult resolve(ApiClient& client, int* calls = nullptr) {
        auto result = std::make_shared<std::optional<AddressResult>>();
        auto count = std::make_shared<int>(0);
        client.getServerAddress(vk::DispatchQueue::main(),
                                [result, count](auto address, auto error) {
                                    EXPECT_TRUE(vk::DispatchQueue::main()->isCurrent());
                                    ++*count;
                                    *result = AddressResult(address, error);
                                });
        EXPECT_TRUE(pumpMainQueueUntil([&] { return result->has_value(); }, 20s));
        if (calls != nullptr)
            *calls = *count;
        return result->value_or(AddressResult{});
    }
    // Services the main queue a little longer so that late probes and cancellations run.
    void settle() {
        pumpMainQueueUntil([] { return false; }, 700ms);
    }

    // Requests that reached the listener named `listener`.
    std::size_t requestsAt(const std::string& listener) const {
        auto all = server_.requests();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const auto& r) { return r.listener == listener; }));
    }

    RefServer server_;
    std::string local_;
    std::string remote_;
    ScopedLogCapture log_;
};

TEST_F(Resolution, OneCandidateIsTakenWithoutAProbe) {
    auto c = client(std::nullopt, remote_);
    std::optional<AddressResult> result;
    c->getServerAddress(vk::DispatchQueue::main(),
                        [&](auto address, auto error) { result = AddressResult(address, error); });
    ASSERT_TRUE(result);  // synchronously, on this thread
    EXPECT_EQ(result->first, remote_);
    EXPECT_FALSE(result->second);
    EXPECT_EQ(c->serverAddress(), remote_);
    settle();
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(Resolution, NoCandidateIsAnErrorAtOnce) {
    auto c = client(std::nullopt, std::nullopt);
    std::optional<AddressResult> result;
    c->getServerAddress(vk::DispatchQueue::main(),
                        [&](auto address, auto error) { result = AddressResult(address, error); });
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->first);
    ASSERT_TRUE(result->second);
    EXPECT_EQ(result->second->description, "No server addresses available");
    EXPECT_FALSE(c->serverAddress());
    EXPECT_TRUE(log_->messages("ApiClient").empty());
}

TEST_F(Resolution, ARemoteThatAnswersFirstBeatsASlowLocal) {
    server_.addFault({"local", "", "", Fault::hang(), -1});
    auto c = client(local_, remote_);
    int calls = 0;
    AddressResult result = resolve(*c, &calls);
    EXPECT_EQ(result.first, remote_);
    EXPECT_FALSE(result.second);
    EXPECT_EQ(c->serverAddress(), remote_);
    EXPECT_NE(c->dateLastAccessed(), ApiClient::distantPast());
    EXPECT_EQ(log_->messages("ApiClient"),
              std::vector<std::string>{"Server Address for 'Living Room Server' determined at " +
                                       remote_});
    // The local probe is cancelled: its end neither clears the address nor completes again.
    settle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(c->serverAddress(), remote_);

    // The probe asks the escaped path, without query and without authorisation.
    auto probes = server_.requestsTo("/vorn/system/info/public");
    ASSERT_EQ(probes.size(), 2u);
    for (const auto& probe : probes) {
        EXPECT_EQ(probe.path, "/vorn/system/info/public?format=json");
        EXPECT_EQ(probe.target, "/vorn/system/info/public%3Fformat=json");
        EXPECT_TRUE(probe.query.empty());
        EXPECT_FALSE(probe.header("X-Vorn-Authorization"));
    }
}

TEST_F(Resolution, AnErrorStatusCountsAsReachable) {
    server_.addFault({"local", "", "", Fault::withStatus(404), -1});
    auto c = client(local_, remote_);
    EXPECT_EQ(resolve(*c).first, local_);
}

TEST_F(Resolution, ALocalThatFailsFirstDoesNotStopTheRemote) {
    auto c = client("http://127.0.0.1:1", remote_);
    AddressResult result = resolve(*c);
    EXPECT_EQ(result.first, remote_);
    settle();
    EXPECT_EQ(c->serverAddress(), remote_);
}

TEST_F(Resolution, WhenEveryProbeFailsTheLastErrorArrivesAndNoAddress) {
    server_.addFault({"remote", "", "", Fault::reset(), -1});
    auto c = client("http://127.0.0.1:1", remote_);  // refused at once, then reset 200 ms later
    c->setServerAddress(std::nullopt);
    int calls = 0;
    AddressResult result = resolve(*c, &calls);
    EXPECT_FALSE(result.first);
    ASSERT_TRUE(result.second);
    EXPECT_EQ(result.second->code, vk::UrlError::networkConnectionLost);
    EXPECT_FALSE(c->serverAddress());
    settle();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(log_->messages("ApiClient").empty());
}

TEST_F(Resolution, ASecondCallAnswersAtOnceWithoutProbing) {
    // The remote never answers, so the local address wins however slowly the machine runs (the
    // remote probe starts 200 ms after the local one and is cancelled when the local answers).
    server_.addFault({"remote", "", "", Fault::hang(), -1});
    auto c = client(local_, remote_);
    ASSERT_EQ(resolve(*c).first, local_);
    // The local probe was answered, so it reached the server before the address was known; the
    // cancelled remote probe may still arrive later and is not counted.
    server_.clearRequests();
    std::optional<AddressResult> again;
    c->getServerAddress(nullptr,
                        [&](auto address, auto error) { again = AddressResult(address, error); });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->first, local_);
    settle();
    EXPECT_EQ(requestsAt("local"), 0u);
}

TEST_F(Resolution, ANetworkChangeMakesTheNextUrlResolveAgain) {
    server_.addFault({"remote", "", "", Fault::hang(), -1});  // the local address always wins
    auto c = client(local_, remote_);
    ASSERT_EQ(resolve(*c).first, local_);
    server_.clearRequests();
    log_->clear();
    c->onNetworkChanged();
    EXPECT_FALSE(c->getUrl("System/Info", {}));
    EXPECT_EQ(
        log_->messages("ApiClient"),
        (std::vector<std::string>{"Error: Server address not set", "tryReconnect to server"}));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return c->serverAddress().has_value(); }, 20s));
    EXPECT_EQ(c->serverAddress(), local_);
    EXPECT_EQ(requestsAt("local"), 1u);
    EXPECT_EQ(c->getUrl("System/Info", {})->absoluteString(), local_ + "/vorn/System/Info");
}

TEST_F(Resolution, ResolutionsAreNotShared) {
    server_.addFault({"local", "", "", Fault::hang(), -1});
    auto c = client(local_, remote_);
    int first = 0;
    int second = 0;
    c->getServerAddress(vk::DispatchQueue::main(), [&](auto, auto) { ++first; });
    c->getServerAddress(vk::DispatchQueue::main(), [&](auto, auto) { ++second; });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return first == 1 && second == 1; }, 20s));
    settle();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(server_.requestsTo("/vorn/system/info/public").size(), 4u);
}

// Success means the client has the address. A client on the stack cannot be followed by the
// probes: it gets an error at once and nothing is probed. A client released before a probe
// answers gets an error, not the address.
TEST_F(Resolution, NoAddressIsReportedThatTheClientDidNotStore) {
    ApiClient plain(makeServerInfo(local_, remote_), makeDeviceInfo());
    std::optional<AddressResult> result;
    plain.getServerAddress(vk::DispatchQueue::main(), [&](auto address, auto error) {
        result = AddressResult(address, error);
    });
    ASSERT_TRUE(result);  // at once, on this thread
    EXPECT_FALSE(result->first);
    ASSERT_TRUE(result->second);
    EXPECT_NE(result->second->description.find("not held by a std::shared_ptr"), std::string::npos)
        << result->second->description;
    settle();
    EXPECT_FALSE(plain.serverAddress());
    EXPECT_TRUE(server_.requests().empty());

    auto held = client(local_, remote_);
    std::optional<AddressResult> late;
    held->getServerAddress(vk::DispatchQueue::main(),
                           [&](auto address, auto error) { late = AddressResult(address, error); });
    held.reset();  // the probes start only when the main queue is served
    ASSERT_TRUE(pumpMainQueueUntil([&] { return late.has_value(); }, 20s));
    EXPECT_FALSE(late->first);
    EXPECT_TRUE(late->second);
}

}  // namespace
