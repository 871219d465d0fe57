// SyncDownloader: the sync job asked for and its items recorded, the polls for ready items, the
// transfers confirmed and the run's end, cancelling, and the store reconciled with the server. The
// file transfers are in SyncDownloaderTransfers.cpp.
#include "VornKit/Offline/SyncDownloader.h"

#include <sys/stat.h>

#include <algorithm>

#include "VornKit/Net/Reachability.h"
#include "VornKit/Offline/FileSystem.h"
#include "VornKit/Offline/SyncDownloaderRun.h"
#include "VornKit/Settings/AppSettings.h"

namespace vk {

using sync_detail::fileSize;
using sync_detail::logger;

const Logger& sync_detail::logger() {
    static const auto* log = new Logger("SyncDownloader");
    return *log;
}

std::int64_t sync_detail::fileSize(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
               ? static_cast<std::int64_t>(info.st_size)
               : -1;
}

namespace {

/// The name as a log line shows it: quoted, control bytes escaped.
std::string printable(std::string_view name) {
    std::string out = "\"";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::shared_ptr<SyncDownloader> SyncDownloader::make(std::shared_ptr<ApiClient> client,
                                                     std::shared_ptr<OfflineDataController> store,
                                                     Options options) {
    if (!store)
        store = OfflineDataController::sharedInstance();
    if (options.maxConcurrentDownloads < 1)
        options.maxConcurrentDownloads = 1;
    return std::shared_ptr<SyncDownloader>(
        new SyncDownloader(std::move(client), std::move(store), std::move(options)));
}

SyncDownloader::SyncDownloader(std::shared_ptr<ApiClient> client,
                               std::shared_ptr<OfflineDataController> store, Options options)
    : client_(std::move(client)), store_(std::move(store)), options_(std::move(options)) {}

SyncDownloader::~SyncDownloader() = default;

std::shared_ptr<DispatchQueue> SyncDownloader::queue() const {
    return store_->managedObjectContext()->queue();
}

std::filesystem::path SyncDownloader::documents() const {
    return options_.documents ? *options_.documents
                              : std::filesystem::path(FileSystem::rootDocsPath());
}

std::function<bool()> SyncDownloader::wifiRule(std::shared_ptr<Reachability> monitor,
                                               std::shared_ptr<UserDefaults> settings) {
    return [monitor = std::move(monitor), settings = std::move(settings)] {
        const AppSettings read = settings ? AppSettings(settings) : AppSettings();
        return !read.getSyncOnlyOnWifi() || !monitor ||
               monitor->currentReachabilityStatus() != ReachableViaWWAN;
    };
}

std::optional<std::string> SyncDownloader::safeFileName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == ".." || name.front() == '.')
        return std::nullopt;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\')
            return std::nullopt;
    }
    return std::string(name);
}

void SyncDownloader::download(std::shared_ptr<BaseItemDto> item, ProgressHandler progress,
                              Completion completion) {
    auto run = std::make_shared<Run>();
    run->progress = std::move(progress);
    run->completion = std::move(completion);
    run->serverId = client_->serverId();
    run->rootItemId = item ? item->Id.str() : std::string();
    {
        std::lock_guard lock(mutex_);
        runs_.insert(run);
    }
    auto self = shared_from_this();
    queue()->async(
        [self, run, item = std::move(item)]() mutable { self->startRun(run, std::move(item)); });
}

void SyncDownloader::startRun(const std::shared_ptr<Run>& run, std::shared_ptr<BaseItemDto> item) {
    if (run->cancelled || run->finished) {
        // Cancelled before it began: the server is not asked for a job.
        logger().log("Download of item " + run->rootItemId + " cancelled");
        finishRunIfDone(run);
        return;
    }
    if (!item) {
        logger().log("Not downloading: no item");
        finishRunIfDone(run);
        return;
    }
    if (options_.networkAllowsSync && !options_.networkAllowsSync()) {
        logger().log("Not downloading " + run->rootItemId +
                     ": syncing is allowed on Wi-Fi only (syncOnlyOnWifi) and this network is not "
                     "Wi-Fi");
        run->failed.insert(run->rootItemId);
        finishRunIfDone(run);
        return;
    }
    if (!safeFileName(run->serverId)) {
        logger().log("Refusing unsafe server id as a folder name: " + printable(run->serverId));
        run->failed.insert(run->rootItemId);
        finishRunIfDone(run);
        return;
    }
    auto self = shared_from_this();
    auto target = queue();
    client_->getSyncJobForDownloadItem(
        *item, [self, run, target](std::optional<SyncJobCreationResult> result) {
            target->async([self, run, result = std::move(result)]() mutable {
                self->takeJob(run, std::move(result));
            });
        });
}

