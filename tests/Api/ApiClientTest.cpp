#include "VornKit/Api/ApiClient.h"

#include <cmath>
#include <limits>

#include "ApiTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Api/BandwidthSource.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "gtest/gtest.h"
#include "refserver/RefServer.h"

using namespace std::chrono_literals;
using refserver::Fault;
using refserver::RefServer;
using vk::ApiClient;
using vk::EndpointInfo;
using vk::test::makeDeviceInfo;
using vk::test::makeServerInfo;
using vk::test::Recorder;
using vk::test::ScopedLogCapture;

namespace {

std::shared_ptr<ApiClient> clientWithAddress(const std::string& address) {
    auto client = std::make_shared<ApiClient>(makeServerInfo(address), makeDeviceInfo());
    client->setServerAddress(address);
    return client;
}

// Request building --------------------------------------------------------------------------

TEST(ApiClientUrl, JoinsAddressPrefixAndPath) {
    auto client = clientWithAddress("http://127.0.0.1:8096");
    EXPECT_EQ(client->getUrl("System/Endpoint", {})->absoluteString(),
              "http://127.0.0.1:8096/vorn/System/Endpoint");
    EXPECT_EQ(client->getUrl("/System/Endpoint", {})->absoluteString(),
              "http://127.0.0.1:8096/vorn/System/Endpoint");
    EXPECT_EQ(client->getUrl("", {})->absoluteString(), "http://127.0.0.1:8096/vorn/");
}

TEST(ApiClientUrl, AddsThePrefixOnlyWhenNoCaseOfItIsThere) {
    EXPECT_EQ(
        clientWithAddress("https://media.example/Vorn")->getUrl("Items", {})->absoluteString(),
        "https://media.example/Vorn/Items");
    EXPECT_EQ(
        clientWithAddress("https://media.example/VORN/")->getUrl("Items", {})->absoluteString(),
        "https://media.example/VORN//Items");
    // Only the path counts: a host whose name starts with the prefix still gets it.
    EXPECT_EQ(clientWithAddress("http://vornbox.lan:8096")->getUrl("Items", {})->absoluteString(),
              "http://vornbox.lan:8096/vorn/Items");
    EXPECT_EQ(
        clientWithAddress("https://vorn.example/media")->getUrl("Items", {})->absoluteString(),
        "https://vorn.example/media/vorn/Items");
    // Nothing is removed: an address ending in "/" gives a doubled slash.
    EXPECT_EQ(clientWithAddress("http://h:1/")->getUrl("Items", {})->absoluteString(),
              "http://h:1//vorn/Items");
}

TEST(ApiClientUrl, EncodesParametersSoThatEveryValueArrivesUnchanged) {
    auto client = clientWithAddress("http://h:1");
    auto url = client->getUrl(
        "Items",
        {{"SearchTerm", "AC/DC & friends"}, {"NameStartsWith", "A+B=C"}, {"Tag", "#1 100%"}});
    ASSERT_TRUE(url);
    auto items = vk::UrlComponents::parse(url->absoluteString())->queryItems();
    ASSERT_TRUE(items);
    std::map<std::string, std::string> decoded;
    for (const auto& item : *items)
        decoded[item.name] = item.value.value_or("<none>");
    EXPECT_EQ(decoded, (std::map<std::string, std::string>{{"SearchTerm", "AC/DC & friends"},
                                                           {"NameStartsWith", "A+B=C"},
                                                           {"Tag", "#1 100%"}}));
    EXPECT_EQ(client->getUrl("Items", {})->query(), std::nullopt);
}

TEST(ApiClientUrl, APathAUrlCannotCarryGivesNoUrlAndNoLog) {
    ScopedLogCapture log;
    auto client = clientWithAddress("http://h:1");
    EXPECT_FALSE(client->getUrl("Items/with space", {}));
    EXPECT_TRUE(log->messages("ApiClient").empty());
}

TEST(ApiClientUrl, WithoutAnAddressLogsAndStartsResolution) {
    ScopedLogCapture log;
    // A single candidate resolves at once, without a probe.
    auto client = std::make_shared<ApiClient>(
        makeServerInfo(std::nullopt, "http://remote.example:8096"), makeDeviceInfo());
    EXPECT_FALSE(client->getUrl("System/Endpoint", {}));
    EXPECT_EQ(log->messages("ApiClient"), (std::vector<std::string>{"Error: Server address not set",
                                                                    "tryReconnect to server"}));
    EXPECT_EQ(client->serverAddress(), "http://remote.example:8096");
    EXPECT_EQ(client->getUrl("System/Endpoint", {})->absoluteString(),
              "http://remote.example:8096/vorn/System/Endpoint");
}

TEST(ApiClientHeader, HasTheExactTextWithEveryFieldCleaned) {
    vk::DeviceInfo device("id\"-1", std::string("Living Room TV"),
                          std::string("2.0 \u201Cbeta\u201D"), "Vorn\u2019s \u2018App\u2019");
    vk::UrlRequest request(*vk::Url::parse("http://h/"));
    request.setValue("stale", "X-Vorn-Authorization");
    auto built = ApiClient::setRequestHeaders(request, device, std::string("t'ok\"en"));
    EXPECT_EQ(built.value("X-Vorn-Authorization"),
              "Talvex Device=Living%20Room%20TV,DeviceId=id-1,Version=2.0 beta,Client=Vorns App,"
              "Token=token");
    EXPECT_EQ(built.allHTTPHeaderFields.fields().size(), 1u);
}

TEST(ApiClientHeader, AbsentValuesLeaveEmptyFields) {
    vk::DeviceInfo device("dev", std::nullopt, std::nullopt, "Vorn");
    auto built = ApiClient::setRequestHeaders(vk::UrlRequest(*vk::Url::parse("http://h/")), device,
                                              std::nullopt);
    EXPECT_EQ(built.value("X-Vorn-Authorization"),
              "Talvex Device=,DeviceId=dev,Version=,Client=Vorn,Token=");
}

TEST(ApiClientHeader, LineBreaksCannotForgeFurtherHeaders) {
    vk::DeviceInfo device("dev\r\nX-Admin: 1", std::string("a\r\nb"), std::string("1\n"), "Vorn\r");
    auto built = ApiClient::setRequestHeaders(vk::UrlRequest(*vk::Url::parse("http://h/")), device,
                                              std::string("tok\r\nen\0x", 9));
    std::string header = *built.value("X-Vorn-Authorization");
    EXPECT_EQ(header.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << header;
    EXPECT_EQ(header,
              "Talvex Device=a%0D%0Ab,DeviceId=devX-Admin: 1,Version=1,Client=Vorn,Token=tokenx");
}

TEST(ApiClientHeader, CleaningFunctions) {
    EXPECT_EQ(ApiClient::cleanHeaderValue(std::nullopt), "");
    EXPECT_EQ(ApiClient::cleanHeaderValue(std::string("a b/c?d&e=f%")), "a%20b/c?d&e=f%25");
    EXPECT_EQ(ApiClient::cleanHeaderValue(std::string("Café \"x\"")), "Caf%C3%A9%20%22x%22");
    EXPECT_EQ(ApiClient::cleanHeaderValue_old(std::nullopt), "");
    EXPECT_EQ(ApiClient::cleanHeaderValue_old(std::string("\"a\" 'b' \u2018c\u2019 \u201Cd\u201D")),
              "a b c d");
}

// State -------------------------------------------------------------------------------------

TEST(ApiClientState, StartsWithTheSavedTokenAndNoAddress) {
    auto before = std::chrono::duration_cast<std::chrono::seconds>(
                      vk::Environment::current()->now().time_since_epoch())
                      .count();
    ApiClient client(makeServerInfo("http://h:1"), makeDeviceInfo());
    auto after = std::chrono::duration_cast<std::chrono::seconds>(
                     vk::Environment::current()->now().time_since_epoch())
                     .count();
    EXPECT_EQ(client.getServerCredentials(), "token-abc");
    EXPECT_FALSE(client.serverAddress());
    EXPECT_GE(client.startingPlaySession(), before);
    EXPECT_LE(client.startingPlaySession(), after);
    EXPECT_EQ(client.dateLastAccessed(), ApiClient::distantPast());
    EXPECT_EQ(client.serverName(), "Living Room Server");
    EXPECT_EQ(client.serverId(), "server-1");
    EXPECT_EQ(client.currentUserId(), "user-1");
    EXPECT_EQ(client.deviceId(), "device-42");
}

TEST(ApiClientState, CredentialsAndServerRecordChangeIndependently) {
    ApiClient client(makeServerInfo("http://h:1"), makeDeviceInfo());
    client.setServerCredentials(std::string(""));
    EXPECT_FALSE(client.getServerCredentials());
    client.setServerCredentials(std::string("new"));
    auto info = makeServerInfo("http://other:2");
    info.Name = "Renamed";
    info.AccessToken = "ignored";
    client.updateServerInfo(info);
    EXPECT_EQ(client.serverName(), "Renamed");
    EXPECT_EQ(client.getServerCredentials(), "new");
    client.clearServerCredentials();
    EXPECT_FALSE(client.getServerCredentials());
    client.setServerAddress("http://h:1");
    client.onNetworkChanged();
    EXPECT_FALSE(client.serverAddress());
}

// Exchanges against the reference server -----------------------------------------------------

// A client whose exchanges run on a session of the test's own, so that they can be cancelled.
class ClientWithOwnSession : public ApiClient {
  public:
    ClientWithOwnSession(vk::ServerInfo info, vk::DeviceInfo device)
        : ApiClient(std::move(info), std::move(device)), session(vk::UrlSession::make()) {}
    std::shared_ptr<vk::UrlSession> urlSession() const override { return session; }
    std::shared_ptr<vk::UrlSession> session;
};

class ApiClientExchange : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        RefServer::Options options;
        options.accessToken = "token-abc";
        server_ = new RefServer(options);
        server_->route("GET", "Test/Partial",
                       [](const refserver::Request&, refserver::Response& r) {
                           r.body = R"({"IsInNetwork":true})";
                       });
        server_->route("POST", "Test/Post",
                       [](const refserver::Request& in, refserver::Response& r) {
                           r.body = "posted:" + in.recorded.body;
                           r.contentType = "text/plain";
                       });
        server_->route("PUT", "Test/Put", [](const refserver::Request&, refserver::Response& r) {
            r.body = "put";
            r.contentType = "text/plain";
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
        client_ = clientWithAddress(base_);
    }
    void TearDown() override { server_->releaseHangs(); }

    vk::UrlRequest request(const std::string& path) {
        return vk::UrlRequest(*client_->getUrl(path, {}));
    }
    template <class T>
    std::optional<T> fetch(const std::string& path, Recorder<std::optional<T>>& recorder) {
        client_->fetchContent<T>(request(path), vk::JsonDecoder(), nullptr,
                                 recorder.handler(queue()));
        EXPECT_TRUE(recorder.wait());
        flush();
        EXPECT_EQ(recorder.calls(), 1);
        EXPECT_TRUE(recorder.onQueue());
        return recorder.value();
    }
    std::optional<std::string> post(const std::string& path, std::string body) {
        Recorder<std::optional<std::string>> recorder;
        client_->postContent(*client_->getUrl(path, {}), std::move(body),
                             recorder.handler(queue()));
        EXPECT_TRUE(recorder.wait());
        flush();
        EXPECT_EQ(recorder.calls(), 1);
        EXPECT_TRUE(recorder.onQueue());
        return recorder.value();
    }
    std::string url(const std::string& path) { return base_ + "/vorn/" + path; }
    static std::shared_ptr<vk::DispatchQueue> queue() {
        return vk::defaultSession()->delegateQueue();
    }
    // Anything posted to the delegate queue before this returns has run.
    static void flush() {
        queue()->sync([] {});
    }

    static RefServer* server_;
    static std::string base_;
    std::shared_ptr<ApiClient> client_;
    ScopedLogCapture log_;
};

RefServer* ApiClientExchange::server_ = nullptr;
std::string ApiClientExchange::base_;

TEST_F(ApiClientExchange, FetchDecodesA2xxAnswerAndSendsTheHeader) {
    server_->setEndpointInfo(false, true);
    Recorder<std::optional<EndpointInfo>> recorder;
    auto info = fetch<EndpointInfo>("System/Endpoint", recorder);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->IsInNetwork);
    EXPECT_TRUE(info->IsLocal);
    EXPECT_EQ(log_->messages("ApiClient"),
              std::vector<std::string>{"Getting response from " + url("System/Endpoint")});
    auto recorded = server_->requestsTo("/vorn/System/Endpoint");
    ASSERT_EQ(recorded.size(), 1u);
    // The reference server's HTTP library hands header values over percent-decoded.
    EXPECT_EQ(recorded[0].header("X-Vorn-Authorization"),
              "Talvex Device=Test Device,DeviceId=device-42,Version=1.2.3,Client=Vorn,"
              "Token=token-abc");
}

TEST_F(ApiClientExchange, FetchHopsToTheCallbackQueueWhenGiven) {
    Recorder<std::optional<EndpointInfo>> recorder;
    client_->fetchContent<EndpointInfo>(request("System/Endpoint"), vk::JsonDecoder(),
                                        vk::DispatchQueue::main(),
                                        recorder.handler(vk::DispatchQueue::main()));
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return recorder.calls() > 0; }));
    EXPECT_TRUE(recorder.onQueue());
    EXPECT_TRUE(recorder.value());
}

