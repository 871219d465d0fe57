// The libcurl transport of UrlSession: a worker thread running a curl multi handle.
//
// Workers: a session has a worker of its own, started with its first transfer and stopped when the
// session goes; sessions configured with sharesWorker all use one process-wide worker (started on
// first use, never stopped), and each of their transfers opens a connection of its own, closed
// after it, so that no connection judged by one session's trust decisions serves another.
//
// What it does per transfer: HTTP/1.1 keep-alive or HTTP/2 over TLS, at most
// httpMaximumConnectionsPerHost connections per host and session, redirects (up to 16, to http and
// https only), compressed answers, the request's timeout as an idle timeout, and for TLS a
// server-trust challenge through OpenSSL's certificate-verify callback: libcurl's own host check
// is off because the challenge's default handling (ServerTrust::evaluate) checks the host name
// itself. The worker never waits for the delegate: without an answer at hand the handshake ends
// (before any byte of the request is sent), the transfer gives its connection slot to the host's
// other transfers and, once the answer is in, starts over on a new connection whose handshake
// takes that answer when the server presents the same chain (a transfer waiting for its answer
// does not count as idle). TLS session resumption is off, so that every new connection is judged
// by the current trust decisions. Answers to HEAD and 204/304 answers have present, empty data.
//
// Completions: the session hands each task's completion to its serial delegate queue. When that
// queue is idle and its session's worker has no other transfer in flight, the worker runs the
// queue's job itself between two waits (DeferredDispatch) instead of waking a pool thread, so a
// request started from a completion is sent without a thread switch; the completion still runs
// as a block of the delegate queue, in order. While it runs, transfers other threads start wait
// for it to return; with transfers in flight completions go to the pool as before. Sessions that
// share a worker never have their completions run on it.
//
// Thread rule: see UrlTransport.h. The worker thread calls the client; it never holds a lock of
// its own while doing so.
#pragma once

#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/UrlTransport.h"

namespace vk {

VK_EXPORT std::unique_ptr<UrlTransport> makeCurlTransport(
    const UrlSessionConfiguration& configuration, UrlTransportClient& client);

}  // namespace vk
