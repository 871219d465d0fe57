#include "VornKit/Platform/Http/UrlSession.h"

#include "VornKit/Platform/Http/CurlTransport.h"

namespace vk {

void UrlSessionDelegate::didReceiveChallenge(UrlSession&, const AuthenticationChallenge&,
                                             ChallengeCompletionHandler completionHandler) {
    completionHandler(AuthChallengeDisposition::performDefaultHandling, std::nullopt);
}

// One challenge waiting for the delegate. Answered by the delegate's completion handler, or
// cancelled when the session is invalidated or goes away; the first of the two wins and is handed
// to the transport's reply.
struct UrlSession::ChallengeWait {
    explicit ChallengeWait(std::function<void(ChallengeAnswer)> replyTo)
        : reply(std::move(replyTo)) {}

    void set(ChallengeAnswer value) {
        std::function<void(ChallengeAnswer)> taken;
        {
            std::lock_guard lock(mutex);
            taken = std::move(reply);
            reply = nullptr;
        }
        if (taken)
            taken(std::move(value));
    }

    std::mutex mutex;
    std::function<void(ChallengeAnswer)> reply;  // empty once answered
};

class UrlSession::TransportClient : public UrlTransportClient {
  public:
    explicit TransportClient(UrlSession& session) : session_(session) {}
    void transferFinished(std::uint64_t id, TransferResult result) override {
        session_.transferFinished(id, std::move(result));
    }
    void requestChallengeAnswer(std::uint64_t, const AuthenticationChallenge& challenge,
                                std::function<void(ChallengeAnswer)> reply) override {
        session_.requestChallengeAnswer(challenge, std::move(reply));
    }

