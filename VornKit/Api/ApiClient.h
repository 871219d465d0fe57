// ApiClient: the client object of one media server. It holds the server's connection record and
// access token, the device identity every request carries and the resolved server address; it
// builds request URLs ("<address>/vorn/<path>?<query>"), authorises requests with the
// X-Vorn-Authorization header and runs the three exchanges every server operation is made of:
// fetchContent (a request whose JSON answer is decoded into a record), postContent (a JSON body
// POSTed, the answer returned as text) and sendRequest (a built request, the answer as text).
//
// On top of these it offers the library queries (views, items, latest items, artists, favourites),
// the image and audio stream URLs and the three playback reports with the throttle on periodic
// progress reports; their definitions are in ApiClientLibrary.cpp. The sync-job exchange of
// downloads for offline use is in ApiClientSync.cpp.
//
// Address: a client starts with none. getUrl() without one logs, starts a resolution (see
// ServerAddressResolution) and returns no URL; the resolution stores the address it finds.
// onNetworkChanged() forgets the address again.
//
// Failures are logged (category "ApiClient") and reported as an absent result; nothing is
// retried and no state changes on failure. Each completion is called exactly once.
//
// Queues: exchange completions run on the shared session's delegate queue (defaultSession()),
// except that fetchContent hops to the callback queue when one is given. Resolution completions:
// see getServerAddress().
//
// Thread rule: thread-safe. The fields are written from the caller's thread, the session's
// delegate queue and the main queue (resolution); one lock guards them. Ownership: clients live in
// std::shared_ptr (resolution keeps a weak reference to the client while it runs).
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/CodingError.h"
#include "VornKit/Model/DeviceInfo.h"
#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Model/ImageOptions.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/PlaybackProgressInfo.h"
#include "VornKit/Model/ServerInfo.h"
#include "VornKit/Model/SyncJob.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Platform/Http/Url.h"
#include "VornKit/Platform/Http/UrlRequest.h"
#include "VornKit/Platform/Http/UrlSession.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Store/ObjectContext.h"

namespace vk {

class OfflineAction;

/// The client of one media server: its record, token and address, and the requests made to it.
/// Thread-safe; shared (std::shared_ptr), one per server.
class VK_EXPORT ApiClient : public std::enable_shared_from_this<ApiClient> {
  public:
    /// The name the class is registered under for platform code.
    static constexpr std::string_view kClassName = "VornKit.ApiClient";
    /// The decoder user-information key of an object-store context (see fetchContent).
    static constexpr const char* kManagedObjectContextKey = "managedObjectContext";

    /// Query parameters by name (sent in name order).
    using QueryParams = std::map<std::string, std::string>;
    /// Gets the answer's text, or nothing on failure; called exactly once.
    using TextCompletion = std::function<void(std::optional<std::string>)>;
    /// Gets the decoded answer, or nothing on failure; called exactly once.
    template <class T>
    using Completion = std::function<void(std::optional<T>)>;
    /// Library items as a query answers them.
    using ItemList = std::vector<std::shared_ptr<BaseItemDto>>;
    /// Gets the server address, or the error that kept one from being found; called exactly once.
    using AddressCompletion =
        std::function<void(std::optional<std::string> address, std::optional<UrlError> error)>;

    /// A client with the server's saved token (serverInfo.AccessToken) and no address.
    ApiClient(ServerInfo serverInfo, DeviceInfo deviceInfo);
    /// There is no client without a server and a device.
    ApiClient() = delete;
    virtual ~ApiClient() = default;
    ApiClient(const ApiClient&) = delete;
    ApiClient& operator=(const ApiClient&) = delete;

    /// The registered class name (kClassName, or a subclass's own).
    virtual std::string_view className() const { return kClassName; }
    /// The client's identity: two clients are the same only if they are the same object.
    const void* id() const { return this; }

    /// The date that stands for "never": 1900-01-01 00:00 UTC (far enough back for every
    /// comparison, near enough that differences with today's dates do not overflow).
    static Date distantPast();

    // State ---------------------------------------------------------------------------------