TEST_F(ApiClientExchange, FetchFailuresAreLoggedAndAbsent) {
    struct Case {
        std::string path;
        std::optional<Fault> fault;
        std::string expectedLog;
    };
    std::vector<Case> cases = {
        {"Test/Status", Fault::withStatus(500),
         "Error fetching content for {url}: Invalid response"},
        {"Test/NoBody", Fault::noBody(200), "Error fetching content for {url}: Invalid response"},
        {"Test/Empty", Fault::emptyBody(204), "Error deserializing json \n\nError: "},
        {"Test/Garbage", Fault::garbage(), "Error deserializing json \n\nError: "},
        {"Test/Partial", std::nullopt,
         "Error deserializing json {\"IsInNetwork\":true}\n\nError: "},
        {"Test/Reset", Fault::reset(),
         "Error fetching content for {url}: The network connection was lost."},
    };
    for (auto& c : cases) {
        if (c.fault)
            server_->addFault({"", "/vorn/" + c.path, "", *c.fault, -1});
    }
    for (const auto& c : cases) {
        log_->clear();
        Recorder<std::optional<EndpointInfo>> recorder;
        EXPECT_FALSE(fetch<EndpointInfo>(c.path, recorder)) << c.path;
        auto messages = log_->messages("ApiClient");
        ASSERT_EQ(messages.size(), 2u) << c.path;
        EXPECT_EQ(messages[0], "Getting response from " + url(c.path));
        std::string expected = c.expectedLog;
        if (auto at = expected.find("{url}"); at != std::string::npos) {
            expected.replace(at, 5, url(c.path));
        }
        EXPECT_EQ(messages[1].substr(0, expected.size()), expected) << c.path;
    }
}

