// Helpers of the Api tests: records and a completion recorder that counts calls and notes the
// queue each call ran on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Model/DeviceInfo.h"
#include "VornKit/Model/ServerInfo.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk::test {

inline ServerInfo makeServerInfo(std::optional<std::string> local,
                                 std::optional<std::string> remote = std::nullopt,
                                 std::optional<std::string> manual = std::nullopt) {
    ServerInfo info;
    info.Id = "server-1";
    info.Name = "Living Room Server";
    info.AccessToken = "token-abc";
    info.UserId = "user-1";
    info.LocalAddress = std::move(local);
    info.RemoteAddress = std::move(remote);
    info.ManualAddress = std::move(manual);
    return info;
}

inline DeviceInfo makeDeviceInfo() {
    return DeviceInfo("device-42", std::string("Test Device"), std::string("1.2.3"), "Vorn");
}

/// Records the calls of a completion taking one value.
template <class T>
class Recorder {
  public:
    /// The completion to hand out; notes whether each call ran on `queue` (when given).
    std::function<void(T)> handler(std::shared_ptr<DispatchQueue> queue = nullptr) {
        return [state = state_, queue](T value) {
            std::lock_guard lock(state->mutex);
            ++state->calls;
            state->onQueue = queue ? queue->isCurrent() : false;
            state->value = std::move(value);
            state->changed.notify_all();
        };
    }
    /// Waits (without servicing the main queue) until the first call.
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] { return state_->calls > 0; });
    }
    int calls() const {
        std::lock_guard lock(state_->mutex);
        return state_->calls;
    }
    bool onQueue() const {
        std::lock_guard lock(state_->mutex);
        return state_->onQueue;
    }
    T value() const {
        std::lock_guard lock(state_->mutex);
        return *state_->value;
    }

  private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        int calls = 0;
        bool onQueue = false;
        std::optional<T> value;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vk::test