    /// The device identity sent with every request; fixed for the client's life.
    const DeviceInfo& deviceInfo() const { return deviceInfo_; }
    /// A copy of the server's connection record.
    virtual ServerInfo serverInfo() const;
    /// Replaces the server record in memory (nothing is saved); the token is not touched.
    virtual void setServerInfo(ServerInfo info);
    /// The address request URLs start with, or absent until one is resolved or set.
    virtual std::optional<std::string> serverAddress() const;
    /// Sets the address requests go to; absent makes the next request resolve one.
    virtual void setServerAddress(std::optional<std::string> address);
    /// The server's display name from its record.
    virtual std::string serverName() const;
    /// The server's id from its record (the key of the client in its manager).
    virtual std::string serverId() const;
    /// The signed-in user's id from the server record; absent when no user is known.
    virtual std::optional<std::string> currentUserId() const;
    /// This device's id, as sent to the server.
    virtual std::string deviceId() const;
    /// serverInfo.DateLastAccessed, or distantPast() when absent.
    virtual Date dateLastAccessed() const;
    /// The play-session id the next stream URL will carry.
    virtual std::int64_t startingPlaySession() const;
    /// Sets the play-session id the next stream URL will carry.
    virtual void setStartingPlaySession(std::int64_t value);

    /// The token if present and not empty.
    virtual std::optional<std::string> getServerCredentials() const;
    /// Sets the token requests are authorised with (in memory only; absent or empty: none).
    virtual void setServerCredentials(std::optional<std::string> accessToken);
    /// Forgets the token; later requests go out without one.
    virtual void clearServerCredentials();
    /// Replaces the server record; the token is not touched.
    virtual void updateServerInfo(ServerInfo info);
    /// Forgets the address, so that the next request resolves it again.
    virtual void onNetworkChanged();

    // Requests ------------------------------------------------------------------------------

    /// "<address>[/vorn]/<path>" with one query item per parameter (every name and value
    /// escaped so that it arrives unchanged; no '?' without parameters). Without an address: logs
    /// "Error: Server address not set", starts a resolution (tryReconnect) and returns absent.
    /// Absent too when the result is not a valid URL.
    virtual std::optional<Url> getUrl(const std::string& path, const QueryParams& params);

    /// A copy of `request` whose X-Vorn-Authorization header reads
    /// "Talvex Device=<name>,DeviceId=<id>,Version=<version>,Client=<app>,Token=<token>": the
    /// device name through cleanHeaderValue, the other four through cleanHeaderValue_old.
    static UrlRequest setRequestHeaders(UrlRequest request, const DeviceInfo& deviceInfo,
                                        const std::optional<std::string>& accessToken);
    /// Empty for absent; otherwise percent-encoded with the URL query character set (a space
    /// becomes %20).
    static std::string cleanHeaderValue(const std::optional<std::string>& value);
    /// Empty for absent; otherwise the value without the quote characters " ' ‘ ’ “ ” and
    /// without CR, LF and NUL (which would end the header line and let the value forge others).
    static std::string cleanHeaderValue_old(const std::optional<std::string>& value);
    /// `id` (an item or user id) as one path segment: every byte a segment may not carry
    /// unescaped ('/', '?', '#', '%', space, non-ASCII...) is %-escaped, and so are the dots of a
    /// segment of dots only, so that an id never reaches another path of the server. Ids of
    /// letters, digits and "-._~" come out unchanged.
    static std::string pathSegment(std::string_view id);

    // Exchanges (the building blocks of the server operations) -------------------------------

    /// Authorises and runs `request` on the shared session and decodes a 2xx answer's body as T
    /// with `decoder`. When the decoder's user info holds a std::shared_ptr<ObjectContext> under
    /// kManagedObjectContextKey, decoding runs inside that context (performAndWait) and a
    /// decoding failure is not logged. Calls `completion` once: on `callbackQueue` when given,
    /// else on the session's delegate queue.
    template <class T>
    void fetchContent(UrlRequest request, JsonDecoder decoder,
                      std::shared_ptr<DispatchQueue> callbackQueue,
                      std::function<void(std::optional<T>)> completion);

    /// POSTs `body` as application/json (60-second timeout). The result is the answer's text, or
    /// its status in decimal when the text is empty or not UTF-8, or absent when a 2xx answer
    /// has no body at all. Calls `completion` once on the session's delegate queue.
    virtual void postContent(const Url& url, std::string body, TextCompletion completion);
    /// Authorises and runs a request built by the caller; the result as for postContent.
    virtual void sendRequest(UrlRequest request, TextCompletion completion);

    // Address resolution --------------------------------------------------------------------