  private:
    UrlSession& session_;
};

UrlSessionTask::UrlSessionTask(std::uint64_t identifier, UrlRequest request,
                               DataTaskCompletionHandler completion,
                               std::weak_ptr<UrlSession> session)
    : identifier_(identifier),
      request_(std::move(request)),
      completion_(std::move(completion)),
      session_(std::move(session)) {}

// The session keeps every task it made until completion, so a task that has not completed finds
// itself there; a completed one does nothing.
void UrlSessionTask::resume() {
    if (auto session = session_.lock()) {
        if (auto self = session->outstandingTask(identifier_))
            session->resumeTask(self);
    }
}

void UrlSessionTask::cancel() {
    if (auto session = session_.lock()) {
        if (auto self = session->outstandingTask(identifier_))
            session->cancelTask(self);
    }
}

std::shared_ptr<UrlSession> UrlSession::make(UrlSessionConfiguration configuration,
                                             std::shared_ptr<UrlSessionDelegate> delegate,
                                             std::shared_ptr<DispatchQueue> delegateQueue) {
    if (!delegateQueue)
        delegateQueue = DispatchQueue::makeSerial("UrlSession.delegateQueue");
    return std::shared_ptr<UrlSession>(
        new UrlSession(std::move(configuration), std::move(delegate), std::move(delegateQueue)));
}

UrlSession::UrlSession(UrlSessionConfiguration configuration,
                       std::shared_ptr<UrlSessionDelegate> delegate,
                       std::shared_ptr<DispatchQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      transportClient_(std::make_unique<TransportClient>(*this)),
      delegate_(std::move(delegate)) {}

UrlSession::~UrlSession() {
    invalidateAndCancel();
    std::unique_ptr<UrlTransport> transport;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        transport = std::move(transport_);
    }
    if (transport)
        transport->shutdown();
}

std::shared_ptr<UrlSessionTask> UrlSession::dataTask(UrlRequest request,
                                                     DataTaskCompletionHandler completionHandler) {
    auto task =
        std::make_shared<UrlSessionTask>(nextTaskIdentifier_.fetch_add(1), std::move(request),
                                         std::move(completionHandler), weak_from_this());
    std::lock_guard lock(mutex_);
    outstanding_.emplace(task->taskIdentifier(), task);
    return task;
}

std::shared_ptr<UrlSessionTask> UrlSession::uploadTask(
    UrlRequest request, std::string bodyData, DataTaskCompletionHandler completionHandler) {
    request.httpBody = std::move(bodyData);
    return dataTask(std::move(request), std::move(completionHandler));
}

std::shared_ptr<UrlSessionTask> UrlSession::downloadTask(
    UrlRequest request, std::filesystem::path destination, DownloadProgressHandler progress,
    DownloadTaskCompletionHandler completionHandler) {
    auto file =
        std::make_shared<DownloadFile>(std::move(destination), std::move(progress), delegateQueue_);
    if (file->resumeOffset() > 0) {
        request.setValue("bytes=" + std::to_string(file->resumeOffset()) + "-", "Range");
        if (file->resumeValidator())
            request.setValue(*file->resumeValidator(), "If-Range");
    }
    auto finish = [file, completion = std::move(completionHandler), delegateQueue = delegateQueue_](
                      std::optional<std::string> data, std::optional<UrlResponse> response,
                      std::optional<UrlError> error) {
        if (error) {
            std::optional<UrlError> reason = file->failure();
            file->abandon();
            completion(std::nullopt, std::nullopt, reason ? reason : error);
            return;
        }
        // A transport that does not stream hands over the whole body at the end.
        if (response && !file->sawHead() && file->receiveHead(*response) && data)
            file->receive(data->data(), data->size());
        // The flush to disk takes as long as the disk does: it runs on the worker pool, so that
        // it holds up neither the delegate queue (every other task's completion) nor the other
        // downloads' flushes.
        DispatchQueue::global()->async([file, completion, delegateQueue, response]() mutable {
            std::optional<UrlError> failure = file->finish(response);
            delegateQueue->async([file, completion = std::move(completion),
                                  response = std::move(response),
                                  failure = std::move(failure)]() mutable {
                if (failure)
                    completion(std::nullopt, std::move(response), std::move(failure));
                else
                    completion(file->destination(), std::move(response), std::nullopt);
            });
        });
    };
    auto task = std::make_shared<UrlSessionTask>(
        nextTaskIdentifier_.fetch_add(1), std::move(request), std::move(finish), weak_from_this());
    task->sink_ = file;
    std::lock_guard lock(mutex_);
    outstanding_.emplace(task->taskIdentifier(), task);
    return task;
}

void UrlSession::resumeTask(const std::shared_ptr<UrlSessionTask>& task) {
    auto expected = UrlSessionTask::State::suspended;
    if (!task->state_.compare_exchange_strong(expected, UrlSessionTask::State::running))
        return;
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) {
            refused = true;
        } else if (task->state_.load() == UrlSessionTask::State::running) {
            if (!transport_) {
                transport_ =
                    configuration_.transportFactory
                        ? configuration_.transportFactory(configuration_, *transportClient_)
                        : makeCurlTransport(configuration_, *transportClient_);
            }
            if (task->sink_) {
                transport_->start(task->taskIdentifier(), task->originalRequest(), task->sink_);
            } else {
                transport_->start(task->taskIdentifier(), task->originalRequest());
            }
        }
    }
    if (refused) {
        complete(task, {std::nullopt, std::nullopt, UrlError::make(UrlError::cancelled)});
    }
}

void UrlSession::cancelTask(const std::shared_ptr<UrlSessionTask>& task) {
    auto state = task->state_.load();
    while (state == UrlSessionTask::State::suspended || state == UrlSessionTask::State::running) {
        if (task->state_.compare_exchange_weak(state, UrlSessionTask::State::canceling)) {
            {
                std::lock_guard lock(mutex_);
                if (state == UrlSessionTask::State::running && transport_) {
                    transport_->cancel(task->taskIdentifier());
                }
            }
            complete(task, {std::nullopt, std::nullopt, UrlError::make(UrlError::cancelled)});
            return;
        }
    }
}

