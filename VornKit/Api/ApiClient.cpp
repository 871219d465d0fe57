#include "VornKit/Api/ApiClient.h"

#include <simdjson.h>

#include <algorithm>
#include <cctype>

#include "VornKit/Api/BandwidthSource.h"
#include "VornKit/Api/ServerAddressResolution.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

namespace {

constexpr std::chrono::seconds kExchangeTimeout{60};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool isUtf8(const std::string& text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

}  // namespace

ApiClient::ApiClient(ServerInfo serverInfo, DeviceInfo deviceInfo)
    : deviceInfo_(std::move(deviceInfo)), serverInfo_(std::move(serverInfo)) {
    auto now = Environment::current()->now();
    startingPlaySession_ =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    lastPlaybackProgressReport_ = distantPast();
    lastPlaybackProgressReportTicks_ = 0;
    accessToken_ = serverInfo_.AccessToken;
    serverAddress_.reset();
}

Date ApiClient::distantPast() {
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(-2208988800LL)));
}

std::shared_ptr<UrlSession> ApiClient::urlSession() const {
    return defaultSession();
}

const Logger& ApiClient::logger() {
    // Never destroyed: completions still log while the process exits.
    static const Immortal<Logger> instance("ApiClient");
    return *instance;
}

ServerInfo ApiClient::serverInfo() const {
    std::lock_guard lock(mutex_);
    return serverInfo_;
}

void ApiClient::setServerInfo(ServerInfo info) {
    std::lock_guard lock(mutex_);
    serverInfo_ = std::move(info);
}

std::optional<std::string> ApiClient::serverAddress() const {
    std::lock_guard lock(mutex_);
    return serverAddress_;
}

void ApiClient::setServerAddress(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    serverAddress_ = std::move(address);
}

std::string ApiClient::serverName() const {
    std::lock_guard lock(mutex_);
    return serverInfo_.Name;
}

std::string ApiClient::serverId() const {
    std::lock_guard lock(mutex_);
    return serverInfo_.Id;
}

std::optional<std::string> ApiClient::currentUserId() const {
    std::lock_guard lock(mutex_);
    return serverInfo_.UserId;
}

std::string ApiClient::deviceId() const {
    return deviceInfo_.deviceId;
}

Date ApiClient::dateLastAccessed() const {
    std::lock_guard lock(mutex_);
    return serverInfo_.DateLastAccessed.value_or(distantPast());
}

std::int64_t ApiClient::startingPlaySession() const {
    std::lock_guard lock(mutex_);
    return startingPlaySession_;
}

void ApiClient::setStartingPlaySession(std::int64_t value) {
    std::lock_guard lock(mutex_);
    startingPlaySession_ = value;
}

std::optional<std::string> ApiClient::accessToken() const {
    std::lock_guard lock(mutex_);
    return accessToken_;
}

void ApiClient::setAccessToken(std::optional<std::string> token) {
    std::lock_guard lock(mutex_);
    accessToken_ = std::move(token);
}

Date ApiClient::lastPlaybackProgressReport() const {
    std::lock_guard lock(mutex_);
    return lastPlaybackProgressReport_;
}

void ApiClient::setLastPlaybackProgressReport(Date date) {
    std::lock_guard lock(mutex_);
    lastPlaybackProgressReport_ = date;
}

std::int64_t ApiClient::lastPlaybackProgressReportTicks() const {
    std::lock_guard lock(mutex_);
    return lastPlaybackProgressReportTicks_;
}

void ApiClient::setLastPlaybackProgressReportTicks(std::int64_t ticks) {
    std::lock_guard lock(mutex_);
    lastPlaybackProgressReportTicks_ = ticks;
}

std::optional<std::string> ApiClient::getServerCredentials() const {
    std::optional<std::string> token = accessToken();
    if (token && !token->empty())
        return token;
    return std::nullopt;
}

void ApiClient::setServerCredentials(std::optional<std::string> accessToken) {
    setAccessToken(std::move(accessToken));
}

void ApiClient::clearServerCredentials() {
    setAccessToken(std::nullopt);
}

void ApiClient::updateServerInfo(ServerInfo info) {
    setServerInfo(std::move(info));
}