TEST_F(ApiClientExchange, AMissingTokenIsSentEmptyAndRefused) {
    client_->clearServerCredentials();
    Recorder<std::optional<EndpointInfo>> recorder;
    EXPECT_FALSE(fetch<EndpointInfo>("System/Endpoint", recorder));
    EXPECT_EQ(log_->messages("ApiClient").back(),
              "Error fetching content for " + url("System/Endpoint") + ": Invalid response");
    auto recorded = server_->requestsTo("/vorn/System/Endpoint");
    ASSERT_EQ(recorded.size(), 1u);
    std::string header = recorded[0].header("X-Vorn-Authorization").value_or("");
    EXPECT_EQ(header.substr(header.size() - 7), ",Token=");
}

TEST_F(ApiClientExchange, FetchWithAStoreContextDecodesThereAndFailsSilently) {
    auto storeQueue = vk::DispatchQueue::makeSerial("store");
    auto context = vk::ObjectContext::make(storeQueue);
    vk::JsonDecoder decoder;
    decoder.userInfo[ApiClient::kManagedObjectContextKey] = context;

    Recorder<std::optional<EndpointInfo>> good;
    client_->fetchContent<EndpointInfo>(request("System/Endpoint"), decoder, nullptr,
                                        good.handler());
    ASSERT_TRUE(good.wait());
    EXPECT_TRUE(good.value());

    log_->clear();
    Recorder<std::optional<EndpointInfo>> bad;
    client_->fetchContent<EndpointInfo>(request("Test/Partial"), decoder, nullptr, bad.handler());
    ASSERT_TRUE(bad.wait());
    flush();
    EXPECT_FALSE(bad.value());
    EXPECT_EQ(bad.calls(), 1);
    EXPECT_EQ(log_->messages("ApiClient"),
              std::vector<std::string>{"Getting response from " + url("Test/Partial")});
}

