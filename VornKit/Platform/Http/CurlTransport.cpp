// The libcurl transport: CurlFront, the per-session face of a CurlEngine (CurlEngine.h), and
// makeCurlTransport, which gives a session an engine of its own or the shared one.
#include "VornKit/Platform/Http/CurlTransport.h"

#include <algorithm>

#include "VornKit/Platform/Http/CurlEngine.h"
#include "VornKit/Platform/Http/UrlSession.h"

namespace vk {

namespace detail {

namespace {

std::atomic<std::uint64_t> gNextFrontSerial{1};

}  // namespace

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

}  // namespace detail

std::unique_ptr<UrlTransport> makeCurlTransport(const UrlSessionConfiguration& configuration,
                                                UrlTransportClient& client) {
    const int maxPerHost = std::max(1, configuration.httpMaximumConnectionsPerHost);
    if (configuration.sharesWorker) {
        return std::make_unique<detail::CurlFront>(detail::CurlEngine::shared(), false, true,
                                                   maxPerHost, client);
    }
    return std::make_unique<detail::CurlFront>(detail::CurlEngine::make(maxPerHost, true), true,
                                               false, maxPerHost, client);
}

}  // namespace vk
