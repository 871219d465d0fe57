// ServerMonitor: whether the server in use answers. It asks the server's public information
// (GET <address>/vorn/System/Info/Public) now, every `interval`, and whenever the network's
// reachability changes ("kNetworkReachabilityChangedNotification"), and reports each change of the
// answer: reachable (the server answered with a 2xx status) or not.
//
// Thread rule: the main queue (which runs on the GTK thread): watch(), probeNow() and the
// callbacks. Ownership: the application owns the monitor; its timer and observer stop with it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"

namespace desktop {

/// A server as its public information names it.
struct ServerIdentity {
    std::string id;
    std::string name;
    std::string address;  ///< the address it answered at, without a trailing "/"
};

class ServerMonitor : public std::enable_shared_from_this<ServerMonitor> {
  public:
    /// Gets each change of reachability (the first answer counts as one), on the main queue.
    using Changed = std::function<void(bool reachable)>;

    static std::shared_ptr<ServerMonitor> create(std::chrono::milliseconds interval,
                                                 Changed changed);
    ~ServerMonitor();

    /// Watches `address` from now on (absent: none; nothing is reported while none).
    void watch(std::optional<std::string> address);
    /// Asks at once (an answer still awaited is dropped).
    void probeNow();
    /// The last answer; absent before the first or while no address is watched.
    std::optional<bool> reachable() const { return reachable_; }

    /// Asks `address` for its public information; `done` gets the server's identity, or nothing
    /// when it does not answer as a media server does, on the main queue.
    static void identify(const std::string& address, std::chrono::milliseconds timeout,
                         std::function<void(std::optional<ServerIdentity>)> done);

  private:
    ServerMonitor(std::chrono::milliseconds interval, Changed changed);
    void answered(std::uint64_t generation, bool reachable);

    const std::chrono::milliseconds interval_;
    const Changed changed_;
    std::optional<std::string> address_;
    std::optional<bool> reachable_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<vk::RepeatingTimer> timer_;
    vk::ObserverToken reachabilityObserver_ = 0;
};

/// `address` without trailing slashes.
std::string trimmedAddress(std::string address);
/// The origin ("scheme://host[:port]") of a URL; empty when it has none.
std::string originOf(const std::string& url);
/// Whether `text` starts with "http://" or "https://" (in any case).
bool isWebAddress(const std::string& text);

}  // namespace desktop
