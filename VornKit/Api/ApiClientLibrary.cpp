// ApiClient's server operations on the library: queries, image and stream URLs, playback
// reports (declared in ApiClient.h).
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Platform/Runtime/Environment.h"

namespace vk {

namespace {

constexpr std::chrono::seconds kQueryTimeout{60};
constexpr std::int64_t kTicksPerMillisecond = 10'000;
/// Reports further apart than this (ms) always go through; a position further than this from
/// where steady playback would be counts as a seek.
constexpr std::int64_t kProgressInterval = 9'999;

std::string text(const std::optional<std::string>& value) {
    return value ? *value : std::string("nil");
}

std::string text(const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : std::string("nil");
}

std::string text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

// The record as log lines print it when it cannot be encoded.
std::string describe(const PlaybackProgressInfo& info) {
    return "PlaybackProgressInfo(ItemId: " + info.ItemId +
           ", MediaSourceId: " + info.MediaSourceId + ", PlaySessionId: " + info.PlaySessionId +
           ", EventName: " + std::string(caseName(info.EventName)) +
           ", PositionTicks: " + text(info.PositionTicks) +
           ", IsPaused: " + (info.IsPaused ? "true" : "false") +
           ", PlaybackRate: " + text(info.PlaybackRate) + ")";
}

std::string describe(const PlaybackStopInfo& info) {
    return "PlaybackStopInfo(ItemId: " + info.ItemId + ", MediaSourceId: " + info.MediaSourceId +
           ", PlaySessionId: " + info.PlaySessionId +
           ", PositionTicks: " + text(info.PositionTicks) + ")";
}

}  // namespace

// Library queries ---------------------------------------------------------------------------

template <class T>
void ApiClient::query(const char* operation, const std::optional<std::string>& path,
                      const QueryParams& params, JsonDecoder decoder, Completion<T> completion,
                      std::string_view method) {
    std::optional<Url> url;
    if (path)
        url = getUrl(*path, params);
    if (!url) {
        logger().log(std::string("Error: ") + operation + " invalid url");
        completion(std::nullopt);
        return;
    }
    UrlRequest request(*url, UrlRequestCachePolicy::useProtocolCachePolicy, kQueryTimeout);
    if (method != "GET") {
        request.httpMethod = std::string(method);
        request.setValue("application/json", "Accept");
    }
    fetchContent<T>(std::move(request), std::move(decoder), nullptr, std::move(completion));
}

void ApiClient::getUserViews(std::optional<std::string> userId, QueryParams options,
                             Completion<GetItemsResponse> completionHandler) {
    if (!userId)
        userId = currentUserId();
    std::optional<std::string> path;
    if (userId)
        path = "Users/" + pathSegment(*userId) + "/Views";
    query<GetItemsResponse>("getUserViews", path, options, JsonDecoder(),
                            std::move(completionHandler));
}

void ApiClient::getItem(std::optional<std::string> userId, std::string itemId, JsonDecoder decoder,
                        Completion<std::shared_ptr<BaseItemDto>> completionHandler) {
    std::string path = userId ? "Users/" + pathSegment(*userId) + "/Items/" + pathSegment(itemId)
                              : "Items/" + pathSegment(itemId);
    query<std::shared_ptr<BaseItemDto>>("getItem", path, {}, std::move(decoder),
                                        std::move(completionHandler));
}

void ApiClient::getItems(std::optional<std::string> userId, QueryParams options,
                         Completion<GetItemsResponse> completionHandler) {
    std::string path = userId ? "Users/" + pathSegment(*userId) + "/Items" : std::string("Items");
    query<GetItemsResponse>("getItems", path, options, JsonDecoder(), std::move(completionHandler));
}

void ApiClient::getLatestItems(std::optional<std::string> userId, QueryParams options,
                               Completion<ItemList> completionHandler) {
    if (!userId)
        userId = currentUserId();
    std::optional<std::string> path;
    if (userId)
        path = "Users/" + pathSegment(*userId) + "/Items/Latest";
    query<ItemList>("getLatestItems", path, options, JsonDecoder(), std::move(completionHandler));
}

void ApiClient::getArtistItems(QueryParams options, Completion<GetItemsResponse> completion) {
    query<GetItemsResponse>("getArtistItems", std::string("Artists"), options, JsonDecoder(),
                            std::move(completion));
}

void ApiClient::favoriteItem(std::string itemId, bool isFavorite,
                             Completion<UserItemDataDto> completion) {
    std::optional<std::string> userId = currentUserId();
    std::optional<std::string> path;
    if (userId)
        path = "Users/" + pathSegment(*userId) + "/FavoriteItems/" + pathSegment(itemId);
    query<UserItemDataDto>("favoriteItem", path, {}, JsonDecoder(), std::move(completion),
                           isFavorite ? "POST" : "DELETE");
}

// Image and stream URLs ---------------------------------------------------------------------

std::optional<Url> ApiClient::getScaledImageUrl(const std::string& itemId,
                                                const ImageOptions& imageOptions,
                                                QueryParams requestParams) {
    std::string path = "Items/" + pathSegment(itemId) + "/Images/" +
                       std::string(imageTypeName(imageOptions.ImageType));
    if (imageOptions.ImageIndex)
        path += "/" + std::to_string(*imageOptions.ImageIndex);

    QueryParams params = std::move(requestParams);
    auto setNumber = [&](const char* name, const std::optional<std::int64_t>& value) {
        if (value)
            params[name] = std::to_string(*value);
    };
    auto setFlag = [&](const char* name, const std::optional<bool>& value) {
        if (value)
            params[name] = *value ? "true" : "false";
    };
    auto setText = [&](const char* name, const std::optional<std::string>& value) {
        if (value)
            params[name] = *value;
    };
    setNumber("Width", imageOptions.Width);
    setNumber("Height", imageOptions.Height);
    setNumber("MaxWidth", imageOptions.MaxWidth);
    setNumber("MaxHeight", imageOptions.MaxHeight);
    setNumber("Quality", imageOptions.Quality);
    setText("Tag", imageOptions.Tag);
    setFlag("CropWhitespace", imageOptions.CropWhitespace);
    setFlag("EnableImageEnhancers", imageOptions.EnableImageEnhancers);
    setFlag("AddPlayedIndicator", imageOptions.AddPlayedIndicator);
    setNumber("PercentPlayed", imageOptions.PercentPlayed);
    setNumber("UnPlayedCount", imageOptions.UnPlayedCount);
    setText("BackgroundColor", imageOptions.BackgroundColor);
    return getUrl(path, params);
}

std::int64_t ApiClient::takePlaySession() {
    std::lock_guard lock(mutex_);
    return startingPlaySession_++;
}

std::optional<Url> ApiClient::getAudioStreamURL(
    const BaseItemDto& item, std::optional<std::string> transcodingProfileContainer,
    std::optional<std::string> transcodingProfileProtocol,
    std::optional<std::string> transcodingProfileAudioCodec,
    std::optional<std::string> directPlayContainers, std::optional<std::int64_t> maxBitrate,
    std::optional<std::int64_t> maxAudioSampleRate, std::optional<std::int64_t> maxAudioBitDepth,
    std::int64_t startPosition, bool enableRemoteMedia) {
    std::optional<std::string> token = accessToken();
    if (!token)
        return std::nullopt;
    QueryParams params;
    params["UserId"] = currentUserId().value_or("");
    params["DeviceId"] = deviceId();
    params["api_key"] = *token;
    params["PlaySessionId"] = std::to_string(takePlaySession());
    params["StartTimeTicks"] = std::to_string(startPosition);
    params["EnableRedirection"] = "true";
    params["EnableRemoteMedia"] = enableRemoteMedia ? "true" : "false";
    if (maxBitrate)
        params["MaxStreamingBitrate"] = std::to_string(*maxBitrate);
    if (directPlayContainers)
        params["Container"] = *directPlayContainers;
    if (transcodingProfileContainer)
        params["TranscodingContainer"] = *transcodingProfileContainer;
    if (transcodingProfileProtocol)
        params["TranscodingProtocol"] = *transcodingProfileProtocol;
    if (transcodingProfileAudioCodec)
        params["AudioCodec"] = *transcodingProfileAudioCodec;
    if (maxAudioSampleRate)
        params["MaxAudioSampleRate"] = std::to_string(*maxAudioSampleRate);
    if (maxAudioBitDepth)
        params["MaxAudioBitDepth"] = std::to_string(*maxAudioBitDepth);
    return getUrl("Audio/" + pathSegment(item.Id.str()) + "/universal", params);
}

// Playback reports --------------------------------------------------------------------------

Date ApiClient::now() const {
    return Environment::current()->now();
}

void ApiClient::postReport(const char* operation, const char* path, const char* recordName,
                           std::optional<std::string> body, std::string description,
                           std::string eventSuffix) {
    std::optional<Url> url = getUrl(path, {});
    if (!url) {
        logger().log(std::string("Error: ") + operation + " invalid url");
        return;
    }
    if (!body) {
        logger().log(std::string("Error: ") + operation + " error serializing " + recordName + " " +
                     description);
        return;
    }
    std::string prefix = std::string(operation) + eventSuffix + " response: ";
    postContent(*url, std::move(*body), [prefix](std::optional<std::string> answer) {
        logger().log(prefix + text(answer));
    });
}

void ApiClient::reportPlaybackStart(const PlaybackProgressInfo& info) {
    std::optional<std::string> body = info.encodedJson(JsonEncoder());
    postReport("reportPlaybackStart", "Sessions/Playing", "PlaybackProgressInfo", body,
               body ? std::string() : describe(info), "");
}

void ApiClient::reportPlaybackProgress(const PlaybackProgressInfo& info) {
    const std::int64_t positionMs = info.PositionTicks.value_or(0) / kTicksPerMillisecond;
    if (info.EventName != ProgressEvent::TimeUpdate) {
        // A non-periodic event always goes through, and so does the next periodic one.
        setLastPlaybackProgressReport(distantPast());
        setLastPlaybackProgressReportTicks(positionMs);
        sendPlaybackProgress(info);
        return;
    }
    const Date current = now();
    const std::int64_t elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       current - lastPlaybackProgressReport())
                                       .count();
    bool send = elapsedMs > kProgressInterval;
    if (!send && positionMs != 0) {
        const std::int64_t expected = lastPlaybackProgressReportTicks() + elapsedMs;
        send = std::llabs(positionMs - expected) > kProgressInterval;
    }
    if (!send)
        return;
    setLastPlaybackProgressReport(current);
    setLastPlaybackProgressReportTicks(positionMs);
    sendPlaybackProgress(info);
}

void ApiClient::sendPlaybackProgress(const PlaybackProgressInfo& info) {
    std::optional<std::string> body = info.encodedJson(JsonEncoder());
    postReport("reportPlaybackProgress", "Sessions/Playing/Progress", "PlaybackProgressInfo", body,
               body ? std::string() : describe(info),
               " event " + std::string(caseName(info.EventName)));
}

void ApiClient::reportPlaybackStopped(const PlaybackStopInfo& info) {
    std::optional<std::string> body = info.encodedJson(JsonEncoder());
    postReport("reportPlaybackStopped", "Sessions/Playing/Stopped", "PlaybackStopInfo", body,
               body ? std::string() : describe(info), "");
}

}  // namespace vk