TEST_F(ApiClientExchange, CancellationIsATransportErrorWithOneCompletion) {
    auto client = std::make_shared<ClientWithOwnSession>(makeServerInfo(base_), makeDeviceInfo());
    client->setServerAddress(base_);
    server_->addFault({"", "/vorn/Test/Hang", "", Fault::hang(), -1});
    Recorder<std::optional<EndpointInfo>> fetched;
    Recorder<std::optional<std::string>> posted;
    client->fetchContent<EndpointInfo>(vk::UrlRequest(*client->getUrl("Test/Hang", {})),
                                       vk::JsonDecoder(), nullptr, fetched.handler());
    client->postContent(*client->getUrl("Test/Hang", {}), "{}", posted.handler());
    ASSERT_TRUE(vk::test::pumpMainQueueUntil(
        [&] { return server_->requestsTo("/vorn/Test/Hang").size() == 2; }));
    client->session->invalidateAndCancel();
    ASSERT_TRUE(fetched.wait());
    ASSERT_TRUE(posted.wait());
    client->session->delegateQueue()->sync([] {});
    EXPECT_EQ(fetched.calls(), 1);
    EXPECT_EQ(posted.calls(), 1);
    EXPECT_FALSE(fetched.value());
    EXPECT_FALSE(posted.value());
    auto messages = log_->messages("ApiClient");
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Error fetching content for " + url("Test/Hang") + ": cancelled"),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Error posting content to " + url("Test/Hang") + ": cancelled"),
              messages.end());
}

