// ServerAddressResolution: one run of finding which of a server's addresses answers now.
//
// Candidates, in order, skipping absent texts, texts that are not absolute URLs and repeats: the
// manual address if it is a loopback one (contains "127.0.0.1", or "localhost" in any case), the
// local address, the manual address, the remote address.
//
// With two or more candidates each gets a probe: a plain GET of
// "<candidate>/vorn/system/info/public%3Fformat=json" (the question mark escaped into the path) on
// a probe session of the resolution's own, started from the main queue 200 ms apart in list
// order. The first probe that gets any HTTP answer wins (an error status counts as reachable):
// the client stores that candidate's text as its address, and the completion gets it. When every
// probe has failed, the client's address is cleared and the completion gets the last error. The
// end of a resolution cancels and invalidates its probe session, so that later probes do nothing.
// Probe sessions share one worker thread for the whole process (UrlSessionConfiguration::
// sharesWorker); each probe opens a connection of its own.
// Resolutions are not deduplicated.
//
// Queues: probes start on the main queue (which must be serviced); answers arrive on the probe
// session's delegate queue; the completion is submitted to the callback queue given (or called on
// the probe session's queue when none is given).
//
// Thread rule: internal to ApiClient; the done flag, the failure count and the session are
// guarded. Ownership: the scheduled probes and the session's tasks keep the resolution alive; it
// holds its client weakly.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Export.h"
#include "VornKit/Platform/Http/UrlSession.h"

namespace vk {

/// One run of finding which of a server's addresses answers now (see the top of this file). Lives
/// until its completion has run; start() is the way in.
class VK_EXPORT ServerAddressResolution
    : public std::enable_shared_from_this<ServerAddressResolution> {
  public:
    /// Time between the starts of two probes.
    static constexpr std::chrono::milliseconds kProbeInterval{200};
    /// The path each probe asks for (its question mark escaped into the path when sent).
    static constexpr std::string_view kProbePath = "/vorn/system/info/public?format=json";

    /// The candidate URLs of `info`, in the order they are tried.
    static std::vector<Url> candidates(const ServerInfo& info);

    /// Resolves for `client` (no address stored): see the file comment. With no candidate the
    /// completion gets "No server addresses available" at once; with one, that address at once,
    /// without a probe. Both on the calling thread. Probing needs a client held by a
    /// std::shared_ptr (the probes keep track of it weakly): with two or more candidates, any
    /// other client gets an error at once, on the calling thread, and stores nothing. A client
    /// released while the probes run gets its completion with an error, never an address.
    static void start(ApiClient& client, std::shared_ptr<DispatchQueue> callbackQueue,
                      ApiClient::AddressCompletion completion);

    /// A resolution of `candidates` (two or more) for `client`, whose completion runs on
    /// `callbackQueue`; start() makes it and keeps it alive while the probes run.
    ServerAddressResolution(std::weak_ptr<ApiClient> client, std::vector<Url> candidates,
                            std::shared_ptr<DispatchQueue> callbackQueue,
                            ApiClient::AddressCompletion completion);

  private:
    void probe(std::size_t index);
    void answered(std::size_t index, const std::optional<UrlError>& error);
    void deliver(std::optional<std::string> address, std::optional<UrlError> error);
    void end();

    const std::weak_ptr<ApiClient> client_;
    const std::vector<Url> candidates_;
    const std::shared_ptr<DispatchQueue> callbackQueue_;
    const ApiClient::AddressCompletion completion_;

    std::mutex mutex_;
    std::shared_ptr<UrlSession> session_;  // released when the resolution ends
    bool done_ = false;
    std::size_t failures_ = 0;
};

}  // namespace vk
