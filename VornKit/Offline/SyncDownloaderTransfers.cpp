// SyncDownloader's file transfers: the slots (at most maxConcurrentDownloads transfers, a slot
// handed on while a finished file is flushed), each item's files one after the other, the retries
// of a transfer the network cut, and the end of an item.
#include <algorithm>

#include "VornKit/Offline/SyncDownloaderRun.h"

namespace vk {

using sync_detail::fileSize;
using sync_detail::FileSpec;
using sync_detail::logger;

namespace {

constexpr std::chrono::milliseconds kLongestRetryDelay{60'000};

// A transfer worth trying again: one the network cut or never made, or a gateway's or an
// overloaded server's answer. A server's other answers (a 4xx above all) would come again.
bool retryable(const std::optional<UrlResponse>& response, const std::optional<UrlError>& error) {
    if (response && response->isHttp &&
        (response->statusCode < 200 || response->statusCode > 299)) {
        return response->statusCode == 502 || response->statusCode == 503 ||
               response->statusCode == 504;
    }
    if (!error)
        return false;
    switch (error->code) {
        case UrlError::networkConnectionLost:
        case UrlError::timedOut:
        case UrlError::cannotConnectToHost:
        case UrlError::cannotFindHost:
            return true;
        default:
            return false;
    }
}

}  // namespace

void SyncDownloader::startNext(const std::shared_ptr<Run>&) {
    while (activeDownloads_ < options_.maxConcurrentDownloads) {
        // The first waiting item whose folder no other run is writing to: two runs asked for the
        // same item download it one after the other, the second finding the files in place.
        auto next = std::find_if(waiting_.begin(), waiting_.end(), [this](const auto& entry) {
            auto owner = writing_.find(entry.second->directory);
            return owner == writing_.end() || owner->second == entry.second.get();
        });
        if (next == waiting_.end())
            break;
        auto [run, job] = std::move(*next);
        waiting_.erase(next);
        writing_[job->directory] = job.get();
        ++activeDownloads_;
        job->holdsSlot = true;
        downloadNextFile(run, job);
    }
}

void SyncDownloader::downloadNextFile(const std::shared_ptr<Run>& run,
                                      const std::shared_ptr<ItemJob>& job) {
    if (run->cancelled) {
        finishItem(run, job, false);
        return;
    }
    if (job->next == 0) {
        std::error_code ec;
        std::filesystem::create_directories(job->directory, ec);
        if (ec) {
            logger().log("Cannot create " + job->directory.string() + ": " + ec.message());
            finishItem(run, job, false);
            return;
        }
    }
    // Files already in place (complete by construction) are not downloaded again.
    while (job->next < job->files.size()) {
        std::int64_t size = fileSize(job->directory / job->files[job->next].name);
        if (size < 0)
            break;
        job->finishedBytes += size;
        ++job->next;
    }
    if (job->next == job->files.size()) {
        finishItem(run, job, true);
        return;
    }
    if (!job->holdsSlot) {
        // The item handed its slot on while its last file was flushed: it waits for one, ahead
        // of the items not started yet.
        waiting_.emplace_front(run, job);
        startNext(run);
        return;
    }
    const FileSpec& file = job->files[job->next];
    job->currentBytes = 0;
    job->currentExpected = -1;
    auto self = shared_from_this();
    auto target = queue();
    std::weak_ptr<Run> weakRun = run;
    const std::size_t index = job->next;
    auto task = client_->downloadFile(
        file.path, file.params, job->directory / file.name,
        [self, weakRun, job, target, index](std::int64_t written,
                                            std::optional<std::int64_t> expected) {
            target->async([self, weakRun, job, written, expected, index] {
                auto live = weakRun.lock();
                // The last count of a file may arrive after its completion: it is counted there.
                if (!live || job->failed || job->next != index)
                    return;
                job->currentBytes = written;
                job->currentExpected = expected.value_or(-1);
                if (expected && written == *expected && job->holdsSlot &&
                    self->flushing_ < self->options_.maxConcurrentDownloads) {
                    // The body is in: the next transfer need not wait for its flush.
                    self->releaseSlot(job);
                    job->flushing = true;
                    ++self->flushing_;
                    self->startNext(live);
                }
                self->reportProgress(live, job->itemId);
            });
        },
        [self, weakRun, job, target, name = file.name](
            std::optional<std::filesystem::path> location, std::optional<UrlResponse> response,
            std::optional<UrlError> error) {
            target->async([self, weakRun, job, location, response, error, name] {
                auto live = weakRun.lock();
                if (!live)
                    return;
                if (job->flushing) {
                    job->flushing = false;
                    --self->flushing_;
                }
                for (auto it = live->tasks.begin(); it != live->tasks.end();) {
                    it = (*it)->state() == UrlSessionTask::State::completed ? live->tasks.erase(it)
                                                                            : std::next(it);
                }
                if (!location) {
                    const std::string reason = error ? error->description : std::string("?");
                    if (!live->cancelled && job->retries < self->options_.maxRetries &&
                        retryable(response, error)) {
                        self->retryLater(live, job, name, reason);
                        return;
                    }
                    logger().log("Download of " + name + " for item " + job->itemId +
                                 " failed: " + reason);
                    self->finishItem(live, job, false);
                    return;
                }
                job->retries = 0;
                job->finishedBytes += std::max<std::int64_t>(fileSize(*location), 0);
                job->currentBytes = 0;
                job->currentExpected = -1;
                ++job->next;
                self->downloadNextFile(live, job);
            });
        });
    if (!task) {
        finishItem(run, job, false);
        return;
    }
    run->tasks.insert(task);
    task->resume();
}

void SyncDownloader::retryLater(const std::shared_ptr<Run>& run,
                                const std::shared_ptr<ItemJob>& job, const std::string& name,
                                const std::string& reason) {
    ++job->retries;
    // Twice as long before each further try, at most a minute.
    auto delay = options_.retryDelay;
    for (int i = 1; i < job->retries && delay < kLongestRetryDelay; ++i)
        delay *= 2;
    delay = std::min(delay, kLongestRetryDelay);
    logger().log("Download of " + name + " for item " + job->itemId + " failed: " + reason +
                 "; trying again in " + std::to_string(delay.count()) + " ms (" +
                 std::to_string(job->retries) + " of " + std::to_string(options_.maxRetries) + ")");
    job->currentBytes = 0;
    job->currentExpected = -1;
    // The slot serves other items meanwhile; the item keeps its folder.
    releaseSlot(job);
    run->retrying.insert(job);
    startNext(run);
    auto self = shared_from_this();
    queue()->asyncAfter(delay, [self, run, job] {
        if (run->retrying.erase(job) == 0)
            return;  // ended by a cancel meanwhile
        self->downloadNextFile(run, job);
    });
}

void SyncDownloader::finishItem(const std::shared_ptr<Run>& run,
                                const std::shared_ptr<ItemJob>& job, bool ok) {
    if (job->failed)
        return;
    releaseSlot(job);
    if (auto owner = writing_.find(job->directory);
        owner != writing_.end() && owner->second == job.get()) {
        writing_.erase(owner);
    }
    --run->active;
    if (ok) {
        auto local = run->local[job->itemId];
        local->setSyncJobStatus(SyncJobStatus::Completed);
        local->localPath =
            (std::filesystem::path(run->serverId) / job->directory.filename() / job->mediaName)
                .string();
        store_->saveChanges();
        run->done.insert(job->itemId);
        // Saved first: a run killed now finds the item complete and confirms it next time. A
        // cancelled run sends nothing more: the next run confirms it.
        if (!run->cancelled) {
            for (std::int64_t id : run->readyJobItems[job->itemId])
                confirm(run, id);
        }
        reportProgress(run, job->itemId);
    } else {
        job->failed = true;
        failItem(run, job->itemId, "");
    }
    startNext(run);
    finishRunIfDone(run);
}

void SyncDownloader::releaseSlot(const std::shared_ptr<ItemJob>& job) {
    if (job->holdsSlot) {
        job->holdsSlot = false;
        --activeDownloads_;
    }
}

}  // namespace vk