void ApiClient::onNetworkChanged() {
    setServerAddress(std::nullopt);
}

void ApiClient::markAccessed(Date date) {
    std::lock_guard lock(mutex_);
    serverInfo_.DateLastAccessed = date;
}

std::optional<Url> ApiClient::getUrl(const std::string& path, const QueryParams& params) {
    std::optional<std::string> address = serverAddress();
    if (!address) {
        logger().log("Error: Server address not set");
        tryReconnect();
        return std::nullopt;
    }
    std::string text = *address;
    // The prefix is looked for in the address's path only: a host named "vornbox" has none.
    std::optional<UrlComponents> base = UrlComponents::parse(text);
    if (lower(base ? base->percentEncodedPath : text).find("/vorn") == std::string::npos)
        text += "/vorn";
    if (path.empty() || path.front() != '/')
        text += "/";
    text += path;
    std::optional<UrlComponents> components = UrlComponents::parse(text);
    if (!components)
        return std::nullopt;
    std::vector<UrlQueryItem> items;
    items.reserve(params.size());
    for (const auto& [name, value] : params)
        items.push_back({name, value});
    components->setQueryItems(items);
    return components->url();
}

std::string ApiClient::pathSegment(std::string_view id) {
    static constexpr UrlCharacterSet kSegment("!$&'()*+,;=:@");
    if (!id.empty() && id.find_first_not_of('.') == std::string_view::npos) {
        std::string dots;
        for (std::size_t i = 0; i < id.size(); ++i)
            dots += "%2E";
        return dots;
    }
    return percentEncode(id, kSegment);
}

std::string ApiClient::cleanHeaderValue(const std::optional<std::string>& value) {
    if (!value)
        return {};
    return percentEncode(*value, UrlCharacterSet::queryAllowed());
}

std::string ApiClient::cleanHeaderValue_old(const std::optional<std::string>& value) {
    if (!value)
        return {};
    static constexpr std::string_view kRemoved[] = {
        "\"", "'", "\u2018", "\u2019", "\u201C", "\u201D", "\r", "\n", std::string_view("\0", 1),
    };
    std::string out = *value;
    for (std::string_view removed : kRemoved) {
        for (std::size_t at = out.find(removed); at != std::string::npos;
             at = out.find(removed, at)) {
            out.erase(at, removed.size());
        }
    }
    return out;
}

UrlRequest ApiClient::setRequestHeaders(UrlRequest request, const DeviceInfo& deviceInfo,
                                        const std::optional<std::string>& accessToken) {
    static constexpr std::string_view kField = "X-Vorn-Authorization";
    request.setValue("Talvex Device=" + cleanHeaderValue(deviceInfo.deviceName), kField);
    request.addValue("DeviceId=" + cleanHeaderValue_old(deviceInfo.deviceId), kField);
    request.addValue("Version=" + cleanHeaderValue_old(deviceInfo.appVersion), kField);
    request.addValue("Client=" + cleanHeaderValue_old(deviceInfo.appName), kField);
    request.addValue("Token=" + cleanHeaderValue_old(accessToken), kField);
    return request;
}

std::shared_ptr<ObjectContext> ApiClient::storeContext(const JsonDecoder& decoder) {
    auto it = decoder.userInfo.find(kManagedObjectContextKey);
    if (it == decoder.userInfo.end())
        return nullptr;
    if (const auto* context = std::any_cast<std::shared_ptr<ObjectContext>>(&it->second)) {
        return *context;
    }
    return nullptr;
}

void ApiClient::logDecodingFailure(const std::string& body, const DecodingError& error) {
    logger().log("Error deserializing json " + (isUtf8(body) ? body : std::string()) +
                 "\n\nError: " + error.description());
}