TEST_F(ApiClientExchange, PostSendsJsonAndReturnsTheAnswerText) {
    EXPECT_EQ(post("Test/Post", R"({"a":1})"), R"(posted:{"a":1})");
    auto recorded = server_->requestsTo("/vorn/Test/Post");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].header("Content-Type"), "application/json");
    EXPECT_TRUE(recorded[0].header("X-Vorn-Authorization"));
    EXPECT_EQ(log_->messages("ApiClient"),
              std::vector<std::string>{"Getting response from " + url("Test/Post")});
}

TEST_F(ApiClientExchange, PostAnswersWithoutTextGiveTheStatusOrNothing) {
    server_->addFault({"", "/vorn/Test/Empty", "", Fault::emptyBody(204), -1});
    server_->addFault({"", "/vorn/Test/NoContent", "", Fault::noContent(204), -1});
    server_->addFault({"", "/vorn/Test/Closed204", "", Fault::noBody(204), -1});
    server_->addFault({"", "/vorn/Test/NoBody", "", Fault::noBody(200), -1});
    server_->addFault({"", "/vorn/Test/Garbage", "", Fault::garbage(), -1});
    EXPECT_EQ(post("Test/Empty", "{}"), "204");
    // The form most servers send: no Content-Length at all.
    EXPECT_EQ(post("Test/NoContent", "{}"), "204");
    EXPECT_EQ(post("Test/Closed204", "{}"), "204");
    EXPECT_EQ(post("Test/Garbage", "{}"), "200");  // not UTF-8 text
    log_->clear();
    EXPECT_EQ(post("Test/NoBody", "{}"), std::nullopt);
    EXPECT_EQ(log_->messages("ApiClient"),
              std::vector<std::string>{"Getting response from " + url("Test/NoBody")});
}

