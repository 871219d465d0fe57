// What the URL session tests share: a completion handler's record and a request helper.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Platform/Http/UrlSession.h"
#include "gtest/gtest.h"

namespace vk::test::url_session {

// Collects the calls of one completion handler.
struct Outcome {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;
    bool onDelegateQueue = false;
    std::optional<std::string> data;
    std::optional<vk::UrlResponse> response;
    std::optional<vk::UrlError> error;

    vk::DataTaskCompletionHandler handler(std::shared_ptr<vk::DispatchQueue> queue) {
        return [this, queue](std::optional<std::string> d, std::optional<vk::UrlResponse> r,
                             std::optional<vk::UrlError> e) {
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
        return called.wait_for(lock, std::chrono::seconds(20), [&] { return calls > 0; });
    }
    int callCount() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

inline vk::UrlRequest get(const std::string& base, const std::string& path) {
    return vk::UrlRequest(*vk::Url::parse(base + path));
}

// Runs `request` on `session` and waits for its completion.
inline void run(const std::shared_ptr<vk::UrlSession>& session, vk::UrlRequest request,
                Outcome& outcome) {
    session->dataTask(std::move(request), outcome.handler(session->delegateQueue()))->resume();
    ASSERT_TRUE(outcome.wait());
}

}  // namespace vk::test::url_session
