// CurlEngine, the worker behind the libcurl transport (CurlTransport.h): one thread running one
// curl multi handle for one or more sessions; and CurlFront, the face of an engine one session
// holds. The implementation is split by concern: CurlEngine.cpp (the worker loop and the
// operations fronts queue for it), CurlTransfers.cpp (starting and ending transfers, the per-host
// connection cap and its waiting line), CurlExchange.cpp (a request set on a curl handle, the
// answer collected from its callbacks), CurlServerTrust.cpp (the server-trust challenge of a TLS
// handshake) and CurlTransport.cpp (the fronts). Not for hosts: nothing here is part of the API.
//
// Thread rule: a front is called from any thread. An engine's operation queue is guarded by its
// mutex; everything else it holds belongs to its worker thread.
#pragma once

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VornKit/Platform/Http/UrlTransport.h"

/// @cond INTERNAL
namespace vk::detail {

class CurlEngine;

// The per-session face of an engine: what the session calls, and whom the engine reports to.
class CurlFront final : public UrlTransport {
  public:
    CurlFront(std::shared_ptr<CurlEngine> engine, bool ownsEngine, bool isolated, int maxPerHost,
              UrlTransportClient& client);
    ~CurlFront() override { shutdown(); }

    void start(std::uint64_t id, UrlRequest request) override;
    void start(std::uint64_t id, UrlRequest request, std::shared_ptr<TransferSink> sink) override;
    bool streams() const override { return true; }
    void cancel(std::uint64_t id) override;
    void shutdown() override;
    TransportStatistics statistics() const override {
        return {connectionsOpened.load(), transfersFinished.load()};
    }

    UrlTransportClient& client;
    const std::uint64_t serial;  // names this front in host keys, never reused
    const bool isolated;         // every transfer on a connection of its own, closed after it
    const int maxPerHost;
    std::atomic<std::uint64_t> connectionsOpened{0};
    std::atomic<std::uint64_t> transfersFinished{0};

  private:
    std::shared_ptr<CurlEngine> engine_;
    const bool ownsEngine_;
    std::atomic<bool> shutDown_{false};
};

// One worker thread running one curl multi handle for one or more fronts.
//
// An engine of one session delivers that session's completions itself when it has nothing else
// to do: the session hands each completion to its serial delegate queue, and when that queue is
// idle and no other transfer of the engine is in flight the worker runs the queue's job (as a
// pool thread would) between two waits instead of waking a pool thread for it. A request started
// from that completion is then sent by the worker at once, without a wake-up. With transfers in
// flight, completions go to the pool as usual, so that slow completions never hold up the I/O of
// other transfers.
class CurlEngine : public std::enable_shared_from_this<CurlEngine> {
  public:
    using Clock = std::chrono::steady_clock;

    /// `deliversCompletions`: the worker may run its session's delegate-queue jobs (above); only
    /// for an engine with one front, which may then be stopped from inside such a job.
    static std::shared_ptr<CurlEngine> make(int maxPerHost, bool deliversCompletions);
    ~CurlEngine() { stop(); }

    /// The engine of sessions whose transfers share one worker. Never destroyed.
    static std::shared_ptr<CurlEngine> shared();

    void start(CurlFront& front, std::uint64_t id, UrlRequest request,
               std::shared_ptr<TransferSink> sink);
    void cancel(CurlFront& front, std::uint64_t id);

    /// Forgets every transfer of `front`; once it returns the engine never reaches `front` again.
    void detach(CurlFront& front);

    /// Stops the worker; transfers end without a report. From another thread it returns once the
    /// worker has ended; from a job the worker runs, the worker ends after that job.
    void stop();

  private:
    // The answer to one challenge, filled by whichever thread the session answers on.
    struct ChallengeSlot {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<ChallengeAnswer> answer;
    };

    // What a challenge's answer decided for the handshake waiting on it.
    struct Verdict {
        bool accept = false;
        bool cancelled = false;
        int verifyError = 0;
    };

    // One transfer; owned by the engine thread.
    struct Transfer {
        std::uint64_t serial = 0;    // engine-wide
        std::uint64_t id = 0;        // the session's task identifier
        CurlFront* front = nullptr;  // null once its session let go of it: nobody is told its end
        CurlEngine* engine = nullptr;
        UrlRequest request;
        CURL* easy = nullptr;
        curl_slist* headerList = nullptr;
        std::string body;
        std::string data;
        // Streamed transfers: the body goes to the sink instead of `data`.
        std::shared_ptr<TransferSink> sink;
        bool headDelivered = false;
        bool sinkRefused = false;
        HttpHeaders responseHeaders;
        bool declaredLength = false;
        std::string host;
        int port = 0;
        std::string scheme;
        std::string hostKey;  // front serial + scheme://host:port, the unit of the connection cap
        bool active = false;  // in the multi handle (else waiting for a free connection)
        Clock::time_point waitDeadline;
        std::chrono::milliseconds idleTimeout{UrlRequest::kDefaultTimeout};
        Clock::time_point lastActivity = Clock::now();
        curl_off_t lastProgress = -1;
        // The session has a challenge of this transfer's and has not answered yet. The handshake
        // that raised it was ended (retryAfterVerdict) and the transfer holds no connection: once
        // the answer is in, it starts over and the new handshake takes the verdict, if the server
        // presents the same chain again.
        bool awaitingVerdict = false;
        bool retryAfterVerdict = false;
        int challengeRounds = 0;
        std::shared_ptr<const ServerTrust> pendingTrust;
        std::shared_ptr<ChallengeSlot> slot;
        std::optional<Verdict> verdict;
        bool challengeCancelled = false;
        char errorBuffer[CURL_ERROR_SIZE] = {};
    };

