// UrlTransport: what moves a UrlSession's requests over the wire. The real one is libcurl
// (CurlTransport.h); a test may hand a session its own transport through
// UrlSessionConfiguration::transportFactory to script answers or inject faults.
//
// Contract between a session and its transport:
//   - start(id, request) begins a transfer; cancel(id) abandons one (a cancelled transfer is not
//     reported). Both return at once and may be called from any thread.
//   - For every started, not cancelled transfer the transport calls client.transferFinished(id,
//     result) exactly once, on any thread of its own, never inside start() or cancel().
//   - For a TLS connection the transport calls client.requestChallengeAnswer(id, challenge, reply)
//     and goes on with its other transfers; the handshake goes on once `reply` has been called
//     (exactly once, on any thread, possibly before requestChallengeAnswer returns).
//   - start(id, request, sink) streams the body of the final answer into `sink` instead of
//     collecting it (the result's data is then absent). Transports that cannot stream (streams()
//     false) collect the body as usual and the session hands it to the sink at the end.
//   - shutdown() abandons every transfer and stops the transport's threads; after it returns the
//     client is not called again. The destructor shuts down as well.
//
// Thread rule: start/cancel/statistics are thread-safe; shutdown() is called once, by the owner.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/AuthenticationChallenge.h"
#include "VornKit/Platform/Http/UrlRequest.h"

namespace vk {

struct UrlSessionConfiguration;

/// The end of a transfer. On success `error` is absent and `response` present; `data` is absent
/// when the answer carried no body at all (no byte and no declared length), and present, possibly
/// empty, otherwise.
struct VK_EXPORT TransferResult {
    /// The body, the response and the error (see above).
    /// @{
    std::optional<std::string> data;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
    /// @}
};

/// Counters of a transport, for tests and diagnostics.
struct VK_EXPORT TransportStatistics {
    std::uint64_t connectionsOpened = 0;  ///< new connections made, over the transport's life
    /// Transfers completed, successfully or not, over the transport's life.
    std::uint64_t transfersFinished = 0;
};

/// The session's answer to a server-trust challenge.
struct VK_EXPORT ChallengeAnswer {
    /// What to do with the challenge, and the credential for useCredential.
    /// @{
    AuthChallengeDisposition disposition = AuthChallengeDisposition::performDefaultHandling;
    std::optional<UrlCredential> credential;
    /// @}
};

/// The session as its transport sees it (see the file comment for the contract).
class VK_EXPORT UrlTransportClient {
  public:
    virtual ~UrlTransportClient() = default;
    /// The end of transfer `id`: once per started, uncancelled transfer, never inside start().
    virtual void transferFinished(std::uint64_t id, TransferResult result) = 0;
    /// Asks the session about a challenge and returns at once; `reply` gets the answer (a
    /// cancellation when the session is shutting down).
    virtual void requestChallengeAnswer(std::uint64_t id, const AuthenticationChallenge& challenge,
                                        std::function<void(ChallengeAnswer)> reply) = 0;
};

/// Takes the body of a streamed transfer as it arrives. Called on the transport's thread, in
/// order: receiveHead() once for the final answer (after redirects), before any of its bytes;
/// then receive() for each piece, progress() now and then. A false answer ends the transfer with
/// an error whose reason the sink keeps.
class VK_EXPORT TransferSink {
  public:
    virtual ~TransferSink() = default;
    /// The final answer's status and headers; false refuses the answer and ends the transfer.
    virtual bool receiveHead(const UrlResponse& head) = 0;
    /// The next `size` bytes of the body (valid only during the call); false ends the transfer.
    virtual bool receive(const char* data, std::size_t size) = 0;
    /// Bytes of the body received so far and the body's declared length (-1 when unknown).
    virtual void progress(std::int64_t received, std::int64_t expected) {
        (void)received;
        (void)expected;
    }
};

/// Moves requests over the wire for one session (see the file comment); owned by the session.
class VK_EXPORT UrlTransport {
  public:
    virtual ~UrlTransport() = default;
    /// Begins transfer `id` and returns at once; its end reaches the client's transferFinished().
    virtual void start(std::uint64_t id, UrlRequest request) = 0;
    /// Starts a transfer whose body goes to `sink`. The default collects the body (streams()).
    virtual void start(std::uint64_t id, UrlRequest request, std::shared_ptr<TransferSink> sink) {
        (void)sink;
        start(id, std::move(request));
    }
    /// Whether start() with a sink streams the body into it.
    virtual bool streams() const { return false; }
    /// Abandons transfer `id`; it is not reported. An unknown or finished id does nothing.
    virtual void cancel(std::uint64_t id) = 0;
    /// Abandons every transfer and stops the transport's threads; the client is not called after.
    virtual void shutdown() = 0;
    /// The counters so far (thread-safe).
    virtual TransportStatistics statistics() const = 0;
};

using UrlTransportFactory = std::function<std::unique_ptr<UrlTransport>(
    const UrlSessionConfiguration& configuration, UrlTransportClient& client)>;

}  // namespace vk
