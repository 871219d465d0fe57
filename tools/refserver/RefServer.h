// RefServer: a reference media server for the demo, the command-line tool and the end-to-end
// tests. It speaks the server's HTTP/JSON interface under the "/vorn" prefix on any number of
// listeners at once (127.0.0.x:port, plain HTTP or HTTPS with a throw-away certificate), so that
// one server record's local, manual and remote addresses can each point at a listener.
//
// What it offers the tests:
//   - Routes: handlers for (method, path pattern) under "/vorn"; patterns are case-insensitive
//     regular expressions over the decoded path after "/vorn/" ("Users/([^/]+)/Views"). Later
//     routes win over earlier ones, so a test can replace a built-in answer. Built in: the address
//     probe "system/info/public?format=json" (its question mark arrives escaped, inside the path),
//     "System/Info/Public", "System/Info" and "System/Endpoint" (IsInNetwork, IsLocal settable).
//   - Pages: handlers for paths outside "/vorn" (the web interface), open to every request.
//   - Authorisation: unless a route is public, a request must carry the access token, as
//     "Token=..." in the X-Vorn-Authorization header or as the api_key query parameter, when one
//     is set; otherwise it gets 401.
//   - A recorder: every request that reaches a listener (method, decoded path, raw target, query,
//     headers, body, listener, client connection).
//   - Faults per listener, path prefix and method: delay, a status, an empty body, no body at all,
//     a 204/304 head without Content-Length on a kept-alive connection (as most servers send
//     it), the normal answer sent chunked, garbage, a connection closed mid-answer, a hang until
//     the server stops or releaseHangs().
//
// Thread rule: thread-safe. Handlers run on the listeners' worker threads, several at once; they
// must be thread-safe. stop() (also run by the destructor) waits for running handlers; hung
// requests are released first.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace refserver {

using Fields = std::vector<std::pair<std::string, std::string>>;

/// Certificate chain (leaf first, then every certificate the server sends along) and the leaf's
/// private key, both PEM.
struct TlsIdentity {
    std::string certificateChainPem;
    std::string privateKeyPem;
};

struct ListenerOptions {
    std::string name;  ///< label used by the recorder and by fault rules ("local", "remote")
    std::string host = "127.0.0.1";
    int port = 0;  ///< 0: a free port chosen by the system
    std::optional<TlsIdentity> tls;
};

enum class FaultKind {
    delay,      ///< wait, then answer normally
    status,     ///< answer with this status and a small JSON error body
    emptyBody,  ///< answer with the status and "Content-Length: 0"
    noBody,     ///< answer with the status, no length and no body (the connection then closes)
    noContent,  ///< answer with the status (204, 304), no Content-Length, no body; kept alive
    chunked,    ///< answer normally, with the body sent in small chunks and no length
    garbage,    ///< answer 200 with bytes that are not JSON
    reset,      ///< send the head with a length, then close the connection without the body
    hang,       ///< never answer (until releaseHangs() or stop(), then close the connection)
};

struct Fault {
    FaultKind kind = FaultKind::delay;
    std::chrono::milliseconds delay{0};
    int status = 200;

    static Fault delayBy(std::chrono::milliseconds wait) { return {FaultKind::delay, wait, 200}; }
    static Fault withStatus(int code) { return {FaultKind::status, {}, code}; }
    static Fault emptyBody(int code = 200) { return {FaultKind::emptyBody, {}, code}; }
    static Fault noBody(int code = 200) { return {FaultKind::noBody, {}, code}; }
    static Fault noContent(int code = 204) { return {FaultKind::noContent, {}, code}; }
    static Fault chunked() { return {FaultKind::chunked, {}, 200}; }
    static Fault garbage() { return {FaultKind::garbage, {}, 200}; }
    static Fault reset() { return {FaultKind::reset, {}, 200}; }
    static Fault hang() { return {FaultKind::hang, {}, 200}; }
};

struct FaultRule {
    std::string listener;    ///< empty: every listener
    std::string pathPrefix;  ///< compared case-insensitively with the decoded path; empty: all
    std::string method;      ///< empty: every method
    Fault fault;
    int times = -1;  ///< how many requests it applies to; -1: all
};

struct RecordedRequest {
    std::string listener;
    std::string method;
    std::string path;    ///< decoded path ("/vorn/system/info/public?format=json" for the probe)
    std::string target;  ///< the request target exactly as sent
    Fields query;        ///< decoded query parameters, in order
    Fields headers;      ///< values percent-decoded (the HTTP library decodes them on arrival)
    std::string body;
    std::string remoteAddress;
    int remotePort = 0;

    std::optional<std::string> header(const std::string& name) const;
    std::optional<std::string> queryValue(const std::string& name) const;
};

/// What a route handler sees.
struct Request {
    const RecordedRequest& recorded;
    std::string apiPath;                ///< the decoded path after "/vorn/"
    std::vector<std::string> captures;  ///< the pattern's groups
    /// The fields of the X-Vorn-Authorization header ("Device", "DeviceId", "Version", "Client",
    /// "Token"); empty when the header is missing or has another scheme.
    std::map<std::string, std::string> authorization;
};

