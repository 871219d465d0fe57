#include "VornKit/Platform/Http/CurlTransport.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "VornKit/Platform/Http/UrlSession.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/ExitGate.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

namespace {

using Clock = std::chrono::steady_clock;
/// The most a declared length makes a transfer set aside before the body arrives.
constexpr std::size_t kReserveLimit = 64 << 20;

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        // OpenSSL must not tear its state down at exit while a worker still runs a handshake
        // (workers outlive main()); without effect when the host initialised OpenSSL first.
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

UrlError::Code errorCodeFor(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
            return UrlError::unsupportedURL;
        case CURLE_URL_MALFORMAT:
            return UrlError::badURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return UrlError::cannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return UrlError::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return UrlError::timedOut;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
            return UrlError::networkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
            return UrlError::badServerResponse;
        case CURLE_TOO_MANY_REDIRECTS:
            return UrlError::tooManyRedirects;
        case CURLE_PEER_FAILED_VERIFICATION:
            return UrlError::serverCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
            return UrlError::secureConnectionFailed;
        case CURLE_BAD_CONTENT_ENCODING:
            return UrlError::cannotDecodeContentData;
        case CURLE_FILE_COULDNT_READ_FILE:
            return UrlError::fileDoesNotExist;
        case CURLE_ABORTED_BY_CALLBACK:
            return UrlError::cancelled;
        default:
            return UrlError::unknown;
    }
}

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
    // that raised it was ended (retryAfterVerdict) and the transfer holds no connection: once the
    // answer is in, it starts over and the new handshake takes the verdict, if the server
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
    /// `deliversCompletions`: the worker may run its session's delegate-queue jobs (above); only
    /// for an engine with one front, which may then be stopped from inside such a job.
    static std::shared_ptr<CurlEngine> make(int maxPerHost, bool deliversCompletions) {
        std::shared_ptr<CurlEngine> engine(new CurlEngine(maxPerHost, deliversCompletions));
        // The worker keeps its engine alive until it returns, also when a job it runs lets go
        // of the engine's last other owner.
        engine->worker_ = std::thread([engine] { engine->run(); });
        return engine;
    }
    ~CurlEngine() { stop(); }

    /// The engine of sessions whose transfers share one worker. Never destroyed.
    static std::shared_ptr<CurlEngine> shared() {
        static Immortal<std::shared_ptr<CurlEngine>> engine(make(64, false));
        return *engine;
    }

    void start(CurlFront& front, std::uint64_t id, UrlRequest request,
               std::shared_ptr<TransferSink> sink) {
        queue(Op{Op::start, &front, id, std::move(request), 0, {}, std::move(sink)});
    }
    void cancel(CurlFront& front, std::uint64_t id) {
        queue(Op{Op::cancel, &front, id, {}, 0, {}, {}});
    }

    /// Forgets every transfer of `front`; once it returns the engine never reaches `front` again.
    void detach(CurlFront& front) {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        if (!queue(Op{Op::detach, &front, 0, {}, 0, done, {}}))
            return;  // stopped: nothing refers to the front any more
        finished.wait();
    }

    /// Stops the worker; transfers end without a report. From another thread it returns once the
    /// worker has ended; from a job the worker runs, the worker ends after that job.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            stopping_ = true;
            curl_multi_wakeup(multi_);
        }
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
        } else if (worker_.joinable()) {
            worker_.join();
        }
    }

  private:
    CurlEngine(int maxPerHost, bool deliversCompletions)
        : deliversCompletions_(deliversCompletions) {
        ensureCurl();
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(maxPerHost));
        // libcurl's default keeps four idle connections per handle in the multi handle, which
        // drops kept-alive connections whenever a burst ends; keep enough for several hosts.
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(maxPerHost * 8));
    }

    struct Op {
        enum Kind { start, cancel, detach, answer } kind;
        CurlFront* front;
        std::uint64_t id;
        UrlRequest request;
        std::uint64_t serial;                      // answer: the transfer
        std::shared_ptr<std::promise<void>> done;  // detach
        std::shared_ptr<TransferSink> sink;        // start of a streamed transfer
    };

    // False when the engine has stopped. Operations already waiting mean the worker has been woken
    // and has not yet taken them: one wake-up serves a whole burst.
    bool queue(Op op) {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        bool wake = ops_.empty() && sleeping_;
        ops_.push_back(std::move(op));
        if (wake)
            curl_multi_wakeup(multi_);
        return true;
    }

    void run() {
        std::optional<DeferredDispatch> deferred;
        if (deliversCompletions_)
            deferred.emplace();
        while (true) {
            std::vector<Op> ops;
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    break;
                ops.swap(ops_);
            }
            // Once the process exits, this thread no longer touches libcurl or OpenSSL (whose
            // static data goes during the exit); it only waits to be stopped.
            if (!ExitGate::enter()) {
                waitForStopWhileExiting(std::move(ops));
                return;
            }
            if (deferred)
                deferred->setCatching(true);
            for (auto& op : ops)
                apply(op);
            perform();
            int waitMs = expireIdleTransfers();
            if (deferred) {
                deferred->setCatching(false);
                if (!deferred->empty()) {
                    bool idle = transfers_.empty();
                    if (idle) {
                        std::lock_guard lock(mutex_);
                        idle = ops_.empty() && !stopping_;
                    }
                    // Nothing else in flight: the completions run here, and what they start is
                    // taken at the top of the loop. Otherwise a pool thread runs them while this
                    // one goes on with the transfers.
                    if (idle) {
                        deferred->run();
                        ExitGate::leave();
                        continue;
                    }
                    deferred->release();
                }
            }
            ExitGate::leave();
            // Operations queued while this thread was busy are taken at once, without a wake-up.
            {
                std::lock_guard lock(mutex_);
                if (!ops_.empty() || stopping_)
                    continue;
                sleeping_ = true;
            }
            curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
            std::lock_guard lock(mutex_);
            sleeping_ = false;
        }
        if (deferred)
            deferred->release();
        // Nobody is told any more.
        for (auto& [serial, transfer] : transfers_)
            release(*transfer);
        transfers_.clear();
        byTask_.clear();
        hosts_.clear();
        waitDeadlines_.clear();
        for (CURL* easy : spareHandles_)
            curl_easy_cleanup(easy);
        spareHandles_.clear();
        std::lock_guard lock(mutex_);
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
    }

    // Answers detaches (a session going away during the exit waits for it) and drops every other
    // operation, until stopped.
    void waitForStopWhileExiting(std::vector<Op> ops) {
        for (;;) {
            for (auto& op : ops) {
                if (op.kind == Op::detach)
                    op.done->set_value();
            }
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
                ops.clear();
                ops.swap(ops_);
            }
            if (ops.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void perform() {
        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            if (transfer != nullptr)
                finish(transfer, message->data.result);
        }
    }

    void apply(Op& op) {
        switch (op.kind) {
            case Op::start:
                begin(*op.front, op.id, std::move(op.request), std::move(op.sink));
                return;
            case Op::cancel: {
                auto it = byTask_.find({op.front, op.id});
                if (it != byTask_.end())
                    abandon(it->second);
                return;
            }
            case Op::detach: {
                std::vector<std::uint64_t> serials;
                for (const auto& [key, serial] : byTask_) {
                    if (key.first == op.front)
                        serials.push_back(serial);
                }
                for (std::uint64_t serial : serials)
                    abandon(serial);
                op.done->set_value();
                return;
            }
            case Op::answer:
                answered(op.serial);
                return;
        }
    }

    // Fails transfers that moved no byte (or waited for a connection) longer than their timeout;
    // returns how long the worker may sleep. A handshake waiting for the session's answer to its
    // challenge is not idle: the delegate may take its time.
    int expireIdleTransfers() {
        auto now = Clock::now();
        auto next = now + std::chrono::seconds(30);
        std::vector<std::uint64_t> expired;
        for (Transfer* transfer : active_) {
            if (transfer->awaitingVerdict)
                continue;
            auto deadline = transfer->lastActivity + transfer->idleTimeout;
            if (deadline <= now) {
                expired.push_back(transfer->serial);
            } else {
                next = std::min(next, deadline);
            }
        }
        for (const auto& [deadline, serial] : waitDeadlines_) {
            if (deadline > now) {
                next = std::min(next, deadline);
                break;
            }
            expired.push_back(serial);
        }
        // Reporting one transfer can start or end others; look each up again.
        for (std::uint64_t serial : expired) {
            auto it = transfers_.find(serial);
            if (it == transfers_.end())
                continue;
            report(it->second.get(),
                   {std::nullopt, std::nullopt, UrlError::make(UrlError::timedOut)});
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
        return static_cast<int>(std::clamp<long long>(wait, 1, 30'000));
    }

    CURL* takeHandle() {
        if (!spareHandles_.empty()) {
            CURL* easy = spareHandles_.back();
            spareHandles_.pop_back();
            curl_easy_reset(easy);
            return easy;
        }
        return curl_easy_init();
    }

    void begin(CurlFront& front, std::uint64_t id, UrlRequest request,
               std::shared_ptr<TransferSink> sink) {
        auto owned = std::make_unique<Transfer>();
        Transfer* transfer = owned.get();
        transfer->sink = std::move(sink);
        transfer->serial = nextSerial_++;
        transfer->id = id;
        transfer->front = &front;
        transfer->engine = this;
        transfer->request = std::move(request);
        const UrlRequest& req = transfer->request;
        if (req.timeoutInterval.count() > 0)
            transfer->idleTimeout = req.timeoutInterval;
        if (!req.url) {
            front.transfersFinished.fetch_add(1);
            front.client.transferFinished(
                id, {std::nullopt, std::nullopt, UrlError::make(UrlError::badURL, "no URL")});
            return;
        }
        transfer->host = req.url->host();
        transfer->scheme = req.url->scheme();
        transfer->port = req.url->port().value_or(transfer->scheme == "https" ? 443 : 80);
        transfer->hostKey = std::to_string(front.serial) + " " + transfer->scheme + "://" +
                            transfer->host + ":" + std::to_string(transfer->port);
        byTask_[{&front, id}] = transfer->serial;
        transfers_.emplace(transfer->serial, std::move(owned));
        enqueue(*transfer);
    }

    // Starts `transfer` on a free connection of its host, or lines it up for one. Transfers
    // beyond the per-host cap wait here rather than in the multi handle, whose bookkeeping grows
    // with every handle it holds.
    void enqueue(Transfer& transfer) {
        HostSlots& slots = hosts_[transfer.hostKey];
        if (slots.active < transfer.front->maxPerHost) {
            if (!activate(transfer))
                report(&transfer, {std::nullopt, std::nullopt,
                                   UrlError::make(UrlError::unknown, "cannot start")});
        } else {
            transfer.waitDeadline = Clock::now() + transfer.idleTimeout;
            slots.waiting.push_back(transfer.serial);
            waitDeadlines_.emplace(transfer.waitDeadline, transfer.serial);
        }
    }

    // Puts `transfer` into the multi handle; false when libcurl cannot take it.
    bool activate(Transfer& transfer) {
        CURL* easy = takeHandle();
        if (easy == nullptr)
            return false;
        transfer.easy = easy;
        configure(transfer);
        transfer.lastActivity = Clock::now();
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK)
            return false;
        transfer.active = true;
        ++hosts_[transfer.hostKey].active;
        active_.insert(&transfer);
        return true;
    }

    // Starts waiting transfers of `hostKey` while it has free connections.
    void promote(const std::string& hostKey, int maxPerHost) {
        auto it = hosts_.find(hostKey);
        if (it == hosts_.end())
            return;
        std::vector<std::uint64_t> failed;
        while (it->second.active < maxPerHost && !it->second.waiting.empty()) {
            std::uint64_t serial = it->second.waiting.front();
            it->second.waiting.pop_front();
            Transfer& transfer = *transfers_.at(serial);
            waitDeadlines_.erase({transfer.waitDeadline, serial});
            if (!activate(transfer))
                failed.push_back(serial);
        }
        if (it->second.active == 0 && it->second.waiting.empty())
            hosts_.erase(it);
        for (std::uint64_t serial : failed) {
            auto found = transfers_.find(serial);
            if (found != transfers_.end())
                report(found->second.get(), {std::nullopt, std::nullopt,
                                             UrlError::make(UrlError::unknown, "cannot start")});
        }
    }

    void configure(Transfer& transfer) {
        CURL* easy = transfer.easy;
        const UrlRequest& req = transfer.request;
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_URL, req.url->absoluteString().c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "VornKit");
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(transfer.idleTimeout.count()));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlEngine::onData);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlEngine::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlEngine::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
        // Trust is decided by the verify callback (with its own host-name check); a resumed TLS
        // session would skip it.
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &CurlEngine::onSslContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
        if (!transfer.sink) {
            // Compressed answers for data; a file is asked for as the server keeps it, so that
            // its bytes and its declared length are the file's own.
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        }
        if (transfer.sink) {
            // Larger reads for files. libcurl stops reading at the declared length and never sees
            // bytes a server sends past it; a file's body is read to the end of the connection
            // instead (the request asks the server to close it), so that the sink can compare
            // the bytes it got with the length the answer declared, both ways.
            curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L << 10);
            curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        }
        if (transfer.front->isolated) {
            // Fronts sharing an engine never share connections: a connection another session
            // opened was judged by that session's trust decisions.
            curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        }

        const std::string& method = req.httpMethod;
        if (req.httpBody) {
            transfer.body = *req.httpBody;
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(transfer.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer.body.data());
            if (method != "POST")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (method == "POST") {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        curl_slist* list = curl_slist_append(nullptr, "Expect:");
        if (!req.allHTTPHeaderFields.value("Content-Type")) {
            // libcurl labels every POST body (an empty one too) as a form unless told otherwise:
            // a request that names no type is sent without one.
            if (curl_slist* grown = curl_slist_append(list, "Content-Type:"))
                list = grown;
        }
        if (transfer.sink) {
            if (curl_slist* grown = curl_slist_append(list, "Connection: close"))
                list = grown;
        }
        for (const auto& [name, value] : req.allHTTPHeaderFields.fields()) {
            // "Name;" is libcurl's way of sending a field with an empty value.
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            if (curl_slist* grown = curl_slist_append(list, line.c_str()))
                list = grown;
        }
        transfer.headerList = list;
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    }

    // Takes `transfer` out of the multi handle or out of its host's waiting line.
    void release(Transfer& transfer) {
        if (transfer.easy != nullptr) {
            curl_multi_remove_handle(multi_, transfer.easy);
            spareHandles_.push_back(transfer.easy);
            transfer.easy = nullptr;
        }
        curl_slist_free_all(transfer.headerList);
        transfer.headerList = nullptr;
        auto slots = hosts_.find(transfer.hostKey);
        if (transfer.active) {
            transfer.active = false;
            active_.erase(&transfer);
            if (slots != hosts_.end())
                --slots->second.active;
        } else if (slots != hosts_.end()) {
            auto& waiting = slots->second.waiting;
            auto at = std::find(waiting.begin(), waiting.end(), transfer.serial);
            if (at != waiting.end()) {
                waiting.erase(at);
                waitDeadlines_.erase({transfer.waitDeadline, transfer.serial});
            }
        }
    }

    // Forgets `transfer` and destroys it; a waiting transfer may take its connection.
    void erase(Transfer* transfer) {
        std::uint64_t serial = transfer->serial;
        std::string hostKey = transfer->hostKey;
        int maxPerHost = transfer->front != nullptr ? transfer->front->maxPerHost : 0;
        if (transfer->front != nullptr)
            byTask_.erase({transfer->front, transfer->id});
        release(*transfer);
        transfers_.erase(serial);  // destroys *transfer
        if (maxPerHost > 0)
            promote(hostKey, maxPerHost);
    }

    // The session gave up on the transfer (also while its challenge waits for an answer).
    void abandon(std::uint64_t serial) {
        auto it = transfers_.find(serial);
        if (it != transfers_.end())
            erase(it->second.get());
    }

    // Ends `transfer`, tells its session (unless it let go), forgets it, and lets a waiting
    // transfer have its connection.
    void report(Transfer* transfer, TransferResult result) {
        CurlFront* front = transfer->front;
        std::uint64_t id = transfer->id;
        if (front != nullptr) {
            long connects = 0;
            if (transfer->easy != nullptr)
                curl_easy_getinfo(transfer->easy, CURLINFO_NUM_CONNECTS, &connects);
            front->connectionsOpened.fetch_add(static_cast<std::uint64_t>(std::max(0L, connects)));
            front->transfersFinished.fetch_add(1);
        }
        erase(transfer);
        if (front != nullptr)
            front->client.transferFinished(id, std::move(result));
    }

    void finish(Transfer* transfer, CURLcode code) {
        TransferResult result;
        if (code != CURLE_OK && transfer->retryAfterVerdict) {
            // The handshake was ended to wait for the session's answer: give the connection slot
            // to the host's other transfers until then.
            std::string hostKey = transfer->hostKey;
            release(*transfer);
            if (transfer->front != nullptr)
                promote(hostKey, transfer->front->maxPerHost);
            if (transfer->verdict)
                restart(*transfer);  // the answer came before the handshake had ended
            return;
        }
        if (code != CURLE_OK) {
            if (transfer->sinkRefused) {
                // The sink keeps the reason; the session asks it.
                result.error = UrlError::make(UrlError::cannotWriteToFile, "refused by the sink");
                report(transfer, std::move(result));
                return;
            }
            std::string detail =
                transfer->errorBuffer[0] != '\0' ? transfer->errorBuffer : curl_easy_strerror(code);
            result.error = transfer->challengeCancelled
                               ? UrlError::make(UrlError::cancelled)
                               : UrlError::make(errorCodeFor(code), std::move(detail));
            report(transfer, std::move(result));
            return;
        }
        UrlResponse response;
        char* effective = nullptr;
        curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &effective);
        response.url = effective != nullptr ? Url::parse(effective) : std::nullopt;
        if (!response.url)
            response.url = transfer->request.url;
        char* scheme = nullptr;
        curl_easy_getinfo(transfer->easy, CURLINFO_SCHEME, &scheme);
        response.isHttp = scheme != nullptr && startsWithNoCase(scheme, "http");
        if (response.isHttp) {
            long status = 0;
            curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
            response.statusCode = static_cast<int>(status);
            response.headers = std::move(transfer->responseHeaders);
        }
        // 204 and 304 answers and answers to HEAD have no body by definition: present, empty.
        // Any other answer without a byte and without a declared length (or chunking) had none.
        bool bodyless = response.statusCode == 204 || response.statusCode == 304 ||
                        transfer->request.httpMethod == "HEAD";
        if (transfer->sink) {
            // A body that never arrived (an empty file) still has its head delivered.
            if (!transfer->headDelivered && !transfer->sink->receiveHead(response)) {
                result.error = UrlError::make(UrlError::cannotWriteToFile, "refused by the sink");
            }
            if (!result.error)
                result.response = std::move(response);
            report(transfer, std::move(result));
            return;
        }
        bool noBody =
            response.isHttp && transfer->data.empty() && !transfer->declaredLength && !bodyless;
        if (!noBody)
            result.data = std::move(transfer->data);
        result.response = std::move(response);
        report(transfer, std::move(result));
    }

    // Asks the transfer's session about a challenge; the answer arrives as an operation.
    void askSession(Transfer& transfer, const AuthenticationChallenge& challenge) {
        auto slot = std::make_shared<ChallengeSlot>();
        transfer.slot = slot;
        transfer.awaitingVerdict = true;
        std::weak_ptr<CurlEngine> weak = weak_from_this();
        std::uint64_t serial = transfer.serial;
        transfer.front->client.requestChallengeAnswer(
            transfer.id, challenge, [weak, slot, serial](ChallengeAnswer answer) {
                {
                    std::lock_guard lock(slot->mutex);
                    if (slot->answer)
                        return;
                    slot->answer = std::move(answer);
                }
                slot->answered.notify_all();
                if (auto engine = weak.lock())
                    engine->queue(Op{Op::answer, nullptr, 0, {}, serial, {}, {}});
            });
    }

    // On the worker: the session answered; decide here, on the worker's own stack (not on the
    // paused handshake's small one), what the handshake does.
    void answered(std::uint64_t serial) {
        auto it = transfers_.find(serial);
        if (it == transfers_.end())
            return;
        Transfer& transfer = *it->second;
        if (!transfer.awaitingVerdict || !transfer.slot)
            return;
        std::optional<ChallengeAnswer> answer;
        {
            std::lock_guard lock(transfer.slot->mutex);
            answer = transfer.slot->answer;
        }
        if (!answer)
            return;
        transfer.verdict = decide(*answer, transfer.pendingTrust);
        transfer.awaitingVerdict = false;
        if (transfer.retryAfterVerdict && transfer.easy == nullptr)
            restart(transfer);
    }

    // Starts a transfer whose handshake ended to wait for its verdict over again.
    void restart(Transfer& transfer) {
        transfer.retryAfterVerdict = false;
        transfer.data.clear();
        transfer.headDelivered = false;
        transfer.responseHeaders = HttpHeaders();
        transfer.declaredLength = false;
        transfer.lastProgress = -1;
        transfer.errorBuffer[0] = '\0';
        if (transfer.front != nullptr)
            enqueue(transfer);
    }

    static Verdict decide(const ChallengeAnswer& answer,
                          const std::shared_ptr<const ServerTrust>& trust) {
        switch (answer.disposition) {
            case AuthChallengeDisposition::useCredential:
                if (answer.credential && answer.credential->trust == trust)
                    return {true, false, 0};
                break;
            case AuthChallengeDisposition::cancelAuthenticationChallenge:
                return {false, true, X509_V_ERR_APPLICATION_VERIFICATION};
            case AuthChallengeDisposition::performDefaultHandling:
            case AuthChallengeDisposition::rejectProtectionSpace:
                break;
        }
        ServerTrust::Evaluation evaluation = trust->evaluate();
        if (evaluation.trusted())
            return {true, false, 0};
        return {false, false,
                evaluation.verifyError != 0 ? evaluation.verifyError : X509_V_ERR_CERT_UNTRUSTED};
    }

    static size_t onData(char* data, size_t size, size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        transfer->lastActivity = Clock::now();
        if (transfer->sink) {
            if (!transfer->headDelivered) {
                transfer->headDelivered = true;
                if (!transfer->sink->receiveHead(currentHead(*transfer))) {
                    transfer->sinkRefused = true;
                    return 0;
                }
            }
            if (!transfer->sink->receive(data, size * count)) {
                transfer->sinkRefused = true;
                return 0;
            }
            return size * count;
        }
        transfer->data.append(data, size * count);
        return size * count;
    }

    // The head of the answer whose body is arriving.
    static UrlResponse currentHead(Transfer& transfer) {
        UrlResponse response;
        char* effective = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
        response.url = effective != nullptr ? Url::parse(effective) : std::nullopt;
        if (!response.url)
            response.url = transfer.request.url;
        char* scheme = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_SCHEME, &scheme);
        response.isHttp = scheme != nullptr && startsWithNoCase(scheme, "http");
        if (response.isHttp) {
            long status = 0;
            curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
            response.statusCode = static_cast<int>(status);
            response.headers = transfer.responseHeaders;
        }
        return response;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        std::string_view line(data, size * count);
        transfer->lastActivity = Clock::now();
        if (startsWithNoCase(line, "HTTP/")) {
            // A new head (after a redirect or an interim answer) replaces the previous one.
            transfer->responseHeaders = HttpHeaders();
            transfer->declaredLength = false;
            return line.size();
        }
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return line.size();
        std::string_view name = trim(line.substr(0, colon));
        std::string_view value = trim(line.substr(colon + 1));
        if (startsWithNoCase(name, "content-length") && name.size() == 14) {
            transfer->declaredLength = true;
            // Room for the announced body (within reason) and a little more, so that a large
            // answer is not copied as it grows and a JSON parser can read it in place.
            std::size_t length = 0;
            if (std::from_chars(value.data(), value.data() + value.size(), length).ec ==
                std::errc()) {
                transfer->data.reserve(std::min<std::size_t>(length, kReserveLimit) + 64);
            }
        }
        if (startsWithNoCase(name, "transfer-encoding") && name.size() == 17) {
            transfer->declaredLength = true;
        }
        transfer->responseHeaders.add(name, value);
        return line.size();
    }

    static int onProgress(void* user, curl_off_t downloadTotal, curl_off_t downloaded, curl_off_t,
                          curl_off_t uploaded) {
        auto* transfer = static_cast<Transfer*>(user);
        curl_off_t progress = downloaded + uploaded;
        if (progress != transfer->lastProgress) {
            transfer->lastProgress = progress;
            transfer->lastActivity = Clock::now();
            if (transfer->sink && transfer->headDelivered) {
                transfer->sink->progress(downloaded, downloadTotal > 0 ? downloadTotal : -1);
            }
        }
        return 0;
    }

    static CURLcode onSslContext(CURL*, void* sslContext, void* user) {
        auto* context = static_cast<SSL_CTX*>(sslContext);
        SSL_CTX_set_cert_verify_callback(context, &CurlEngine::onVerify, user);
        return CURLE_OK;
    }

    // OpenSSL's certificate check for a new TLS connection of `user` (a Transfer), on the worker
    // thread: the session's delegate decides, through the challenge. It never waits: without an
    // answer at hand it ends the handshake, and the transfer starts over once the answer is in.
    static int onVerify(X509_STORE_CTX* context, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        AuthenticationChallenge challenge = makeChallenge(*transfer, context);
        const auto& trust = challenge.protectionSpace.serverTrust;
        std::optional<Verdict> verdict;
        if (transfer->verdict && transfer->pendingTrust &&
            sameChain(*transfer->pendingTrust, *trust))
            verdict = transfer->verdict;
        transfer->verdict.reset();
        if (!verdict && transfer->front == nullptr)
            verdict = Verdict{false, true, X509_V_ERR_APPLICATION_VERIFICATION};
        if (!verdict && ++transfer->challengeRounds > kMaxChallengeRounds)
            verdict = Verdict{false, false, X509_V_ERR_CERT_UNTRUSTED};
        if (!verdict) {
            transfer->pendingTrust = trust;
            transfer->engine->askSession(*transfer, challenge);
            std::optional<ChallengeAnswer> answer;
            {
                std::lock_guard lock(transfer->slot->mutex);
                answer = transfer->slot->answer;
            }
            if (!answer) {
                transfer->retryAfterVerdict = true;
                X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
                return 0;
            }
            // Answered at once (no delegate): decide now.
            transfer->awaitingVerdict = false;
            verdict = decide(*answer, trust);
        }
        transfer->pendingTrust.reset();
        transfer->slot.reset();
        // Waiting for the answer can take a while; the idle clock restarts after it.
        transfer->lastActivity = Clock::now();
        if (verdict->accept) {
            X509_STORE_CTX_set_error(context, X509_V_OK);
            return 1;
        }
        if (verdict->cancelled)
            transfer->challengeCancelled = true;
        X509_STORE_CTX_set_error(context, verdict->verifyError != 0
                                              ? verdict->verifyError
                                              : X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }

    static bool sameChain(const ServerTrust& a, const ServerTrust& b) {
        if (a.certificateCount() != b.certificateCount())
            return false;
        for (std::size_t i = 0; i < a.certificateCount(); ++i) {
            if (!(a.certificateAtIndex(i) == b.certificateAtIndex(i)))
                return false;
        }
        return true;
    }

    static AuthenticationChallenge makeChallenge(Transfer& transfer, X509_STORE_CTX* context) {
        std::vector<Certificate> chain;
        X509* leaf = X509_STORE_CTX_get0_cert(context);
        STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(context);
        for (int i = 0; sent != nullptr && i < sk_X509_num(sent); ++i) {
            chain.push_back(Certificate::fromNative(sk_X509_value(sent, i)));
        }
        if (leaf != nullptr && (chain.empty() || X509_cmp(chain.front().native(), leaf) != 0)) {
            chain.insert(chain.begin(), Certificate::fromNative(leaf));
        }
        auto trust = std::make_shared<const ServerTrust>(transfer.host, std::move(chain));
        AuthenticationChallenge challenge;
        challenge.protectionSpace.host = transfer.host;
        challenge.protectionSpace.port = transfer.port;
        challenge.protectionSpace.protocol = transfer.scheme;
        challenge.protectionSpace.authenticationMethod = AuthenticationMethod::serverTrust;
        challenge.protectionSpace.serverTrust = std::move(trust);
        return challenge;
    }

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

std::atomic<std::uint64_t> gNextFrontSerial{1};

CurlFront::CurlFront(std::shared_ptr<CurlEngine> engine, bool ownsEngine, bool isolatedFront,
                     int maxPerHostCount, UrlTransportClient& transportClient)
    : client(transportClient),
      serial(gNextFrontSerial.fetch_add(1)),
      isolated(isolatedFront),
      maxPerHost(maxPerHostCount),
      engine_(std::move(engine)),
      ownsEngine_(ownsEngine) {}

void CurlFront::start(std::uint64_t id, UrlRequest request) {
    if (!shutDown_.load())
        engine_->start(*this, id, std::move(request), nullptr);
}

void CurlFront::start(std::uint64_t id, UrlRequest request, std::shared_ptr<TransferSink> sink) {
    if (!shutDown_.load())
        engine_->start(*this, id, std::move(request), std::move(sink));
}

void CurlFront::cancel(std::uint64_t id) {
    if (!shutDown_.load())
        engine_->cancel(*this, id);
}

void CurlFront::shutdown() {
    if (shutDown_.exchange(true))
        return;
    // From another thread this waits for the worker. A completion the worker runs (see
    // CurlEngine) may let go of the session and so shut its transport down on the worker itself:
    // the worker then ends once that completion returns. Shared engines run no completions.
    if (ownsEngine_) {
        engine_->stop();
    } else {
        engine_->detach(*this);
    }
}

}  // namespace

std::unique_ptr<UrlTransport> makeCurlTransport(const UrlSessionConfiguration& configuration,
                                                UrlTransportClient& client) {
    const int maxPerHost = std::max(1, configuration.httpMaximumConnectionsPerHost);
    if (configuration.sharesWorker) {
        return std::make_unique<CurlFront>(CurlEngine::shared(), false, true, maxPerHost, client);
    }
    return std::make_unique<CurlFront>(CurlEngine::make(maxPerHost, true), true, false, maxPerHost,
                                       client);
}

}  // namespace vk
