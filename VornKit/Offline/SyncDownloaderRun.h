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

struct SyncDownloader::ItemJob {
    std::string itemId;
    std::int64_t jobItemId = 0;
    std::filesystem::path directory;
    std::string mediaName;
    std::vector<sync_detail::FileSpec> files;
    std::size_t next = 0;
    std::int64_t finishedBytes = 0;  // files already in place
    std::int64_t currentBytes = 0;   // the file being downloaded
    std::int64_t currentExpected = -1;
    int retries = 0;  // tries of the current file after the first
    bool failed = false;
    bool holdsSlot = false;  // one of the downloader's transfer slots
    bool flushing = false;   // its file's body is in, the slot handed on, the flush under way
};

struct SyncDownloader::Run {
    ProgressHandler progress;
    Completion completion;
    std::string serverId;
    std::string rootItemId;
    std::vector<std::string> order;  // the job's item ids
    std::map<std::string, std::shared_ptr<LocalItem>> local;
    std::set<std::string> pending;  // waiting to be ready
    std::map<std::string, std::set<std::int64_t>> readyJobItems;
    std::map<std::string, std::shared_ptr<ItemJob>> jobs;
    std::set<std::string> done;
    std::set<std::string> failed;
    std::set<std::shared_ptr<UrlSessionTask>> tasks;
    std::set<std::shared_ptr<ItemJob>> retrying;  // waiting to try their file again
    int polls = 0;
    int active = 0;
    int confirming = 0;  // transfer confirmations not answered yet
    bool jobCreated = false;
    std::atomic<bool> cancelled{false};  // set by cancel() at once, from any thread
    bool finished = false;
};

}  // namespace vk