    CurlEngine(int maxPerHost, bool deliversCompletions);

    struct Op {
        enum Kind { start, cancel, detach, answer } kind;
        CurlFront* front;
        std::uint64_t id;
        UrlRequest request;
        std::uint64_t serial;                      // answer: the transfer
        std::shared_ptr<std::promise<void>> done;  // detach
        std::shared_ptr<TransferSink> sink;        // start of a streamed transfer
    };

    // The worker (CurlEngine.cpp).
    // False when the engine has stopped. Operations already waiting mean the worker has been woken
    // and has not yet taken them: one wake-up serves a whole burst.
    bool queue(Op op);
    void run();
    // Answers detaches (a session going away during the exit waits for it) and drops every other
    // operation, until stopped.
    void waitForStopWhileExiting(std::vector<Op> ops);
    void perform();
    void apply(Op& op);
    // Fails transfers that moved no byte (or waited for a connection) longer than their timeout;
    // returns how long the worker may sleep. A handshake waiting for the session's answer to its
    // challenge is not idle: the delegate may take its time.
    int expireIdleTransfers();

    // Transfers and connection slots (CurlTransfers.cpp).
    CURL* takeHandle();
    void begin(CurlFront& front, std::uint64_t id, UrlRequest request,
               std::shared_ptr<TransferSink> sink);
    // Starts `transfer` on a free connection of its host, or lines it up for one. Transfers
    // beyond the per-host cap wait here rather than in the multi handle, whose bookkeeping grows
    // with every handle it holds.
    void enqueue(Transfer& transfer);
    // Puts `transfer` into the multi handle; false when libcurl cannot take it.
    bool activate(Transfer& transfer);
    // Starts waiting transfers of `hostKey` while it has free connections.
    void promote(const std::string& hostKey, int maxPerHost);
    // Takes `transfer` out of the multi handle or out of its host's waiting line.
    void release(Transfer& transfer);
    // Forgets `transfer` and destroys it; a waiting transfer may take its connection.
    void erase(Transfer* transfer);
    // The session gave up on the transfer (also while its challenge waits for an answer).
    void abandon(std::uint64_t serial);
    // Ends `transfer`, tells its session (unless it let go), forgets it, and lets a waiting
    // transfer have its connection.
    void report(Transfer* transfer, TransferResult result);

    // The exchange on a curl handle (CurlExchange.cpp).
    void configure(Transfer& transfer);
    void finish(Transfer* transfer, CURLcode code);
    static size_t onData(char* data, size_t size, size_t count, void* user);
    // The head of the answer whose body is arriving.
    static UrlResponse currentHead(Transfer& transfer);
    static size_t onHeader(char* data, size_t size, size_t count, void* user);
    static int onProgress(void* user, curl_off_t downloadTotal, curl_off_t downloaded, curl_off_t,
                          curl_off_t uploaded);

    // Server trust (CurlServerTrust.cpp).
    // Asks the transfer's session about a challenge; the answer arrives as an operation.
    void askSession(Transfer& transfer, const AuthenticationChallenge& challenge);
    // On the worker: the session answered; decide here, on the worker's own stack (not on the
    // paused handshake's small one), what the handshake does.
    void answered(std::uint64_t serial);
    // Starts a transfer whose handshake ended to wait for its verdict over again.
    void restart(Transfer& transfer);
    static Verdict decide(const ChallengeAnswer& answer,
                          const std::shared_ptr<const ServerTrust>& trust);
    static CURLcode onSslContext(CURL*, void* sslContext, void* user);
    // OpenSSL's certificate check for a new TLS connection of `user` (a Transfer), on the worker
    // thread: the session's delegate decides, through the challenge. It never waits: without an
    // answer at hand it ends the handshake, and the transfer starts over once the answer is in.
    static int onVerify(X509_STORE_CTX* context, void* user);
    static bool sameChain(const ServerTrust& a, const ServerTrust& b);
    static AuthenticationChallenge makeChallenge(Transfer& transfer, X509_STORE_CTX* context);

    const bool deliversCompletions_;
    CURLM* multi_ = nullptr;
    std::thread worker_;

    /// Challenges one transfer raises before it gives up (a server that changes its chain on
    /// every connection would otherwise be asked about for ever).
    static constexpr int kMaxChallengeRounds = 4;

    std::mutex mutex_;  // guards ops_, stopping_, sleeping_ and the end of multi_
    std::vector<Op> ops_;
    bool stopping_ = false;
    bool sleeping_ = false;  // in curl_multi_poll: new operations must wake it

    // Worker-thread state.
    struct HostSlots {
        int active = 0;
        std::deque<std::uint64_t> waiting;
    };
    std::uint64_t nextSerial_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Transfer>> transfers_;  // active and waiting
    std::map<std::pair<CurlFront*, std::uint64_t>, std::uint64_t> byTask_;
    std::set<Transfer*> active_;
    std::map<std::string, HostSlots> hosts_;
    std::set<std::pair<Clock::time_point, std::uint64_t>> waitDeadlines_;
    std::vector<CURL*> spareHandles_;
};

}  // namespace vk::detail
/// @endcond