// Only 2xx is success: a 3xx answer fails even when its body is the record asked for, and a
// redirect that is not followed (no Location) is such an answer.
TEST_F(ApiClientExchange, OnlyA2xxStatusIsSuccess) {
    const std::string endpoint = R"({"IsInNetwork":true,"IsLocal":false})";
    for (int status : {203, 299, 300, 302}) {
        server_->route("GET", "Test/Status" + std::to_string(status),
                       [endpoint, status](const refserver::Request&, refserver::Response& r) {
                           r.status = status;
                           r.body = endpoint;
                       });
        server_->route("POST", "Test/Status" + std::to_string(status),
                       [endpoint, status](const refserver::Request&, refserver::Response& r) {
                           r.status = status;
                           r.body = endpoint;
                       });
    }
    server_->addFault({"", "/vorn/Test/NotModified", "", Fault::noContent(304), -1});
    for (int status : {203, 299}) {
        std::string path = "Test/Status" + std::to_string(status);
        Recorder<std::optional<EndpointInfo>> recorder;
        EXPECT_TRUE(fetch<EndpointInfo>(path, recorder)) << status;
        EXPECT_EQ(post(path, "{}"), endpoint) << status;
    }
    for (std::string path : {"Test/Status300", "Test/Status302", "Test/NotModified"}) {
        log_->clear();
        Recorder<std::optional<EndpointInfo>> recorder;
        EXPECT_FALSE(fetch<EndpointInfo>(path, recorder)) << path;
        EXPECT_EQ(log_->messages("ApiClient").back(),
                  "Error fetching content for " + url(path) + ": Invalid response");
        log_->clear();
        EXPECT_EQ(post(path, "{}"), std::nullopt) << path;
        EXPECT_EQ(log_->messages("ApiClient").back(),
                  "Error posting content to " + url(path) + ": Invalid response");
    }
    EXPECT_EQ(server_->requestsTo("/vorn/Test/Status302").size(), 2u) << "nothing followed";
}

TEST_F(ApiClientExchange, PostFailuresAreLogged) {
    server_->addFault({"", "/vorn/Test/Status", "", Fault::withStatus(403), -1});
    server_->addFault({"", "/vorn/Test/Reset", "", Fault::reset(), -1});
    EXPECT_EQ(post("Test/Status", "{}"), std::nullopt);
    EXPECT_EQ(post("Test/Reset", "{}"), std::nullopt);
    auto messages = log_->messages("ApiClient");
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[1], "Error posting content to " + url("Test/Status") + ": Invalid response");
    EXPECT_EQ(messages[3], "Error posting content to " + url("Test/Reset") +
                               ": The network connection was lost. (transfer closed with 64 bytes "
                               "remaining to read)");
}

TEST_F(ApiClientExchange, SendRequestRunsTheBuiltRequestAuthorised) {
    vk::UrlRequest put = request("Test/Put");
    put.httpMethod = "PUT";
    put.httpBody = "payload";
    Recorder<std::optional<std::string>> recorder;
    client_->sendRequest(put, recorder.handler(queue()));
    ASSERT_TRUE(recorder.wait());
    flush();
    EXPECT_EQ(recorder.calls(), 1);
    EXPECT_TRUE(recorder.onQueue());
    EXPECT_EQ(recorder.value(), "put");
    auto recorded = server_->requestsTo("/vorn/Test/Put");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].body, "payload");
    EXPECT_TRUE(recorded[0].header("X-Vorn-Authorization"));
}