void UrlSession::complete(const std::shared_ptr<UrlSessionTask>& task, TransferResult result) {
    DataTaskCompletionHandler completion;
    {
        std::lock_guard lock(task->mutex_);
        if (task->state_.load() == UrlSessionTask::State::completed || !task->completion_)
            return;
        completion = std::move(task->completion_);
        task->completion_ = nullptr;
        task->state_.store(UrlSessionTask::State::completed);
    }
    {
        std::lock_guard lock(mutex_);
        outstanding_.erase(task->taskIdentifier());
    }
    delegateQueue_->async([completion = std::move(completion), result = std::move(result)] {
        completion(result.data, result.response, result.error);
    });
}

std::shared_ptr<UrlSessionTask> UrlSession::outstandingTask(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = outstanding_.find(id);
    return it == outstanding_.end() ? nullptr : it->second;
}

void UrlSession::transferFinished(std::uint64_t id, TransferResult result) {
    if (auto task = outstandingTask(id))
        complete(task, std::move(result));
}

void UrlSession::requestChallengeAnswer(const AuthenticationChallenge& challenge,
                                        std::function<void(ChallengeAnswer)> reply) {
    auto wait = std::make_shared<ChallengeWait>(std::move(reply));
    std::shared_ptr<UrlSessionDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        if (!shuttingDown_ && !invalidated_) {
            delegate = delegate_;
            if (delegate)
                challengeWaits_.insert(wait);
        }
    }
    if (!delegate) {
        bool ending = isInvalidated();
        wait->set(ending ? ChallengeAnswer{AuthChallengeDisposition::cancelAuthenticationChallenge,
                                           std::nullopt}
                         : ChallengeAnswer{});
        return;
    }
    // The handler the delegate gets: the first call answers; a handler dropped without being
    // called cancels the challenge rather than leaving the handshake waiting for ever. Either
    // way the wait leaves the session's list.
    struct Responder {
        Responder(std::shared_ptr<ChallengeWait> w, std::weak_ptr<UrlSession> s)
            : wait(std::move(w)), session(std::move(s)) {}
        Responder(const Responder&) = delete;
        Responder& operator=(const Responder&) = delete;
        ~Responder() { answer({AuthChallengeDisposition::cancelAuthenticationChallenge, {}}); }
        void answer(ChallengeAnswer value) {
            wait->set(std::move(value));
            if (auto owner = session.lock()) {
                std::lock_guard lock(owner->mutex_);
                owner->challengeWaits_.erase(wait);
            }
        }
        std::shared_ptr<ChallengeWait> wait;
        std::weak_ptr<UrlSession> session;
    };
    std::weak_ptr<UrlSession> weakSelf = weak_from_this();
    auto responder = std::make_shared<Responder>(wait, weakSelf);
    delegateQueue_->async([weakSelf, delegate, challenge, responder] {
        auto self = weakSelf.lock();
        if (!self)
            return;  // the responder's destructor cancels
        delegate->didReceiveChallenge(*self, challenge,
                                      [responder](AuthChallengeDisposition disposition,
                                                  std::optional<UrlCredential> credential) {
                                          responder->answer({disposition, std::move(credential)});
                                      });
    });
}

void UrlSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<UrlSessionTask>> tasks;
    std::set<std::shared_ptr<ChallengeWait>> waits;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        delegate_.reset();
        for (const auto& [id, task] : outstanding_)
            tasks.push_back(task);
        waits.swap(challengeWaits_);
    }
    // Every task ends now, so no handshake needs an answer any more.
    for (const auto& wait : waits)
        wait->set({AuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt});
    for (const auto& task : tasks)
        cancelTask(task);
}

bool UrlSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

std::shared_ptr<UrlSessionDelegate> UrlSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

TransportStatistics UrlSession::statistics() const {
    std::lock_guard lock(mutex_);
    return transport_ ? transport_->statistics() : TransportStatistics{};
}

}  // namespace vk
