// ApiClient's sync-job exchange: job creation, ready job items, transfer confirmations and sync
// data (declared in ApiClient.h).
#include "VornKit/Api/ApiClient.h"

namespace vk {

namespace {

constexpr std::chrono::seconds kSyncTimeout{60};

std::string text(const std::optional<std::string>& value) {
    return value ? *value : std::string("nil");
}

UrlRequest jsonPost(const Url& url, std::string body) {
    UrlRequest request(url, UrlRequestCachePolicy::useProtocolCachePolicy, kSyncTimeout);
    request.httpMethod = "POST";
    request.addValue("application/json", "Content-Type");
    request.addValue("application/json", "Accept");
    request.httpBody = std::move(body);
    return request;
}

}  // namespace

void ApiClient::getSyncJobForDownloadItem(const BaseItemDto& item,
                                          Completion<SyncJobCreationResult> completionHandler) {
    SyncJobRequest body;
    body.TargetId = deviceId();
    body.ItemIds = {item.Id.str()};
    body.ParentId = item.ParentId ? item.ParentId.str() : item.AlbumId.str();
    body.UserId = currentUserId().value_or("");
    body.UnwatchedOnly = false;
    body.SyncNewContent = false;
    body.ItemLimit = 1;
    body.Downloaded = true;
    std::optional<Url> url = getUrl("Sync/Jobs", {});
    if (!url) {
        logger().log("Error: getSyncJobForDownloadItem invalid url");
        completionHandler(std::nullopt);
        return;
    }
    std::optional<std::string> encoded = JsonEncoder().encode(body);
    if (!encoded) {
        // Not reachable with the values above (no floating-point field); the completion is still
        // called, so that a caller never waits for ever.
        logger().log("Error: getSyncJobForDownloadItem error serializing SyncJobRequest");
        completionHandler(std::nullopt);
        return;
    }
    fetchContent<SyncJobCreationResult>(jsonPost(*url, std::move(*encoded)), JsonDecoder(), nullptr,
                                        std::move(completionHandler));
}

void ApiClient::getReadySyncItems(JsonDecoder decoder, std::shared_ptr<DispatchQueue> callbackQueue,
                                  Completion<std::vector<SyncJobItem>> completionHandler) {
    std::optional<Url> url = getUrl("Sync/Items/Ready", {{"TargetId", deviceId()}});
    if (!url) {
        logger().log("Error: getReadySyncItems invalid url");
        completionHandler(std::nullopt);
        return;
    }
    UrlRequest request(*url, UrlRequestCachePolicy::useProtocolCachePolicy, kSyncTimeout);
    fetchContent<std::vector<SyncJobItem>>(std::move(request), std::move(decoder),
                                           std::move(callbackQueue), std::move(completionHandler));
}

void ApiClient::reportSyncJobItemTransferred(std::int64_t syncJobItemId,
                                             TextCompletion completion) {
    std::optional<Url> url =
        getUrl("Sync/JobItems/" + std::to_string(syncJobItemId) + "/Transferred", {});
    if (!url) {
        logger().log("Error: reportSyncJobItemTransferred invalid url");
        if (completion)
            completion(std::nullopt);
        return;
    }
    UrlRequest request(*url, UrlRequestCachePolicy::useProtocolCachePolicy, kSyncTimeout);
    request.httpMethod = "POST";
    sendRequest(std::move(request),
                [completion = std::move(completion)](std::optional<std::string> answer) {
                    logger().log("reportSyncJobItemTransferred response: " + text(answer));
                    if (completion)
                        completion(std::move(answer));
                });
}

void ApiClient::syncData(std::vector<std::string> localItemIds,
                         std::shared_ptr<DispatchQueue> callbackQueue,
                         Completion<SyncDataResponse> completionHandler) {
    std::optional<Url> url = getUrl("Sync/Data", {});
    if (!url) {
        logger().log("Error: syncData invalid url");
        completionHandler(std::nullopt);
        return;
    }
    SyncDataRequest body{deviceId(), std::move(localItemIds)};
    std::optional<std::string> encoded = JsonEncoder().encode(body);
    if (!encoded) {
        logger().log("Error: syncData error serializing SyncDataRequest");
        completionHandler(std::nullopt);
        return;
    }
    fetchContent<SyncDataResponse>(jsonPost(*url, std::move(*encoded)), JsonDecoder(),
                                   std::move(callbackQueue), std::move(completionHandler));
}

std::shared_ptr<UrlSessionTask> ApiClient::downloadFile(const std::string& path,
                                                        const QueryParams& params,
                                                        std::filesystem::path destination,
                                                        DownloadProgressHandler progress,
                                                        DownloadTaskCompletionHandler completion) {
    std::optional<Url> url = getUrl(path, params);
    if (!url) {
        logger().log("Error: downloadFile invalid url");
        return nullptr;
    }
    UrlRequest request(*url, UrlRequestCachePolicy::useProtocolCachePolicy, kSyncTimeout);
    request = setRequestHeaders(std::move(request), deviceInfo(), accessToken());
    logger().log("Downloading " + url->absoluteString() + " to " + destination.string());
    return urlSession()->downloadTask(std::move(request), std::move(destination),
                                      std::move(progress), std::move(completion));
}

}  // namespace vk
