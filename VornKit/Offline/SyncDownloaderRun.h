// SyncDownloader's state of a download run, shared by its source files: SyncDownloader.cpp (the
// sync job, the polls, the end of the run, cancelling, reconciling) and
// SyncDownloaderTransfers.cpp (the file transfers and their slots). Not for hosts: it is
// installed only because every header of the folder is.
//
// Thread rule: used on the store context's queue only, but Run::cancelled (set from any thread).
// Ownership: a Run is shared by the blocks of its run; an ItemJob by its run and its transfers.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "VornKit/Offline/SyncDownloader.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

/// SyncDownloader's helpers, shared by its source files.
namespace sync_detail {

/// SyncDownloader's log.
const Logger& logger();

/// The size of the regular file at `path`; -1 when there is none.
std::int64_t fileSize(const std::filesystem::path& path);

/// One file of an item: where it comes from and the name it gets.
struct FileSpec {
    std::string name;
    std::string path;
    ApiClient::QueryParams params;
};

}  // namespace sync_detail

/// One item of a run being downloaded: its files, one after the other, into its directory.
struct SyncDownloader::ItemJob {
    std::string itemId;                        ///< the item
    std::int64_t jobItemId = 0;                ///< the sync job's entry for it
    std::filesystem::path directory;           ///< where its files go
    std::string mediaName;                     ///< the name of its media file
    std::vector<sync_detail::FileSpec> files;  ///< its files, in the order they are fetched
    std::size_t next = 0;                      ///< the file being (or next to be) fetched
    std::int64_t finishedBytes = 0;            ///< files already in place
    std::int64_t currentBytes = 0;             ///< the file being downloaded
    std::int64_t currentExpected = -1;         ///< its expected size; -1 when unknown
    int retries = 0;                           ///< tries of the current file after the first
    bool failed = false;                       ///< whether the item has failed
    bool holdsSlot = false;                    ///< one of the downloader's transfer slots
    bool flushing = false;  ///< its file's body is in, the slot handed on, the flush under way
};

/// One download run: the sync job asked for, its items and transfers, and its end.
struct SyncDownloader::Run {
    ProgressHandler progress;                                 ///< told the progress
    Completion completion;                                    ///< called once at the end
    std::string serverId;                                     ///< the server downloaded from
    std::string rootItemId;                                   ///< the item the job was asked for
    std::vector<std::string> order;                           ///< the job's item ids
    std::map<std::string, std::shared_ptr<LocalItem>> local;  ///< the items recorded, by id
    std::set<std::string> pending;                            ///< waiting to be ready
    std::map<std::string, std::set<std::int64_t>>
        readyJobItems;                                     ///< the ready job entries, by item
    std::map<std::string, std::shared_ptr<ItemJob>> jobs;  ///< the items downloading, by id
    std::set<std::string> done;                            ///< the items downloaded
    std::set<std::string> failed;                          ///< the items that failed
    std::set<std::shared_ptr<UrlSessionTask>> tasks;       ///< the requests under way
    std::set<std::shared_ptr<ItemJob>> retrying;           ///< waiting to try their file again
    int polls = 0;                                         ///< polls for ready items so far
    int active = 0;                                        ///< items under way, each until it ends
    int confirming = 0;                  ///< transfer confirmations not answered yet
    bool jobCreated = false;             ///< whether the server made the sync job
    std::atomic<bool> cancelled{false};  ///< set by cancel() at once, from any thread
    bool finished = false;               ///< whether the run has ended
};

}  // namespace vk