TEST_F(ApiClientExchange, SendRequestWithoutAUrlNamesTheRequest) {
    Recorder<std::optional<std::string>> recorder;
    client_->sendRequest(vk::UrlRequest(), recorder.handler(queue()));
    ASSERT_TRUE(recorder.wait());
    EXPECT_FALSE(recorder.value());
    auto messages = log_->messages("ApiClient");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Getting response from null");
    EXPECT_EQ(messages[1].rfind("Error posting content to <UrlRequest> { URL: (null) }: ", 0), 0u)
        << messages[1];
}

// Bit rate ----------------------------------------------------------------------------------

class FixedBandwidth : public vk::BandwidthSource {
  public:
    explicit FixedBandwidth(double value) : value_(value) {}
    double maxBandwidth() const override { return value_; }

  private:
    double value_;
};

std::int64_t detect(ApiClient& client) {
    Recorder<std::int64_t> recorder;
    client.detectBitrate(recorder.handler());
    EXPECT_TRUE(recorder.wait());
    return recorder.value();
}

TEST_F(ApiClientExchange, BitrateFollowsTheEndpointAndTheBandwidthSource) {
    server_->setEndpointInfo(true, false);
    EXPECT_EQ(detect(*client_), 140'000'000);
    server_->setEndpointInfo(false, true);
    EXPECT_EQ(detect(*client_), 1'500'000);  // no source installed
    auto source = std::make_shared<FixedBandwidth>(25'000'000.9);
    vk::BandwidthSource::install(source);
    EXPECT_EQ(detect(*client_), 25'000'000);
    auto infinite = std::make_shared<FixedBandwidth>(std::numeric_limits<double>::infinity());
    vk::BandwidthSource::install(infinite);
    EXPECT_EQ(detect(*client_), 1'500'000);
    vk::BandwidthSource::install({});
}

TEST(ApiClientBitrate, FallsBackWhenTheAnswerDoesNotDecode) {
    RefServer server;
    server.route("GET", "System/Endpoint", [](const refserver::Request&, refserver::Response& r) {
        r.body = R"({"IsInNetwork":true})";  // lacks IsLocal
    });
    auto client = clientWithAddress(*server.listen({"main", "127.0.0.1", 0, std::nullopt}));
    EXPECT_EQ(detect(*client), 1'500'000);
}

TEST(ApiClientBitrate, WithoutAnAddressItIsTheFallbackAtOnce) {
    ScopedLogCapture log;
    ApiClient client(makeServerInfo(std::nullopt), makeDeviceInfo());
    std::optional<std::int64_t> rate;
    client.detectBitrate([&](std::int64_t value) { rate = value; });
    EXPECT_EQ(rate, 1'500'000);
    EXPECT_EQ(log->messages("ApiClient"),
              (std::vector<std::string>{"Error: Server address not set", "tryReconnect to server",
                                        "Error: getEndpointInfo invalid url"}));
}

TEST(BandwidthSource, ConversionTruncatesAndRejectsWhatDoesNotFit) {
    EXPECT_EQ(vk::BandwidthSource::toBitRate(2'900'000.99), 2'900'000);
    EXPECT_EQ(vk::BandwidthSource::toBitRate(-0.5), 0);
    EXPECT_EQ(vk::BandwidthSource::toBitRate(9223372036854774784.0), 9223372036854774784LL);
    EXPECT_EQ(vk::BandwidthSource::toBitRate(9223372036854775808.0), 1'500'000);
    EXPECT_EQ(vk::BandwidthSource::toBitRate(std::numeric_limits<double>::max()), 1'500'000);
    EXPECT_EQ(vk::BandwidthSource::toBitRate(std::nan("")), 1'500'000);
    EXPECT_EQ(vk::BandwidthSource::toBitRate(-std::numeric_limits<double>::infinity()), 1'500'000);
}

TEST(BandwidthSource, AnExpiredSourceFallsBackToTheDefault) {
    {
        auto source = std::make_shared<FixedBandwidth>(3e6);
        vk::BandwidthSource::install(source);
        EXPECT_EQ(vk::BandwidthSource::currentMaxBandwidth(), 3e6);
    }
    EXPECT_EQ(vk::BandwidthSource::currentMaxBandwidth(), 1.5e6);
    vk::BandwidthSource::install({});
}

}  // namespace
