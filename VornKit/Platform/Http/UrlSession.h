// UrlSession: runs HTTP(S) and file transfers and hands their results to completion handlers.
//
// Each session owns one worker thread (started with its first task) that drives its transfers on
// libcurl's multi interface, keeps connections alive for reuse and opens at most
// httpMaximumConnectionsPerHost connections to one host at a time (further transfers wait for a
// free one); sessions configured with sharesWorker share one worker instead. TLS connections raise
// a server-trust challenge that the session's delegate answers; while a handshake waits for that
// answer the session's other transfers go on.
//
// Download tasks stream the body to a file (DownloadFile.h): a partial file beside the destination
// that takes the destination's name only once complete, resumed with a Range and an If-Range
// request when a partial file of a known version is there. Their progress handler and completion
// run on the delegate queue too.
//
// Queues: every completion handler and every delegate call runs on the session's delegate queue,
// a serial queue (the one given to make(), or a new serial queue of the session's own). A
// completion handler is called exactly once per task: with the body, the response head and no
// error, or with no body, no response and the error (UrlError::cancelled for cancelled tasks).
//
// Lifetime: a session lives while someone holds it. invalidateAndCancel() (also run when the last
// holder lets go) ends every task that has not completed with a cancellation error, starts no
// further task (tasks resumed later complete with a cancellation error at once) and lets go of
// the delegate; the worker thread stops when the session is destroyed.
//
// The delegate queue must be serviced for TLS connections to proceed: the handshake waits for the
// delegate's answer to the server-trust challenge (without holding up other transfers). A task
// cancelled while its handshake waits completes at once.
//
// Thread rule: UrlSession and UrlSessionTask are thread-safe. Ownership: make() returns a shared
// session; tasks are shared with the session until they complete.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/AuthenticationChallenge.h"
#include "VornKit/Platform/Http/DownloadFile.h"
#include "VornKit/Platform/Http/UrlRequest.h"
#include "VornKit/Platform/Http/UrlTransport.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

class UrlSession;

/// How a session runs its transfers; copied into the session when it is made.
struct VK_EXPORT UrlSessionConfiguration {
    /// The defaults: six connections per host, libcurl, a worker of the session's own.
    static UrlSessionConfiguration defaultConfiguration() { return {}; }

    /// Connections open at once to one host (keep-alive connections are reused).
    int httpMaximumConnectionsPerHost = 6;
    /// Scheduling hints of the platform's background sessions; kept for callers that set them,
    /// without effect here (there is no background scheduler).
    bool isDiscretionary = false;
    /// A scheduling hint like `isDiscretionary`: kept, without effect here.
    bool shouldUseExtendedBackgroundIdleMode = false;
    /// Makes the transport; empty means libcurl.
    UrlTransportFactory transportFactory;
    /// The transfers of every session with this set run on one worker thread for the whole
    /// process instead of a thread of the session's own; each of them opens a connection of its
    /// own, closed after it (no connection, and so no trust decision, is shared between such
    /// sessions). For short-lived sessions of a few requests, such as address probes.
    bool sharesWorker = false;
};

/// Receives a session's authentication challenges. Called on the session's delegate queue.
class VK_EXPORT UrlSessionDelegate {
  public:
    virtual ~UrlSessionDelegate() = default;
    /// Must call `completionHandler` exactly once (the TLS handshake waits for it). The default
    /// answers performDefaultHandling.
    virtual void didReceiveChallenge(UrlSession& session, const AuthenticationChallenge& challenge,
                                     ChallengeCompletionHandler completionHandler);
};

using DataTaskCompletionHandler =
    std::function<void(std::optional<std::string> data, std::optional<UrlResponse> response,
                       std::optional<UrlError> error)>;
/// The end of a download task: the destination (now holding the whole file) and the answer's
/// head, or no location and the error (UrlError::cancelled for a cancelled task). An answer with
/// a status outside 2xx is an error too (badServerResponse); its response is then given.
using DownloadTaskCompletionHandler =
    std::function<void(std::optional<std::filesystem::path> location,
                       std::optional<UrlResponse> response, std::optional<UrlError> error)>;

/// One transfer of a session; thread-safe, shared with the session until it completes.
class VK_EXPORT UrlSessionTask {
  public:
    /// Where the task is in its life: suspended until resumed, completed at the end (also when
    /// cancelled).
    enum class State { running = 0, suspended = 1, canceling = 2, completed = 3 };

    /// The task's number, unique within its session.
    std::uint64_t taskIdentifier() const { return identifier_; }
    /// The request the task was made with.
    const UrlRequest& originalRequest() const { return request_; }
    /// Where the task is in its life; completed once its completion handler is queued.
    State state() const { return state_.load(); }

    /// Starts a suspended task; no effect otherwise.
    void resume();
    /// Ends the task with UrlError::cancelled unless it has completed already.
    void cancel();

