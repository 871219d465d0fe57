// The fixture of the browsing tests: one reference server with a small generated library for the
// whole suite (token "token-abc", user "user-1"), and per test a connection manager of its own
// (memory keychain) with that server registered and its address set, and a MediaSource on it.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Api/ApiTestSupport.h"
#include "Api/LibraryTestSupport.h"
#include "Connection/ConnectionTestSupport.h"
#include "VornKit/Browse/MediaSource.h"
#include "VornKit/Net/DefaultSession.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace vk::test {

class BrowseFixture : public ConnectionFixture {
  public:
    static void SetUpTestSuite() { startLibraryServer(server_, library_, base_); }
    static void TearDownTestSuite() { stopLibraryServer(server_, library_); }
    void SetUp() override {
        ConnectionFixture::SetUp();
        server_->clearFaults();
        server_->clearRequests();
        manager_ = ConnectionManager::create();
        manager_->updateApiClients(std::vector<ServerInfo>{serverInfo("server-1", "token-abc")});
        client_ = manager_->getApiClient("server-1");
        client_->setServerAddress(base_);
        source_ = std::make_unique<MediaSource>(manager_);
    }

    ServerInfo serverInfo(const std::string& id, std::optional<std::string> token) {
        ServerInfo info;
        info.Id = id;
        info.Name = "Server " + id;
        info.AccessToken = std::move(token);
        info.UserId = "user-1";
        info.LocalAddress = base_;
        return info;
    }

    /// Runs `start` with a completion and waits for it (servicing the main queue); expects
    /// exactly one call.
    template <class T>
    T await(const std::function<void(std::function<void(T)>)>& start) {
        Recorder<T> recorder;
        start(recorder.handler());
        EXPECT_TRUE(
            pumpMainQueueUntil([&] { return recorder.calls() > 0; }, std::chrono::seconds(20)));
        defaultSession()->delegateQueue()->sync([] {});
        EXPECT_EQ(recorder.calls(), 1);
        return recorder.calls() > 0 ? recorder.value() : T{};
    }
    MediaSource::ItemList list(const std::function<void(MediaSource::ListCompletion)>& start) {
        return await<MediaSource::ItemList>(start);
    }
    std::optional<GetItemsResponse> answer(
        const std::function<void(MediaSource::ResponseCompletion)>& start) {
        return await<std::optional<GetItemsResponse>>(start);
    }

    /// The query of the one request the server saw, as a map.
    static std::map<std::string, std::string> onlyQuery(std::string* path = nullptr) {
        auto requests = server_->requests();
        EXPECT_EQ(requests.size(), 1u);
        if (requests.empty())
            return {};
        if (path)
            *path = requests.front().path;
        return {requests.front().query.begin(), requests.front().query.end()};
    }

    static refserver::RefServer* server_;
    static std::shared_ptr<refserver::Library> library_;
    static std::string base_;
    std::shared_ptr<ConnectionManager> manager_;
    std::shared_ptr<ApiClient> client_;
    std::unique_ptr<MediaSource> source_;
};

inline refserver::RefServer* BrowseFixture::server_ = nullptr;
inline std::shared_ptr<refserver::Library> BrowseFixture::library_;
inline std::string BrowseFixture::base_;

}  // namespace vk::test
