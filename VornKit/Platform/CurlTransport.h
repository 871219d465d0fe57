// The libcurl transport of UrlSession: one worker thread running a curl multi handle.
//
// What it does per transfer: HTTP/1.1 keep-alive or HTTP/2 over TLS, at most
// httpMaximumConnectionsPerHost connections per host (CURLMOPT_MAX_HOST_CONNECTIONS), redirects
// (up to 16, to http and https only), compressed answers, the request's timeout as an idle timeout,
// and for TLS a server-trust challenge through OpenSSL's certificate-verify callback: libcurl's
// own host check is off because the challenge's default handling (ServerTrust::evaluate) checks
// the host name itself. TLS session resumption is off, so that every new connection is judged by
// the current trust decisions.
//
// Thread rule: see UrlTransport.h. The worker thread calls the client; it never holds a lock of
// its own while doing so.
#pragma once

#include <memory>

#include "VornKit/Platform/UrlTransport.h"

namespace vk {

std::unique_ptr<UrlTransport> makeCurlTransport(const UrlSessionConfiguration& configuration,
                                                UrlTransportClient& client);

}  // namespace vk