    /// Made by the session only (public for std::make_shared); hosts use dataTask() and the like.
    UrlSessionTask(std::uint64_t identifier, UrlRequest request,
                   DataTaskCompletionHandler completion, std::weak_ptr<UrlSession> session);

  private:
    friend class UrlSession;
    const std::uint64_t identifier_;
    const UrlRequest request_;
    std::atomic<State> state_{State::suspended};
    std::mutex mutex_;  // guards completion_
    DataTaskCompletionHandler completion_;
    std::weak_ptr<UrlSession> session_;
    std::shared_ptr<TransferSink> sink_;  // download tasks; set before the task is handed out
};

/// Runs HTTP(S) and file transfers (see the file comment); thread-safe, shared.
class VK_EXPORT UrlSession : public std::enable_shared_from_this<UrlSession> {
  public:
    /// `delegate` may be null (every challenge gets default handling). `delegateQueue` null: the
    /// session makes a serial queue of its own.
    static std::shared_ptr<UrlSession> make(
        UrlSessionConfiguration configuration = UrlSessionConfiguration::defaultConfiguration(),
        std::shared_ptr<UrlSessionDelegate> delegate = nullptr,
        std::shared_ptr<DispatchQueue> delegateQueue = nullptr);
    ~UrlSession();
    UrlSession(const UrlSession&) = delete;
    UrlSession& operator=(const UrlSession&) = delete;

    /// A suspended task for `request` (body and method as the request says); resume() starts it.
    std::shared_ptr<UrlSessionTask> dataTask(UrlRequest request,
                                             DataTaskCompletionHandler completionHandler);
    /// Like dataTask, with `bodyData` sent as the request body.
    std::shared_ptr<UrlSessionTask> uploadTask(UrlRequest request, std::string bodyData,
                                               DataTaskCompletionHandler completionHandler);
    /// A suspended task that downloads `request`'s answer into `destination` (whose folder must
    /// exist), resuming from the partial file an earlier attempt left when its version is known
    /// ("Range" and "If-Range" headers are added then). `progress` may be empty.
    std::shared_ptr<UrlSessionTask> downloadTask(UrlRequest request,
                                                 std::filesystem::path destination,
                                                 DownloadProgressHandler progress,
                                                 DownloadTaskCompletionHandler completionHandler);

    /// Cancels every unfinished task and refuses new ones; the delegate is released.
    void invalidateAndCancel();
    /// Whether invalidateAndCancel() has run.
    bool isInvalidated() const;

    /// The configuration the session was made with; fixed for its life.
    const UrlSessionConfiguration& configuration() const { return configuration_; }
    /// The serial queue completions and delegate calls run on; fixed for the session's life.
    const std::shared_ptr<DispatchQueue>& delegateQueue() const { return delegateQueue_; }
    /// The delegate, until the session is invalidated.
    std::shared_ptr<UrlSessionDelegate> delegate() const;
    /// Connections opened and transfers finished so far (zero before the first task).
    TransportStatistics statistics() const;

  private:
    struct ChallengeWait;
    class TransportClient;

    UrlSession(UrlSessionConfiguration configuration, std::shared_ptr<UrlSessionDelegate> delegate,
               std::shared_ptr<DispatchQueue> delegateQueue);

    friend class UrlSessionTask;
    /// The task `id` names while it has not completed; null after.
    std::shared_ptr<UrlSessionTask> outstandingTask(std::uint64_t id) const;
    void resumeTask(const std::shared_ptr<UrlSessionTask>& task);
    void cancelTask(const std::shared_ptr<UrlSessionTask>& task);
    /// Completes `task` once; later calls do nothing. Safe without the session lock held.
    void complete(const std::shared_ptr<UrlSessionTask>& task, TransferResult result);
    void transferFinished(std::uint64_t id, TransferResult result);
    /// Hands `challenge` to the delegate on the delegate queue; `reply` gets the answer once
    /// (cancellation when the session is invalidated or destroyed first).
    void requestChallengeAnswer(const AuthenticationChallenge& challenge,
                                std::function<void(ChallengeAnswer)> reply);

    const UrlSessionConfiguration configuration_;
    const std::shared_ptr<DispatchQueue> delegateQueue_;
    std::unique_ptr<TransportClient> transportClient_;

    mutable std::mutex mutex_;
    std::shared_ptr<UrlSessionDelegate> delegate_;
    std::map<std::uint64_t, std::shared_ptr<UrlSessionTask>> outstanding_;
    std::set<std::shared_ptr<ChallengeWait>> challengeWaits_;
    bool invalidated_ = false;
    bool shuttingDown_ = false;
    std::unique_ptr<UrlTransport> transport_;  // made with the first resumed task
    std::atomic<std::uint64_t> nextTaskIdentifier_{1};
};

}  // namespace vk
