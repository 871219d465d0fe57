// SyncDownloader: downloads library items for offline use through the server's sync jobs and keeps
// the offline store in step with the files.
//
// download(item) runs the whole exchange for one item: it asks the server for a sync job, records
// a LocalItem per job item (status Queued, the job item id, the item record; an item that already
// has one keeps it: never a second LocalItem for an item), polls the ready job items (every
// pollInterval, at most maxPolls times) and downloads each ready item's media file
// (GET Sync/JobItems/<id>/File) and additional files (GET Sync/JobItems/<id>/AdditionalFiles
// ?Name=<name>) into the documents directory as <server id>/<item id>/<file name>, at most
// maxConcurrentDownloads transfers at once. A file whose last byte is in gives its place to the
// next transfer while it is flushed to disk (at most as many such flushes as transfers), so the
// disk and the network work side by side. An item whose files are all in place becomes Completed,
// with `localPath` (relative to the documents directory) naming its media file; it is saved, and
// then its transfer is confirmed to the server (the run completes once the server has answered).
//
// Resuming: files are written through download tasks (UrlSession::downloadTask): a file under its
// final name is always complete, and a partial file is continued with a Range request when its
// version is known (otherwise it starts over; DownloadFile.h). So running download() again after a
// failure, a cancellation or a killed process downloads only what is missing and reuses the
// LocalItems made before. Within a run, a transfer that failed for a network reason is tried again
// (Options::maxRetries), continuing the same way.
//
// File names come from the server and are used only when safe: not empty, not "." or "..", no
// "/" or "\", no control bytes, at most 255 bytes. An item with an unsafe name is refused (logged:
// "Refusing unsafe file name from the server for item <id>: <name>") and nothing is written for
// it. A media file without a name from the server is called "media".
//
// reconcile() sends the ids of every local item of the server, whatever its status, to the server
// (syncData) and removes the local items the server lists, with their files (partial files too),
// in one save; an item a run is writing is left to that run.
//
// A local item whose file has gone has no `localPath` from the next run on, until its download
// succeeds again.
//
// cancel() stops every running download at once: a run whose job has not been asked for yet asks
// for none, and a cancelled run sends no further request (not even a transfer confirmation; the
// next run sends those).
//
// Failures (no job, a job that lists no items, an item never ready, a refused name, a transfer or
// disk error) are logged; such an item stays not downloaded (no LocalItem says Completed) and is
// listed in the result (the item asked for, when the job could not be made or lists nothing).
//
// Two runs of one downloader that are given the same item (an album asked for twice) write its
// folder one after the other: the later run finds the files in place. Downloaders in other
// objects or processes writing to the same documents directory are not coordinated.
//
// Queues: every completion and progress call runs on the store context's queue (the main queue of
// the process-wide store); the store is used only there. Thread rule: thread-safe; operations may
// be called from any thread. Ownership: make() returns a shared downloader; running operations
// keep it alive until their completion has run.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"