void SyncDownloader::takeJob(const std::shared_ptr<Run>& run,
                             std::optional<SyncJobCreationResult> result) {
    if (run->cancelled || run->finished) {
        // Cancelled while the job was asked for: its completion has run; nothing is recorded.
        logger().log("Sync job for item " + run->rootItemId + " arrived after the run ended");
        return;
    }
    if (!result) {
        logger().log("No sync job for item " + run->rootItemId);
        run->failed.insert(run->rootItemId);
        finishRunIfDone(run);
        return;
    }
    run->jobCreated = true;
    const std::filesystem::path docs = documents();
    for (const SyncJobItem& jobItem : result->JobItems) {
        if (!jobItem.Item || !jobItem.Item->Id)
            continue;
        const std::string itemId = jobItem.Item->Id.str();
        if (run->local.count(itemId) != 0)
            continue;
        run->order.push_back(itemId);
        std::shared_ptr<LocalItem> local = store_->getLocalItemWith(run->serverId, itemId);
        if (!local) {
            local = store_->insertNewLocalItem();
            local->itemId = itemId;
            local->serverId = run->serverId;
            local->setSyncJobStatus(SyncJobStatus::Queued);
            local->syncJobItemId = static_cast<std::int32_t>(jobItem.SyncJobItemId);
            store_->insert(jobItem.Item);
            local->item = jobItem.Item;
        }
        run->local[itemId] = local;
        const bool downloaded = local->syncJobStatus() == SyncJobStatus::Completed ||
                                local->syncJobStatus() == SyncJobStatus::CompletedWithError;
        if (downloaded && local->localPath && fileSize(docs / local->localPath.str()) >= 0) {
            run->done.insert(itemId);
            run->readyJobItems[itemId].insert(jobItem.SyncJobItemId);
            continue;
        }
        if (downloaded) {
            // Its file went missing: download it again.
            local->setSyncJobStatus(SyncJobStatus::Queued);
        }
        if (local->localPath && fileSize(docs / local->localPath.str()) < 0) {
            // No path names a file that is gone: until the download succeeds there is none.
            local->localPath = std::nullopt;
        }
        run->pending.insert(itemId);
    }
    store_->saveChanges();
    if (run->order.empty())
        logger().log("Sync job for item " + run->rootItemId + " lists no items to download");
    // Items already here still get their transfer confirmed (a run killed before it could).
    for (const auto& itemId : run->done) {
        for (std::int64_t id : run->readyJobItems[itemId])
            confirm(run, id);
    }
    if (run->pending.empty()) {
        finishRunIfDone(run);
        return;
    }
    poll(run);
}

void SyncDownloader::poll(const std::shared_ptr<Run>& run) {
    if (run->cancelled || run->finished)
        return;
    ++run->polls;
    auto self = shared_from_this();
    client_->getReadySyncItems(JsonDecoder(), queue(),
                               [self, run](std::optional<std::vector<SyncJobItem>> ready) {
                                   self->takeReady(run, std::move(ready));
                               });
}