    /// With an address stored: calls `completionHandler` at once, on this thread, with it.
    /// Otherwise resolves one (ServerAddressResolution): with zero or one candidate at once on
    /// this thread; with more, on `callbackQueue` (the probe session's queue when null). Probing
    /// two or more candidates needs a client held by a std::shared_ptr; another client gets an
    /// error at once, on this thread, and no address.
    virtual void getServerAddress(std::shared_ptr<DispatchQueue> callbackQueue,
                                  AddressCompletion completionHandler);
    /// Logs "tryReconnect to server" and starts a resolution whose result reaches the client
    /// only through the address it stores.
    virtual void tryReconnect();
    /// The bit rate to ask for: 140,000,000 when the server says this client is in its network,
    /// otherwise the bandwidth of BandwidthSource as a 64-bit integer, and 1,500,000 when the
    /// endpoint cannot be asked or answered. Calls `completion` once: on this thread when there
    /// is no URL, else on the session's delegate queue.
    virtual void detectBitrate(std::function<void(std::int64_t)> completion);

    // Library queries ------------------------------------------------------------------------
    //
    // Each builds a path, asks getUrl() for the URL (with `options` as its query, unchanged) and
    // runs a GET through fetchContent with the default cache policy and a 60-second timeout. Ids
    // go into the path unchanged. The completion is called once: with the decoded answer, or
    // absent after a logged failure. It runs on the session's delegate queue, except when no URL
    // can be built ("Error: <operation> invalid url" is logged, also for a missing user id): then
    // it runs at once on the calling thread.

    /// GET Users/{userId}/Views; the user is `userId`, else serverInfo().UserId.
    virtual void getUserViews(std::optional<std::string> userId, QueryParams options,
                              Completion<GetItemsResponse> completionHandler);
    /// GET Users/{userId}/Items/{itemId}, or Items/{itemId} without `userId` (the client's user
    /// is not used). Decoded with the caller's `decoder`: one holding a store context under
    /// kManagedObjectContextKey makes the item a store entity.
    virtual void getItem(std::optional<std::string> userId, std::string itemId, JsonDecoder decoder,
                         Completion<std::shared_ptr<BaseItemDto>> completionHandler);
    /// GET Users/{userId}/Items, or Items without `userId` (the client's user is not used).
    virtual void getItems(std::optional<std::string> userId, QueryParams options,
                          Completion<GetItemsResponse> completionHandler);
    /// GET Users/{userId}/Items/Latest (a JSON list); the user is `userId`, else the client's.
    virtual void getLatestItems(std::optional<std::string> userId, QueryParams options,
                                Completion<ItemList> completionHandler);
    /// GET Artists.
    virtual void getArtistItems(QueryParams options, Completion<GetItemsResponse> completion);
    /// POST (isFavorite) or DELETE Users/{serverInfo().UserId}/FavoriteItems/{itemId} with
    /// "Accept: application/json" and no body; the answer is the item's new user data.
    virtual void favoriteItem(std::string itemId, bool isFavorite,
                              Completion<UserItemDataDto> completion);

    // Image and stream URLs (built on the calling thread) -------------------------------------

    /// `<address>/vorn/Items/{itemId}/Images/{type}[/{index}]` with `requestParams` plus one
    /// parameter per present option (an option replaces a request parameter of the same name;
    /// integers in decimal, Booleans "true"/"false"). Absent without an address (getUrl()).
    virtual std::optional<Url> getScaledImageUrl(const std::string& itemId,
                                                 const ImageOptions& imageOptions,
                                                 QueryParams requestParams);
    /// `<address>/vorn/Audio/{item.Id}/universal` with UserId, DeviceId, api_key, PlaySessionId,
    /// StartTimeTicks, EnableRedirection=true, EnableRemoteMedia, and each optional argument
    /// that is present. Absent without a token (nothing logged, the play session unchanged) or
    /// without an address. Every call that has a token advances startingPlaySession() by one
    /// (also when getUrl() then fails); the URL carries the value before the increment.
    virtual std::optional<Url> getAudioStreamURL(
        const BaseItemDto& item, std::optional<std::string> transcodingProfileContainer,
        std::optional<std::string> transcodingProfileProtocol,
        std::optional<std::string> transcodingProfileAudioCodec,
        std::optional<std::string> directPlayContainers, std::optional<std::int64_t> maxBitrate,
        std::optional<std::int64_t> maxAudioSampleRate,
        std::optional<std::int64_t> maxAudioBitDepth, std::int64_t startPosition,
        bool enableRemoteMedia);

