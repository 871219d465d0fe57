// CurlEngine, its transfers: starting one, the per-host connection cap and the line of transfers
// waiting for a connection, and ending one and telling its session.
#include "VornKit/Platform/Http/CurlEngine.h"

#include <algorithm>

namespace vk::detail {

CURL* CurlEngine::takeHandle() {
    if (!spareHandles_.empty()) {
        CURL* easy = spareHandles_.back();
        spareHandles_.pop_back();
        curl_easy_reset(easy);
        return easy;
    }
    return curl_easy_init();
}

void CurlEngine::begin(CurlFront& front, std::uint64_t id, UrlRequest request,
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

void CurlEngine::enqueue(Transfer& transfer) {
    HostSlots& slots = hosts_[transfer.hostKey];
    if (slots.active < transfer.front->maxPerHost) {
        if (!activate(transfer))
            report(&transfer,
                   {std::nullopt, std::nullopt, UrlError::make(UrlError::unknown, "cannot start")});
    } else {
        transfer.waitDeadline = Clock::now() + transfer.idleTimeout;
        slots.waiting.push_back(transfer.serial);
        waitDeadlines_.emplace(transfer.waitDeadline, transfer.serial);
    }
}

bool CurlEngine::activate(Transfer& transfer) {
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

void CurlEngine::promote(const std::string& hostKey, int maxPerHost) {
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
            report(found->second.get(),
                   {std::nullopt, std::nullopt, UrlError::make(UrlError::unknown, "cannot start")});
    }
}

void CurlEngine::release(Transfer& transfer) {
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

void CurlEngine::erase(Transfer* transfer) {
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

void CurlEngine::abandon(std::uint64_t serial) {
    auto it = transfers_.find(serial);
    if (it != transfers_.end())
        erase(it->second.get());
}

void CurlEngine::report(Transfer* transfer, TransferResult result) {
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

}  // namespace vk::detail