void SyncDownloader::takeReady(const std::shared_ptr<Run>& run,
                               std::optional<std::vector<SyncJobItem>> ready) {
    if (run->cancelled || run->finished)
        return;
    const std::filesystem::path docs = documents();
    for (SyncJobItem& entry : ready.value_or(std::vector<SyncJobItem>{})) {
        if (!entry.Item || !entry.Item->Id)
            continue;
        const std::string itemId = entry.Item->Id.str();
        if (run->local.count(itemId) == 0)
            continue;  // another job's
        run->readyJobItems[itemId].insert(entry.SyncJobItemId);
        if (run->pending.erase(itemId) == 0)
            continue;

        auto job = std::make_shared<ItemJob>();
        job->itemId = itemId;
        job->jobItemId = entry.SyncJobItemId;
        std::optional<std::string> itemFolder = safeFileName(itemId);
        if (!itemFolder) {
            failItem(run, itemId, "Refusing unsafe item id as a folder name: " + printable(itemId));
            continue;
        }
        job->directory = docs / run->serverId / *itemFolder;
        std::optional<std::string> media =
            entry.OriginalFileName ? safeFileName(*entry.OriginalFileName) : std::string("media");
        if (!media) {
            failItem(run, itemId,
                     "Refusing unsafe file name from the server for item " + itemId + ": " +
                         printable(*entry.OriginalFileName));
            continue;
        }
        job->mediaName = *media;
        const std::string base = "Sync/JobItems/" + std::to_string(entry.SyncJobItemId);
        job->files.push_back({*media, base + "/File", {}});
        std::set<std::string> names{*media};
        bool refused = false;
        for (const ItemFileInfo& info : entry.AdditionalFiles) {
            std::optional<std::string> name = safeFileName(info.Name);
            if (!name || !names.insert(*name).second) {
                failItem(run, itemId,
                         std::string(name ? "Refusing a repeated file name from the server for "
                                          : "Refusing unsafe file name from the server for ") +
                             "item " + itemId + ": " + printable(info.Name));
                refused = true;
                break;
            }
            job->files.push_back({*name, base + "/AdditionalFiles", {{"Name", info.Name}}});
        }
        if (refused)
            continue;
        run->jobs[itemId] = job;
        run->local[itemId]->syncJobItemId = static_cast<std::int32_t>(entry.SyncJobItemId);
        run->local[itemId]->setSyncJobStatus(SyncJobStatus::Transferring);
        ++run->active;  // counted until the item ends, so the run does not end before
        waiting_.emplace_back(run, job);
    }
    startNext(run);
    if (!run->pending.empty()) {
        if (run->polls >= options_.maxPolls) {
            std::vector<std::string> late(run->pending.begin(), run->pending.end());
            run->pending.clear();
            for (const auto& itemId : late) {
                failItem(run, itemId,
                         "Item " + itemId + " was not ready on the server after " +
                             std::to_string(run->polls) + " questions");
            }
        } else {
            auto self = shared_from_this();
            queue()->asyncAfter(options_.pollInterval, [self, run] { self->poll(run); });
        }
    }
    finishRunIfDone(run);
}

void SyncDownloader::confirm(const std::shared_ptr<Run>& run, std::int64_t syncJobItemId) {
    // The run ends once the server has answered, so that a host that exits after the completion
    // does not cut the confirmation off.
    ++run->confirming;
    auto self = shared_from_this();
    auto target = queue();
    client_->reportSyncJobItemTransferred(syncJobItemId,
                                          [self, run, target](std::optional<std::string>) {
                                              target->async([self, run] {
                                                  --run->confirming;
                                                  self->finishRunIfDone(run);
                                              });
                                          });
}

void SyncDownloader::failItem(const std::shared_ptr<Run>& run, const std::string& itemId,
                              const std::string& reason) {
    if (!reason.empty())
        logger().log(reason);
    run->failed.insert(itemId);
    auto local = run->local.find(itemId);
    if (local != run->local.end() && local->second) {
        local->second->setSyncJobStatus(SyncJobStatus::Failed);
        store_->saveChanges();
    }
}

void SyncDownloader::reportProgress(const std::shared_ptr<Run>& run, const std::string& itemId) {
    if (!run->progress)
        return;
    SyncDownloadProgress progress;
    progress.itemId = itemId;
    progress.itemsDone = run->done.size();
    progress.itemsTotal = run->order.size();
    bool totalKnown = run->jobs.size() + run->done.size() >= run->order.size();
    for (const auto& [id, job] : run->jobs) {
        std::int64_t bytes = job->finishedBytes + job->currentBytes;
        // Known once the item's last file has begun and said its size, or when it is done.
        std::int64_t expected = -1;
        if (run->done.count(id) != 0)
            expected = bytes = job->finishedBytes;
        else if (job->next + 1 == job->files.size() && job->currentExpected >= 0)
            expected = job->finishedBytes + job->currentExpected;
        if (id == itemId) {
            progress.itemBytes = bytes;
            progress.itemExpected = expected;
        }
        progress.totalBytes += bytes;
        if (expected < 0)
            totalKnown = false;
        else
            progress.totalExpected = std::max<std::int64_t>(progress.totalExpected, 0) + expected;
    }
    if (!totalKnown)
        progress.totalExpected = -1;
    run->progress(progress);
}