    // Playback reports ------------------------------------------------------------------------
    //
    // Each POSTs the record as JSON (postContent) to Sessions/Playing, Sessions/Playing/Progress
    // or Sessions/Playing/Stopped and returns at once; the outcome is only logged, from the
    // session's delegate queue ("reportPlaybackStart response: <answer or nil>"). Without a URL,
    // or when the record cannot be encoded (a NaN rate), a line is logged and nothing is sent.
    // A subclass (the offline-aware client) overrides the start, stop and unthrottled progress
    // senders.

    /// Reports that playback of an item started (Sessions/Playing).
    virtual void reportPlaybackStart(const PlaybackProgressInfo& info);
    /// Lets a report through to sendPlaybackProgress() when its event is not TimeUpdate, or when
    /// ten seconds or more have passed since the last report let through, or when the position
    /// (ms) is not 0 and lies ten seconds or more away from where steady playback since the last
    /// report would be (a seek); drops it silently otherwise. Calls on one client must not
    /// overlap (the caller serialises them).
    virtual void reportPlaybackProgress(const PlaybackProgressInfo& info);
    /// Sends a progress report without throttling.
    virtual void sendPlaybackProgress(const PlaybackProgressInfo& info);
    /// Reports that playback of an item stopped (Sessions/Playing/Stopped).
    virtual void reportPlaybackStopped(const PlaybackStopInfo& info);

    // Sync jobs (downloads for offline use) ---------------------------------------------------
    //
    // Every request names this device as the sync target ("TargetId" = deviceId()). Without a URL
    // "Error: <operation> invalid url" is logged; an operation with a completion then calls it at
    // once, on the calling thread, with nothing.

    /// POST Sync/Jobs with a SyncJobRequest for the one item (ParentId: its parentId, else its
    /// albumId, else ""; UserId: the server record's, else ""; ItemLimit 1, Downloaded true).
    /// The completion runs on the session's delegate queue.
    virtual void getSyncJobForDownloadItem(const BaseItemDto& item,
                                           Completion<SyncJobCreationResult> completionHandler);
    /// GET `Sync/Items/Ready?TargetId=<device id>`, the answer a JSON list of SyncJobItem decoded
    /// with `decoder` (a store decoder runs the decode inside the store's context). The
    /// completion runs on `callbackQueue` when given, else on the session's delegate queue.
    virtual void getReadySyncItems(JsonDecoder decoder,
                                   std::shared_ptr<DispatchQueue> callbackQueue,
                                   Completion<std::vector<SyncJobItem>> completionHandler);
    /// POST `Sync/JobItems/<id>/Transferred` without a body; logs
    /// "reportSyncJobItemTransferred response: <answer or nil>". `completion`, when given, gets
    /// the answer too (absent on failure), on the session's delegate queue.
    virtual void reportSyncJobItemTransferred(std::int64_t syncJobItemId,
                                              TextCompletion completion = nullptr);
    /// POST Sync/Data with the device id and the ids of the local items; the answer lists the
    /// local items to remove. The completion runs on `callbackQueue` when given, else on the
    /// session's delegate queue; without a URL it runs at once with nothing.
    virtual void syncData(std::vector<std::string> localItemIds,
                          std::shared_ptr<DispatchQueue> callbackQueue,
                          Completion<SyncDataResponse> completionHandler);
    /// A suspended download task (UrlSession::downloadTask) for an authorised GET of `path` under
    /// the API prefix, into `destination`; resume() starts it. Null, with
    /// "Error: downloadFile invalid url" logged, when no URL can be built. Progress and completion
    /// run on the session's delegate queue.
    virtual std::shared_ptr<UrlSessionTask> downloadFile(const std::string& path,
                                                         const QueryParams& params,
                                                         std::filesystem::path destination,
                                                         DownloadProgressHandler progress,
                                                         DownloadTaskCompletionHandler completion);
    /// POST Sync/OfflineActions with the actions as a JSON array; logs
    /// "reportOfflineActions response: <answer or nil>". Nothing is deleted: the caller removes
    /// the actions (OfflineDataController::deleteOfflineActions) when it chooses. `completion`,
    /// when given, gets the answer (absent on failure or when nothing was sent), on the session's
    /// delegate queue, or at once on this thread when nothing could be sent. Read the actions on
    /// their store context's queue. Defined with the offline store (VornKit::Offline), which
    /// callers link.
    void reportOfflineActions(const std::vector<std::shared_ptr<OfflineAction>>& actions,
                              TextCompletion completion = nullptr);

