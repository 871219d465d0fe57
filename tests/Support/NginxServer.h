// NginxServer: a real nginx for the tests where a real server's own HTTP behaviour matters (Range,
// If-Range, ETag, TLS). It runs on a free loopback port with a configuration generated in a fresh
// folder under the test root, serves the files of root() (a fresh, empty folder), logs every
// request where requests() reads it, and stops with its worker processes when destroyed.
//
// A test without nginx on the machine skips:
//     if (!test::NginxServer::installed())
//         GTEST_SKIP() << "nginx is not installed";
//
// Thread rule: used by one test thread. Ownership: start() returns the only owner.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk::test {

/// One request as nginx logged it (after its answer was sent or cut).
struct NginxRequest {
    std::string method;
    std::string uri;      ///< as sent: path and query
    int status = 0;       ///< the answer's status
    std::string range;    ///< the request's Range header, empty when it had none
    std::string ifRange;  ///< its If-Range header, empty when it had none
};

class NginxServer {
  public:
    struct Options {
        /// Directives inside the http block (a map, say) and inside the server block (locations,
        /// limit_rate, etag, ...), as nginx reads them.
        std::string httpDirectives;
        std::string serverDirectives;
        /// HTTPS with a throw-away self-signed certificate for 127.0.0.1 (certificatePem()).
        bool tls = false;
    };

    /// Whether the nginx program is installed.
    static bool installed();
    /// Starts nginx and waits until it accepts connections. Null, with `error` set (nginx's own
    /// words where it said any), when it did not start.
    static std::unique_ptr<NginxServer> start(const Options& options, std::string& error);
    /// Stops nginx and its workers.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    /// "http://127.0.0.1:<port>" (https with Options::tls).
    std::string baseUrl() const;
    /// The folder nginx serves at "/".
    const std::filesystem::path& root() const { return root_; }
    /// The certificate nginx presents (PEM); empty without TLS.
    const std::string& certificatePem() const { return certificatePem_; }

    /// The requests logged so far, in order.
    std::vector<NginxRequest> requests() const;
    /// Waits until at least `count` requests are logged; false when the time ran out.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    /// Cuts every answer in flight: nginx's worker processes are killed; nginx starts new ones,
    /// which take the next requests. Returns once a new worker runs.
    void cutConnections();

  private:
    NginxServer() = default;
    bool launch(const Options& options, std::string& error);
    std::vector<pid_t> workers() const;
    void stop();

    std::filesystem::path dir_;
    std::filesystem::path root_;
    std::string certificatePem_;
    int port_ = 0;
    bool tls_ = false;
    pid_t master_ = -1;
};

}  // namespace vk::test