/// A body made piece by piece instead of held whole (files of any size), with the faults of a
/// broken or misbehaving file server.
struct BodyStream {
    std::uint64_t length = 0;
    /// Appends the bytes [offset, offset + size) of the body to `out`; called on the worker
    /// thread, possibly for several answers at once.
    std::function<void(std::uint64_t offset, std::size_t size, std::string& out)> read;
    /// Closes the connection after this many bytes of the answer (a cut connection).
    std::optional<std::uint64_t> cutAfter;
    /// Sends this many bytes past the declared length (a body longer than its Content-Length).
    std::uint64_t extraBytes = 0;
    /// Waits this long before each piece of 64 KiB (a slow body).
    std::chrono::microseconds pause{0};
    /// Answers a Range request with 206 and a Content-Range that starts here instead of where
    /// the request asked (a wrong range); the body then runs from here to the end.
    std::optional<std::uint64_t> wrongRangeStart;
    /// Answers a Range request with 206 and a Content-Range whose length is "*" (a server that
    /// does not say the file's length); the body runs from the asked start to the end.
    bool unknownTotal = false;
    /// Answers a Range request with the whole body under 200 (a server without range support);
    /// the answer then has no length and ends when the connection closes.
    bool ignoreRange = false;
    /// The answer's ETag. A Range request whose If-Range names another version is answered
    /// whole, under 200.
    std::optional<std::string> etag;
};

/// The content type of the server's JSON answers. With a charset parameter, as media servers send
/// it (the HTTP library compresses bare "application/json" with Brotli at its slowest setting for
/// every answer, tiny ones included).
inline const std::string kJsonType = "application/json; charset=utf-8";

struct Response {
    int status = 200;
    std::string body;
    std::string contentType = kJsonType;
    Fields headers;
    /// When set, the body comes from here and `body` is ignored. Range requests ("bytes=N-",
    /// "bytes=N-M") are answered with 206 and a Content-Range; a range past the end gets 416.
    std::optional<BodyStream> stream;
};

using Handler = std::function<void(const Request&, Response&)>;

enum class Access { authorised, open };

class RefServer {
  public:
    struct Options {
        std::string serverId = "f0e1d2c3b4a5968778695a4b3c2d1e0f";
        std::string serverName = "Reference Server";
        std::string version = "10.8.0";
        /// The token every authorised route requires; none: no check.
        std::optional<std::string> accessToken;
        /// How long an idle client connection is kept; also bounds how long stop() waits for one.
        int keepAliveSeconds = 1;
    };

    explicit RefServer(Options options);
    RefServer() : RefServer(Options()) {}
    ~RefServer();
    RefServer(const RefServer&) = delete;
    RefServer& operator=(const RefServer&) = delete;

    /// Starts a listener; returns its base address ("http://127.0.0.1:41234"), or absent when the
    /// address cannot be bound or the TLS identity is unusable.
    std::optional<std::string> listen(ListenerOptions options);
    /// The base address of the listener named `name` (empty when there is none).
    std::string address(const std::string& name) const;
    /// Stops every listener; waits for running handlers. Idempotent.
    void stop();

    void route(std::string method, const std::string& pattern, Handler handler,
               Access access = Access::authorised);

    /// A page outside the "/vorn" prefix (the web interface): `pattern` is matched against the
    /// decoded path after the leading "/" ("web/(.*)"), as routes are; pages need no token.
    void page(std::string method, const std::string& pattern, Handler handler);

    void setAccessToken(std::optional<std::string> token);
    void setEndpointInfo(bool isInNetwork, bool isLocal);
    const Options& options() const { return options_; }

    void addFault(FaultRule rule);
    void clearFaults();
    /// Lets every hung request go (their connections are closed).
    void releaseHangs();

    std::vector<RecordedRequest> requests() const;
    /// Recorded requests whose decoded path starts with `prefix` (case-insensitive).
    std::vector<RecordedRequest> requestsTo(const std::string& prefix) const;
    void clearRequests();
    /// Client connections seen so far (distinct listener and client address and port).
    std::size_t connectionCount() const;

    /// "Talvex Device=a,DeviceId=b,..." split into its fields; empty for another scheme.
    static std::map<std::string, std::string> parseAuthorization(const std::string& header);

  private:
    struct Exchange;
    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
        Access access;
        bool page;  ///< outside the "/vorn" prefix
    };
    struct Listener;

    void installBuiltInRoutes();
    /// Answers with a streamed body, honouring Range requests and the stream's faults.
    static void answerStream(const httplib::Request& in, httplib::Response& out, BodyStream stream,
                             const std::string& contentType);
    /// Answers one request that reached `listener`; runs on the listener's worker threads.
    void handle(const std::string& listener, Exchange& exchange);
    std::optional<Fault> takeFault(const RecordedRequest& request);
    /// Waits for `duration` or until stop/release; false when woken by stop or release.
    bool pause(std::chrono::milliseconds duration, bool untilReleased);

    const Options options_;

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::vector<std::shared_ptr<const Route>> routes_;
    std::vector<FaultRule> faults_;
    std::vector<RecordedRequest> requests_;
    std::set<std::tuple<std::string, std::string, int>> connections_;
    std::optional<std::string> accessToken_;
    bool isInNetwork_ = true;
    bool isLocal_ = true;
    bool stopping_ = false;
    std::uint64_t releaseGeneration_ = 0;
    std::condition_variable wake_;
};

}  // namespace refserver