  protected:
    /// The clock of the progress throttle: Environment::current()->now().
    virtual Date now() const;
    /// The token as stored, possibly empty; getServerCredentials() is the public view.
    virtual std::optional<std::string> accessToken() const;
    /// Stores the token as given.
    virtual void setAccessToken(std::optional<std::string> token);
    /// When the progress throttle last let a report through (distantPast() before the first).
    virtual Date lastPlaybackProgressReport() const;
    /// Records when the progress throttle let a report through.
    virtual void setLastPlaybackProgressReport(Date date);
    /// The position (ticks) of the last report the progress throttle let through.
    virtual std::int64_t lastPlaybackProgressReportTicks() const;
    /// Records the position (ticks) of the report the throttle let through.
    virtual void setLastPlaybackProgressReportTicks(std::int64_t ticks);

    /// The "ApiClient" log category, shared by every client; lives until the process ends.
    static const Logger& logger();
    /// The session the exchanges run on: defaultSession(). A subclass may supply another one
    /// (tests use their own to cancel tasks); its delegate queue is then the completions' queue.
    virtual std::shared_ptr<UrlSession> urlSession() const;

  private:
    friend class ServerAddressResolution;

    /// Authorises and runs `request`; `onBody` gets the body of a 2xx answer, or absent after
    /// logging the failure. Runs on the session's delegate queue.
    void fetchBody(UrlRequest request, std::function<void(std::optional<std::string>)> onBody);
    /// Answers of postContent and sendRequest.
    static void deliverText(const std::string& urlText, const std::optional<std::string>& data,
                            const std::optional<UrlResponse>& response,
                            const std::optional<UrlError>& error, const TextCompletion& completion);
    static std::shared_ptr<ObjectContext> storeContext(const JsonDecoder& decoder);
    static void logDecodingFailure(const std::string& body, const DecodingError& error);
    /// Sets serverInfo.DateLastAccessed (in memory).
    void markAccessed(Date date);
    /// The play-session id for a stream URL; advances the stored one by one.
    std::int64_t takePlaySession();
    /// A GET of `path` decoded as T, or the "invalid url" failure of `operation`.
    template <class T>
    void query(const char* operation, const std::optional<std::string>& path,
               const QueryParams& params, JsonDecoder decoder, Completion<T> completion,
               std::string_view method = "GET");
    /// POSTs an encoded report; logs "<operation>[ event <E>] response: <answer or nil>".
    void postReport(const char* operation, const char* path, const char* recordName,
                    std::optional<std::string> body, std::string description,
                    std::string eventSuffix);

    const DeviceInfo deviceInfo_;

    mutable std::mutex mutex_;
    ServerInfo serverInfo_;
    std::optional<std::string> accessToken_;
    std::optional<std::string> serverAddress_;
    std::int64_t startingPlaySession_ = 0;
    Date lastPlaybackProgressReport_;
    std::int64_t lastPlaybackProgressReportTicks_ = 0;
};

template <class T>
void ApiClient::fetchContent(UrlRequest request, JsonDecoder decoder,
                             std::shared_ptr<DispatchQueue> callbackQueue,
                             std::function<void(std::optional<T>)> completion) {
    auto deliver = [callbackQueue, completion](std::optional<T> result) {
        if (callbackQueue) {
            callbackQueue->async([completion, result = std::move(result)]() mutable {
                completion(std::move(result));
            });
        } else {
            completion(std::move(result));
        }
    };
    fetchBody(std::move(request),
              [decoder = std::move(decoder), deliver](std::optional<std::string> body) {
                  if (!body) {
                      deliver(std::nullopt);
                      return;
                  }
                  std::optional<T> result;
                  if (auto context = storeContext(decoder)) {
                      context->performAndWait([&] {
                          auto decoded = decoder.template decode<T>(*body);
                          if (decoded)
                              result = std::move(decoded).toOptional();
                      });
                  } else {
                      auto decoded = decoder.template decode<T>(*body);
                      if (decoded) {
                          result = std::move(decoded).toOptional();
                      } else {
                          logDecodingFailure(*body, decoded.error());
                      }
                  }
                  deliver(std::move(result));
              });
}

}  // namespace vk