void SyncDownloader::finishRunIfDone(const std::shared_ptr<Run>& run) {
    if (run->finished || !run->pending.empty() || run->active > 0 || run->confirming > 0)
        return;
    run->finished = true;
    {
        std::lock_guard lock(mutex_);
        runs_.erase(run);
    }
    SyncDownloadResult result;
    result.jobCreated = run->jobCreated;
    for (const auto& itemId : run->order) {
        if (run->done.count(itemId) != 0)
            result.downloaded.push_back(run->local[itemId]);
        else
            result.failed.push_back(itemId);
    }
    // No job, or a job that lists nothing: the item asked for is not downloaded.
    if (result.failed.empty() && result.downloaded.empty() && !run->rootItemId.empty())
        result.failed.push_back(run->rootItemId);
    auto completion = std::move(run->completion);
    run->completion = nullptr;
    run->progress = nullptr;
    if (completion)
        completion(std::move(result));
}

void SyncDownloader::cancel() {
    std::vector<std::shared_ptr<Run>> runs;
    {
        std::lock_guard lock(mutex_);
        runs.assign(runs_.begin(), runs_.end());
        // At once: a run whose start is still queued sends no request at all.
        for (const auto& run : runs)
            run->cancelled = true;
    }
    auto self = shared_from_this();
    auto work = [self, runs] {
        for (const auto& run : runs) {
            if (run->finished)
                continue;
            std::vector<std::string> late(run->pending.begin(), run->pending.end());
            run->pending.clear();
            for (const auto& itemId : late)
                self->failItem(run, itemId, "Download of item " + itemId + " cancelled");
            auto waiting = std::move(run->retrying);
            run->retrying.clear();
            for (const auto& job : waiting)
                self->finishItem(run, job, false);
            auto tasks = run->tasks;
            for (const auto& task : tasks)
                task->cancel();  // their completions end the items
            self->finishRunIfDone(run);
        }
    };
    if (queue()->isCurrent())
        work();
    else
        queue()->async(work);
}

void SyncDownloader::removeFiles(const std::string& itemId) {
    const std::string serverId = client_->serverId();
    if (!safeFileName(serverId) || !safeFileName(itemId))
        return;
    const std::filesystem::path directory = documents() / serverId / itemId;
    std::error_code ec;
    std::filesystem::remove_all(directory, ec);
    if (ec)
        logger().log("Cannot remove " + directory.string() + ": " + ec.message());
}

bool SyncDownloader::removeLocalItem(const std::string& itemId) {
    auto removed = store_->deleteLocalItem(client_->serverId(), itemId);
    if (!removed)
        return false;
    removeFiles(itemId);
    store_->saveChanges();
    return true;
}

void SyncDownloader::reconcile(ReconcileCompletion completion) {
    auto self = shared_from_this();
    queue()->async([self, completion = std::move(completion)]() mutable {
        const std::string serverId = self->client_->serverId();
        // Every local item, whatever its status: the server may name any of them (a failed or
        // unfinished one with its partial files too).
        std::vector<std::string> ids = self->store_->getItemIds(serverId);
        self->client_->syncData(
            ids, self->queue(),
            [self, serverId,
             completion = std::move(completion)](std::optional<SyncDataResponse> response) {
                if (!response) {
                    logger().log("Reconcile: the server could not be asked");
                    completion(std::nullopt);
                    return;
                }
                auto items = self->store_->getLocalItemsByIds(serverId, response->ItemIdsToRemove);
                std::vector<std::string> removed;
                removed.reserve(items.size());
                for (const auto& item : items) {
                    if (self->writing_.count(self->documents() / serverId / item->itemId) != 0) {
                        // A run is writing its files: it stays until that run has ended.
                        continue;
                    }
                    self->removeFiles(item->itemId);
                    self->store_->deleteLocalItem(item);
                    removed.push_back(item->itemId);
                }
                if (!removed.empty()) {
                    self->store_->deleteEmptyContainers(serverId);
                    self->store_->saveChanges();
                    logger().log("Reconcile: removed " + std::to_string(removed.size()) +
                                 " local items");
                }
                completion(std::move(removed));
            });
    });
}

}  // namespace vk