void ApiClient::fetchBody(UrlRequest request,
                          std::function<void(std::optional<std::string>)> onBody) {
    request = setRequestHeaders(std::move(request), deviceInfo_, accessToken());
    logger().log("Getting response from " +
                 (request.url ? request.url->absoluteString() : std::string("null")));
    std::string urlText = request.url ? request.url->absoluteString() : request.description();
    auto task = urlSession()->dataTask(std::move(request), [urlText, onBody = std::move(onBody)](
                                                               std::optional<std::string> data,
                                                               std::optional<UrlResponse> response,
                                                               std::optional<UrlError> error) {
        if (error) {
            logger().log("Error fetching content for " + urlText + ": " + error->description);
            onBody(std::nullopt);
            return;
        }
        if (!response || !response->isHttp || response->statusCode < 200 ||
            response->statusCode > 299 || !data) {
            logger().log("Error fetching content for " + urlText + ": Invalid response");
            onBody(std::nullopt);
            return;
        }
        onBody(std::move(data));
    });
    task->resume();
}

void ApiClient::deliverText(const std::string& urlText, const std::optional<std::string>& data,
                            const std::optional<UrlResponse>& response,
                            const std::optional<UrlError>& error,
                            const TextCompletion& completion) {
    if (error) {
        logger().log("Error posting content to " + urlText + ": " + error->description);
        completion(std::nullopt);
        return;
    }
    if (response && response->isHttp && response->statusCode >= 200 &&
        response->statusCode <= 299) {
        if (!data) {
            completion(std::nullopt);
        } else if (!data->empty() && isUtf8(*data)) {
            completion(*data);
        } else {
            completion(std::to_string(response->statusCode));
        }
        return;
    }
    logger().log("Error posting content to " + urlText + ": Invalid response");
    completion(std::nullopt);
}

void ApiClient::postContent(const Url& url, std::string body, TextCompletion completion) {
    UrlRequest request(url, UrlRequestCachePolicy::useProtocolCachePolicy, kExchangeTimeout);
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.httpBody = body;
    request = setRequestHeaders(std::move(request), deviceInfo_, accessToken());
    logger().log("Getting response from " + url.description());
    std::string urlText = url.description();
    auto task = urlSession()->uploadTask(
        std::move(request), std::move(body),
        [urlText, completion = std::move(completion)](std::optional<std::string> data,
                                                      std::optional<UrlResponse> response,
                                                      std::optional<UrlError> error) {
            deliverText(urlText, data, response, error, completion);
        });
    task->resume();
}

void ApiClient::sendRequest(UrlRequest request, TextCompletion completion) {
    request = setRequestHeaders(std::move(request), deviceInfo_, accessToken());
    logger().log("Getting response from " +
                 (request.url ? request.url->absoluteString() : std::string("null")));
    std::string urlText = request.url ? request.url->absoluteString() : request.description();
    auto task = urlSession()->dataTask(
        std::move(request),
        [urlText, completion = std::move(completion)](std::optional<std::string> data,
                                                      std::optional<UrlResponse> response,
                                                      std::optional<UrlError> error) {
            deliverText(urlText, data, response, error, completion);
        });
    task->resume();
}

void ApiClient::getServerAddress(std::shared_ptr<DispatchQueue> callbackQueue,
                                 AddressCompletion completionHandler) {
    if (std::optional<std::string> address = serverAddress()) {
        completionHandler(std::move(address), std::nullopt);
        return;
    }
    ServerAddressResolution::start(*this, std::move(callbackQueue), std::move(completionHandler));
}

void ApiClient::tryReconnect() {
    logger().log("tryReconnect to server");
    getServerAddress(DispatchQueue::main(),
                     [](std::optional<std::string>, std::optional<UrlError>) {});
}

void ApiClient::detectBitrate(std::function<void(std::int64_t)> completion) {
    constexpr std::int64_t kFallback = 1'500'000;
    constexpr std::int64_t kInNetwork = 140'000'000;
    std::optional<Url> url = getUrl("System/Endpoint", {});
    if (!url) {
        logger().log("Error: getEndpointInfo invalid url");
        completion(kFallback);
        return;
    }
    UrlRequest request(*url, UrlRequestCachePolicy::useProtocolCachePolicy, kExchangeTimeout);
    fetchContent<EndpointInfo>(
        std::move(request), JsonDecoder(), nullptr,
        [completion = std::move(completion)](std::optional<EndpointInfo> info) {
            if (!info) {
                completion(kFallback);
            } else if (info->IsInNetwork) {
                completion(kInNetwork);
            } else {
                completion(BandwidthSource::toBitRate(BandwidthSource::currentMaxBandwidth()));
            }
        });
}

}  // namespace vk
