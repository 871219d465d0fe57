// CurlEngine, the exchange on a curl handle: a UrlRequest set as the handle's options, the
// answer's head and body collected from its callbacks, and the result built when it ends.
#include "VornKit/Platform/Http/CurlEngine.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "VornKit/Platform/Http/UrlSession.h"

namespace vk::detail {

namespace {

/// The most a declared length makes a transfer set aside before the body arrives.
constexpr std::size_t kReserveLimit = 64 << 20;

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

}  // namespace

void CurlEngine::configure(Transfer& transfer) {
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

void CurlEngine::finish(Transfer* transfer, CURLcode code) {
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

size_t CurlEngine::onData(char* data, size_t size, size_t count, void* user) {
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

UrlResponse CurlEngine::currentHead(Transfer& transfer) {
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

size_t CurlEngine::onHeader(char* data, size_t size, size_t count, void* user) {
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
        if (std::from_chars(value.data(), value.data() + value.size(), length).ec == std::errc()) {
            transfer->data.reserve(std::min<std::size_t>(length, kReserveLimit) + 64);
        }
    }
    if (startsWithNoCase(name, "transfer-encoding") && name.size() == 17) {
        transfer->declaredLength = true;
    }
    transfer->responseHeaders.add(name, value);
    return line.size();
}

int CurlEngine::onProgress(void* user, curl_off_t downloadTotal, curl_off_t downloaded, curl_off_t,
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

}  // namespace vk::detail