namespace vk {

class Reachability;

/// How far a download() has got.
struct VK_EXPORT SyncDownloadProgress {
    std::string itemId;               ///< the item whose bytes just moved
    std::int64_t itemBytes = 0;       ///< bytes of its files on disk
    std::int64_t itemExpected = -1;   ///< the size of its files as far as known; -1 unknown
    std::int64_t totalBytes = 0;      ///< bytes of every file of this run on disk
    std::int64_t totalExpected = -1;  ///< their size as far as known; -1 unknown
    std::size_t itemsDone = 0;        ///< items completed in this run
    std::size_t itemsTotal = 0;       ///< items of the job
};

/// What a download() run achieved, item by item.
struct VK_EXPORT SyncDownloadResult {
    /// The job's items that are downloaded now (done in this run or before).
    std::vector<std::shared_ptr<LocalItem>> downloaded;
    /// Ids of the job's items that are not, with the reason logged; the item asked for when no
    /// job could be made or the job lists no items.
    std::vector<std::string> failed;
    /// False when no job could be made at all.
    bool jobCreated = false;
    /// Whether the job was made and every one of its items is downloaded.
    bool complete() const { return jobCreated && failed.empty(); }
};

/// Offline downloads of one server's items through its sync jobs; shared, made by make().
class VK_EXPORT SyncDownloader : public std::enable_shared_from_this<SyncDownloader> {
  public:
    /// Limits and hooks of a downloader; the defaults suit a host.
    struct Options {
        /// Files transferred at once.
        int maxConcurrentDownloads = 2;
        /// Wait between two questions for ready items, and how many questions at most.
        /// @{
        std::chrono::milliseconds pollInterval{2'000};
        int maxPolls = 30;
        /// @}
        /// Where downloads go; FileSystem::rootDocsPath() when absent.
        std::optional<std::filesystem::path> documents;
        /// Asked before a run starts; false refuses the run (it logs and fails every item).
        /// Unset: allowed. wifiRule() gives the rule of the "syncOnlyOnWifi" setting.
        std::function<bool()> networkAllowsSync;
        /// A transfer that fails for a network reason (the connection lost, refused or timed
        /// out, the host not found, or a 502, 503 or 504 answer) is tried again, within the run,
        /// up to maxRetries times: after retryDelay, then twice as long before each further try
        /// (at most a minute). Other failures (another error status, a 4xx above all, a disk
        /// error, an answer that does not fit the file) are not tried again.
        /// @{
        int maxRetries = 4;
        std::chrono::milliseconds retryDelay{1'000};
        /// @}
    };

    /// Gets the progress of a download, on the store's queue.
    using ProgressHandler = std::function<void(const SyncDownloadProgress&)>;
    /// Gets the outcome of a download, once, on the store's queue.
    using Completion = std::function<void(SyncDownloadResult)>;
    /// Gets the ids of the local items removed, or nothing when the server could not be asked;
    /// once, on the store's queue.
    using ReconcileCompletion =
        std::function<void(std::optional<std::vector<std::string>> removedItemIds)>;

    /// `store` null: OfflineDataController::sharedInstance().
    static std::shared_ptr<SyncDownloader> make(std::shared_ptr<ApiClient> client,
                                                std::shared_ptr<OfflineDataController> store,
                                                Options options);
    /// The same with the default Options.
    static std::shared_ptr<SyncDownloader> make(std::shared_ptr<ApiClient> client,
                                                std::shared_ptr<OfflineDataController> store) {
        return make(std::move(client), std::move(store), Options());
    }

    /// Downloads `item` and what the server's job puts below it (see the class comment).
    /// `progress` may be empty. The completion runs once on the store's queue.
    void download(std::shared_ptr<BaseItemDto> item, ProgressHandler progress,
                  Completion completion);
    /// Removes the local items (and files) the server no longer wants on this device. The
    /// completion gets the removed item ids, or nothing when the server could not be asked.
    void reconcile(ReconcileCompletion completion);
    /// Removes one local item of this server and its files (saved). False when there is none.
    /// Call on the store's queue.
    bool removeLocalItem(const std::string& itemId);
    /// Ends the running downloads (their partial files stay), their polls and the tries they
    /// wait to make; each running download() completes with its unfinished items as failed, and
    /// sends no further request. Any thread.
    void cancel();

    /// `name` when it is safe as a file name (see the class comment), else absent.
    static std::optional<std::string> safeFileName(std::string_view name);
    /// The rule for Options::networkAllowsSync that follows the user's "syncOnlyOnWifi" setting
    /// (in `settings`; null: the standard store): while it is on, a run is refused when `monitor`
    /// says the network is reached over the cellular link. Both are read at each run.
    static std::function<bool()> wifiRule(std::shared_ptr<Reachability> monitor,
                                          std::shared_ptr<UserDefaults> settings = nullptr);
    /// The documents directory this downloader writes to.
    std::filesystem::path documents() const;

    ~SyncDownloader();

  private:
    struct Run;
    struct ItemJob;

    SyncDownloader(std::shared_ptr<ApiClient> client, std::shared_ptr<OfflineDataController> store,
                   Options options);

    std::shared_ptr<DispatchQueue> queue() const;
    void startRun(const std::shared_ptr<Run>& run, std::shared_ptr<BaseItemDto> item);
    void takeJob(const std::shared_ptr<Run>& run, std::optional<SyncJobCreationResult> result);
    void poll(const std::shared_ptr<Run>& run);
    void takeReady(const std::shared_ptr<Run>& run, std::optional<std::vector<SyncJobItem>> ready);
    void startNext(const std::shared_ptr<Run>& run);
    void downloadNextFile(const std::shared_ptr<Run>& run, const std::shared_ptr<ItemJob>& job);
    void releaseSlot(const std::shared_ptr<ItemJob>& job);
    void retryLater(const std::shared_ptr<Run>& run, const std::shared_ptr<ItemJob>& job,
                    const std::string& name, const std::string& reason);
    void finishItem(const std::shared_ptr<Run>& run, const std::shared_ptr<ItemJob>& job, bool ok);
    void confirm(const std::shared_ptr<Run>& run, std::int64_t syncJobItemId);
    void failItem(const std::shared_ptr<Run>& run, const std::string& itemId,
                  const std::string& reason);
    void finishRunIfDone(const std::shared_ptr<Run>& run);
    void reportProgress(const std::shared_ptr<Run>& run, const std::string& itemId);
    void removeFiles(const std::string& itemId);

    const std::shared_ptr<ApiClient> client_;
    const std::shared_ptr<OfflineDataController> store_;
    const Options options_;

    std::mutex mutex_;  // guards runs_ (cancel() may come from any thread)
    std::set<std::shared_ptr<Run>> runs_;
    // On the store's queue: the items waiting for a slot to transfer their next file, the slots
    // taken, and the files whose slot was handed on while they are flushed.
    std::deque<std::pair<std::shared_ptr<Run>, std::shared_ptr<ItemJob>>> waiting_;
    int activeDownloads_ = 0;
    int flushing_ = 0;
    // On the store's queue: the item folders being written, each with the item job writing it
    // (from its first transfer to its end), so that two runs never write one partial file.
    std::map<std::filesystem::path, const ItemJob*> writing_;
};

}  // namespace vk
