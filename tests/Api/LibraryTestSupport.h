// The fixture of the library tests: one reference server with a small generated library for the
// whole suite (token "token-abc", user "user-1", as makeServerInfo() has them), a fresh client
// with the server's address per test, and helpers that wait for one completion.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "ApiTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Api/ApiClient.h"
#include "VornKit/Net/DefaultSession.h"
#include "gtest/gtest.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace vk::test {

/// Starts the suites' reference server ("server-1", token "token-abc") with a generated library of
/// 60 tracks for "user-1", listening on a loopback port whose base URL goes to `base`.
inline void startLibraryServer(refserver::RefServer*& server,
                               std::shared_ptr<refserver::Library>& library, std::string& base) {
    refserver::RefServer::Options options;
    options.accessToken = "token-abc";
    options.serverId = "server-1";
    server = new refserver::RefServer(options);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 60;
    libraryOptions.userId = "user-1";
    library = refserver::Library::install(*server, libraryOptions);
    base = *server->listen({"main", "127.0.0.1", 0, std::nullopt});
}

inline void stopLibraryServer(refserver::RefServer*& server,
                              std::shared_ptr<refserver::Library>& library) {
    delete server;
    server = nullptr;
    library.reset();
}

class LibraryServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startLibraryServer(server_, library_, base_); }
    static void TearDownTestSuite() { stopLibraryServer(server_, library_); }
    void SetUp() override {
        server_->clearFaults();
        server_->clearRequests();
        library_->clearReports();
        client_ = makeClient(makeServerInfo(base_));
    }

    std::shared_ptr<ApiClient> makeClient(ServerInfo info) {
        auto client = std::make_shared<ApiClient>(std::move(info), makeDeviceInfo());
        client->setServerAddress(base_);
        return client;
    }

    static std::shared_ptr<DispatchQueue> sessionQueue() {
        return defaultSession()->delegateQueue();
    }

    /// Runs `start` with a completion and waits for it; expects exactly one call, on the
    /// session's delegate queue (or on this thread when `inline_` is set).
    template <class T>
    std::optional<T> await(const std::function<void(std::function<void(std::optional<T>)>)>& start,
                           bool inline_ = false) {
        Recorder<std::optional<T>> recorder;
        const auto caller = std::this_thread::get_id();
        auto thread = std::make_shared<std::thread::id>();
        auto handler = recorder.handler(sessionQueue());
        start([handler, thread](std::optional<T> value) {
            *thread = std::this_thread::get_id();
            handler(std::move(value));
        });
        EXPECT_TRUE(recorder.wait());
        sessionQueue()->sync([] {});
        EXPECT_EQ(recorder.calls(), 1);
        if (inline_) {
            EXPECT_EQ(*thread, caller);
        } else {
            EXPECT_TRUE(recorder.onQueue());
        }
        return recorder.value();
    }

    /// The requests the server saw under "/vorn/<path>" exactly.
    static std::vector<refserver::RecordedRequest> requestsAt(const std::string& path) {
        std::vector<refserver::RecordedRequest> out;
        for (auto& request : server_->requests()) {
            if (request.path == "/vorn/" + path)
                out.push_back(request);
        }
        return out;
    }

    /// Waits (servicing the main queue) until `predicate` holds.
    static bool eventually(const std::function<bool()>& predicate) {
        return pumpMainQueueUntil(predicate, std::chrono::seconds(20));
    }

    static refserver::RefServer* server_;
    static std::shared_ptr<refserver::Library> library_;
    static std::string base_;
    std::shared_ptr<ApiClient> client_;
    ScopedLogCapture log_;
};

inline refserver::RefServer* LibraryServerTest::server_ = nullptr;
inline std::shared_ptr<refserver::Library> LibraryServerTest::library_;
inline std::string LibraryServerTest::base_;

}  // namespace vk::test
