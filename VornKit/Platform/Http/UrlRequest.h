// The HTTP message values of URL loading: HttpHeaders, UrlRequest (what to send), UrlResponse (the
// answer's status line and headers) and UrlError (why a transfer failed).
//
// Bodies are byte strings held in std::string (they need not be text).
//
// Thread rule: values; a const object may be read from any thread, a mutable one is externally
// synchronised.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/Url.h"

namespace vk {

/// Header fields in the order they were first set. Names compare case-insensitively and keep the
/// spelling they were first given.
class VK_EXPORT HttpHeaders {
  public:
    /// A header field: name (as first spelt) and value.
    using Field = std::pair<std::string, std::string>;

    /// The value of the field `name` (any letter case), absent when it is not set.
    std::optional<std::string> value(std::string_view name) const;
    /// Sets `name` to `value`, replacing any earlier value.
    void set(std::string_view name, std::string value);
    /// Appends `value` to the field, joined to an earlier value with a single ",".
    void add(std::string_view name, std::string_view value);
    /// Removes the field `name` (any letter case), if set.
    void remove(std::string_view name);

    /// The fields in the order they were first set.
    const std::vector<Field>& fields() const { return fields_; }
    /// Whether no field is set.
    bool empty() const { return fields_.empty(); }

  private:
    std::vector<Field> fields_;
};

enum class UrlRequestCachePolicy {
    useProtocolCachePolicy = 0,
    reloadIgnoringLocalCacheData = 1,
    returnCacheDataElseLoad = 2,
    returnCacheDataDontLoad = 3,
};

/// One request: URL, method, header fields, optional body, cache policy and timeout. The timeout
/// is an idle timeout: the transfer fails with UrlError::timedOut when no byte moves for that long
/// (connecting included), or when it waits that long for a free connection to its host.
struct VK_EXPORT UrlRequest {
    /// The idle timeout a request has unless given another.
    static constexpr std::chrono::milliseconds kDefaultTimeout{60'000};

    UrlRequest() = default;
    /// A GET of `requestUrl` without headers or body.
    explicit UrlRequest(
        Url requestUrl,
        UrlRequestCachePolicy policy = UrlRequestCachePolicy::useProtocolCachePolicy,
        std::chrono::milliseconds timeout = kDefaultTimeout)
        : url(std::move(requestUrl)), cachePolicy(policy), timeoutInterval(timeout) {}

    /// What is asked: the URL (a request without one fails with badURL), the method, the header
    /// fields, the body, the cache policy and the idle timeout.
    /// @{
    std::optional<Url> url;
    std::string httpMethod = "GET";
    HttpHeaders allHTTPHeaderFields;
    std::optional<std::string> httpBody;
    UrlRequestCachePolicy cachePolicy = UrlRequestCachePolicy::useProtocolCachePolicy;
    std::chrono::milliseconds timeoutInterval = kDefaultTimeout;
    /// @}

    /// Replaces the header field `field` with `value`.
    void setValue(std::string value, std::string_view field) {
        allHTTPHeaderFields.set(field, std::move(value));
    }
    /// Appends `value` to the header field `field` (joined with ",").
    void addValue(std::string_view value, std::string_view field) {
        allHTTPHeaderFields.add(field, value);
    }
    /// The value of the header field `field` (any letter case), absent when it is not set.
    std::optional<std::string> value(std::string_view field) const {
        return allHTTPHeaderFields.value(field);
    }

    /// "<UrlRequest> { URL: <url or (null)> }", the text logs print for a request.
    std::string description() const;
};

/// The answer's head. `isHttp` is false for schemes without a status line (file URLs); then
/// `statusCode` is 0 and `headers` is empty.
struct VK_EXPORT UrlResponse {
    std::optional<Url> url;  ///< the URL that answered, after redirects
    /// Whether the answer came over HTTP, its status code and its header fields.
    /// @{
    bool isHttp = false;
    int statusCode = 0;
    HttpHeaders headers;
    /// @}
};

/// Why a transfer failed. Codes follow the URL-loading error domain's numbering.
struct VK_EXPORT UrlError {
    /// The failure codes (the URL-loading error domain's numbers).
    enum Code : int {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        tooManyRedirects = -1007,
        badServerResponse = -1011,
        userCancelledAuthentication = -1012,
        cannotDecodeContentData = -1016,
        secureConnectionFailed = -1200,
        serverCertificateUntrusted = -1202,
        fileDoesNotExist = -1100,
        cannotCreateFile = -3000,
        cannotWriteToFile = -3003,
        cannotMoveFile = -3005,
    };

    /// The failure code (Code), and a description for logs and the user.
    /// @{
    int code = unknown;
    std::string description;
    /// @}

    /// An error of `code` with the code's standard text, followed by " (<detail>)" when given.
    static UrlError make(Code code, std::string detail = {});
};

}  // namespace vk
