// The watch simulator's session delegate, shared by `vornctl watch-sim` and `vornctl demo`: it
// collects what the application side sends (messages, application contexts, user-info
// transfers) and wakes waiters on every change of activation or reachability.
//
// Thread rule: thread-safe; the session calls it on its own queue, waitFor() and take() on any
// other thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "VornKit/Platform/Watch/WatchSession.h"

namespace vornctl {

class WatchSimDelegate : public vk::WatchSessionDelegate {
  public:
    void activationDidComplete(vk::WatchSession&, vk::WatchActivationState,
                               const std::optional<vk::WatchSessionError>&) override {
        notify();
    }
    void sessionReachabilityDidChange(vk::WatchSession&) override { notify(); }
    void didReceiveMessage(vk::WatchSession&, const vk::PlistDictionary& message) override {
        add("message", message);
    }
    void didReceiveApplicationContext(vk::WatchSession&, const vk::PlistDictionary& c) override {
        add("context", c);
    }
    void didReceiveUserInfo(vk::WatchSession&, const vk::PlistDictionary& userInfo) override {
        add("userInfo", userInfo);
    }

    template <class Predicate>
    bool waitFor(std::chrono::milliseconds timeout, Predicate predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, predicate);
    }
    /// What arrived since the last take, in order of arrival.
    std::vector<vk::PlistDictionary> take() {
        std::vector<vk::PlistDictionary> out;
        for (auto& [kind, message] : takeTagged())
            out.push_back(std::move(message));
        return out;
    }
    /// The same, each with how it came: "message", "context" or "userInfo".
    std::vector<std::pair<const char*, vk::PlistDictionary>> takeTagged() {
        std::lock_guard lock(mutex_);
        return std::exchange(received_, {});
    }

  private:
    void add(const char* kind, const vk::PlistDictionary& message) {
        std::lock_guard lock(mutex_);
        received_.emplace_back(kind, message);
        changed_.notify_all();
    }
    void notify() {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<const char*, vk::PlistDictionary>> received_;
};

}  // namespace vornctl
