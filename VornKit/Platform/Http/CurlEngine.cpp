// CurlEngine, its worker: the thread that takes the operations fronts queue, drives the multi
// handle, expires idle transfers and, for an engine of one session, runs that session's
// completions when nothing else is in flight. See CurlEngine.h for the other parts.
#include "VornKit/Platform/Http/CurlEngine.h"

#include <openssl/ssl.h>

#include <algorithm>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/ExitGate.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk::detail {

namespace {

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        // OpenSSL must not tear its state down at exit while a worker still runs a handshake
        // (workers outlive main()); without effect when the host initialised OpenSSL first.
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

}  // namespace

std::shared_ptr<CurlEngine> CurlEngine::make(int maxPerHost, bool deliversCompletions) {
    std::shared_ptr<CurlEngine> engine(new CurlEngine(maxPerHost, deliversCompletions));
    // The worker keeps its engine alive until it returns, also when a job it runs lets go
    // of the engine's last other owner.
    engine->worker_ = std::thread([engine] { engine->run(); });
    return engine;
}

std::shared_ptr<CurlEngine> CurlEngine::shared() {
    static Immortal<std::shared_ptr<CurlEngine>> engine(make(64, false));
    return *engine;
}

void CurlEngine::start(CurlFront& front, std::uint64_t id, UrlRequest request,
                       std::shared_ptr<TransferSink> sink) {
    queue(Op{Op::start, &front, id, std::move(request), 0, {}, std::move(sink)});
}

void CurlEngine::cancel(CurlFront& front, std::uint64_t id) {
    queue(Op{Op::cancel, &front, id, {}, 0, {}, {}});
}

void CurlEngine::detach(CurlFront& front) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    if (!queue(Op{Op::detach, &front, 0, {}, 0, done, {}}))
        return;  // stopped: nothing refers to the front any more
    finished.wait();
}

void CurlEngine::stop() {
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

CurlEngine::CurlEngine(int maxPerHost, bool deliversCompletions)
    : deliversCompletions_(deliversCompletions) {
    ensureCurl();
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(maxPerHost));
    // libcurl's default keeps four idle connections per handle in the multi handle, which
    // drops kept-alive connections whenever a burst ends; keep enough for several hosts.
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(maxPerHost * 8));
}

bool CurlEngine::queue(Op op) {
    std::lock_guard lock(mutex_);
    if (stopping_)
        return false;
    bool wake = ops_.empty() && sleeping_;
    ops_.push_back(std::move(op));
    if (wake)
        curl_multi_wakeup(multi_);
    return true;
}

void CurlEngine::run() {
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

void CurlEngine::waitForStopWhileExiting(std::vector<Op> ops) {
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

void CurlEngine::perform() {
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

void CurlEngine::apply(Op& op) {
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

int CurlEngine::expireIdleTransfers() {
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
        report(it->second.get(), {std::nullopt, std::nullopt, UrlError::make(UrlError::timedOut)});
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(wait, 1, 30'000));
}

}  // namespace vk::detail
