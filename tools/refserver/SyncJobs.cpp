#include "refserver/SyncJobs.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "refserver/ErrorAnswer.h"
#include "refserver/SampleMedia.h"

namespace refserver {

namespace {

// Appends bytes [offset, offset + size) of the generated file of `seed`: byte i is byte i % 8 of
// mix(seed + i / 8).
void generated(std::uint64_t seed, std::uint64_t offset, std::size_t size, std::string& out) {
    std::size_t at = out.size();
    out.resize(at + size);
    char* dst = out.data() + at;
    std::uint64_t i = offset;
    const std::uint64_t end = offset + size;
    while (i < end && i % 8 != 0) {
        *dst++ = static_cast<char>(mix(seed + i / 8) >> ((i % 8) * 8));
        ++i;
    }
    while (i + 8 <= end) {
        std::uint64_t word = mix(seed + i / 8);
        std::memcpy(dst, &word, 8);  // little-endian: byte k is bits 8k..8k+7
        dst += 8;
        i += 8;
    }
    while (i < end) {
        *dst++ = static_cast<char>(mix(seed + i / 8) >> ((i % 8) * 8));
        ++i;
    }
}

std::string nowText() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S.0000000Z", &parts);
    return buffer;
}

// Turns bytes [offset, offset + out.size() - at) appended at `at` into those of `version` of the
// file: each byte past the first 44 (a WAV header's) is xored with a byte of the version.
void applyVersion(int version, std::uint64_t offset, std::string& out, std::size_t at) {
    if (version == 0)
        return;
    const auto key = static_cast<char>((version * 0x5b) | 1);
    for (std::size_t i = at; i < out.size(); ++i) {
        if (offset + (i - at) >= 44)
            out[i] = static_cast<char>(out[i] ^ key);
    }
}

}  // namespace

SyncJobs::SyncJobs(std::shared_ptr<Library> library, SyncOptions options)
    : library_(std::move(library)), options_(options) {}

std::shared_ptr<SyncJobs> SyncJobs::install(RefServer& server, std::shared_ptr<Library> library,
                                            SyncOptions options) {
    auto self = std::make_shared<SyncJobs>(std::move(library), options);
    self->installRoutes(server, self);
    return self;
}

void SyncJobs::setReadyDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    options_.readyDelay = delay;
}

void SyncJobs::setNotReadyAsks(int asks) {
    std::lock_guard lock(mutex_);
    options_.notReadyAsks = asks;
}

void SyncJobs::setMediaBytes(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    options_.mediaBytes = bytes;
}

void SyncJobs::dropItem(const std::string& itemId) {
    std::lock_guard lock(mutex_);
    dropped_.insert(itemId);
}

void SyncJobs::setFileName(const std::string& itemId, std::string name) {
    std::lock_guard lock(mutex_);
    fileNames_[itemId] = std::move(name);
}

void SyncJobs::setAdditionalFileName(const std::string& itemId, std::string name) {
    std::lock_guard lock(mutex_);
    additionalNames_[itemId] = std::move(name);
}

void SyncJobs::setMediaVersion(const std::string& itemId, int version) {
    std::lock_guard lock(mutex_);
    mediaVersions_[itemId] = version;
}

void SyncJobs::redirectMediaFiles(std::optional<std::string> base) {
    std::lock_guard lock(mutex_);
    mediaRedirect_ = std::move(base);
}

void SyncJobs::resetFiles() {
    std::lock_guard lock(mutex_);
    fileNames_.clear();
    additionalNames_.clear();
    mediaVersions_.clear();
}

int SyncJobs::mediaVersion(const std::string& itemId) const {
    std::lock_guard lock(mutex_);
    auto found = mediaVersions_.find(itemId);
    return found != mediaVersions_.end() ? found->second : 0;
}

void SyncJobs::addFileFault(FileFault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void SyncJobs::clearFileFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<FileFault> SyncJobs::takeFault() {
    std::lock_guard lock(mutex_);
    for (auto& fault : faults_) {
        if (fault.times == 0)
            continue;
        if (fault.times > 0)
            --fault.times;
        return fault;
    }
    return std::nullopt;
}

std::uint64_t SyncJobs::mediaLength(const std::string& itemId) const {
    const LibraryItem* item = library_->find(itemId);
    if (!item)
        return 0;
    std::uint64_t bytes = 0;
    {
        std::lock_guard lock(mutex_);
        bytes = options_.mediaBytes;
    }
    if (bytes > 0)
        return bytes;
    return item->type == "Audio" ? static_cast<std::uint64_t>(wavSize(item->audioSeconds)) : 0;
}

std::string SyncJobs::mediaFile(const std::string& itemId) const {
    const LibraryItem* item = library_->find(itemId);
    if (!item)
        return {};
    std::uint64_t bytes = 0;
    {
        std::lock_guard lock(mutex_);
        bytes = options_.mediaBytes;
    }
    std::string out;
    if (bytes == 0)
        out = library_->audioFile(*item);
    else
        generated(item->seed, 0, static_cast<std::size_t>(bytes), out);
    applyVersion(mediaVersion(itemId), 0, out, 0);
    return out;
}

std::string SyncJobs::coverFile(const std::string& itemId) const {
    const LibraryItem* item = library_->find(itemId);
    if (!item)
        return {};
    int width = item->coverWidth > 0 ? item->coverWidth : 64;
    int height = item->coverHeight > 0 ? item->coverHeight : 64;
    return coverPng(item->seed, width, height);
}

std::vector<SyncJobItemState> SyncJobs::jobItems() const {
    std::lock_guard lock(mutex_);
    return jobItems_;
}

std::size_t SyncJobs::jobCount() const {
    std::lock_guard lock(mutex_);
    return jobCreated_.size();
}

std::vector<std::int64_t> SyncJobs::transferred() const {
    std::lock_guard lock(mutex_);
    return transferred_;
}

std::vector<std::string> SyncJobs::offlineActions() const {
    std::lock_guard lock(mutex_);
    return offlineActions_;
}

std::vector<std::string> SyncJobs::syncDataRequests() const {
    std::lock_guard lock(mutex_);
    return syncDataRequests_;
}

int SyncJobs::peakFilesInFlight() const {
    std::lock_guard lock(mutex_);
    return peakFilesInFlight_;
}

void SyncJobs::clearRecords() {
    std::lock_guard lock(mutex_);
    peakFilesInFlight_ = filesInFlight_;
    transferred_.clear();
    offlineActions_.clear();
    syncDataRequests_.clear();
}

std::vector<const LibraryItem*> SyncJobs::downloadable(const LibraryItem& item) const {
    std::vector<const LibraryItem*> out;
    if (!item.isFolder) {
        if (item.type == "Audio")
            out.push_back(&item);
        return out;
    }
    for (const LibraryItem* child : library_->children(item.id)) {
        auto below = downloadable(*child);
        out.insert(out.end(), below.begin(), below.end());
    }
    return out;
}

std::string SyncJobs::fileNameOf(const LibraryItem& item) const {
    auto named = fileNames_.find(item.id);
    if (named != fileNames_.end())
        return named->second;
    char index[8];
    std::snprintf(index, sizeof index, "%02d", item.indexNumber);
    return std::string(index) + " - " + item.name + ".wav";
}

std::string SyncJobs::jobItemJson(const SyncJobItemState& state) const {
    const LibraryItem* item = library_->find(state.itemId);
    std::string out;
    vk::JsonWriter writer(out);
    writer.beginObject();
    writer.key("ServerId");
    writer.string(library_->serverId());
    writer.key("SyncJobId");
    writer.integer(state.jobId);
    writer.key("SyncJobName");
    writer.string(item ? item->name : state.itemId);
    writer.key("SyncJobDateCreated");
    auto created = jobCreated_.find(state.jobId);
    writer.string(created != jobCreated_.end() ? created->second : "");
    writer.key("SyncJobItemId");
    writer.integer(state.id);
    writer.key("OriginalFileName");
    writer.string(item ? fileNameOf(*item) : "");
    writer.key("Item");
    writer.raw(item ? library_->itemJson(*item, true) : "{}");
    writer.key("UserId");
    writer.string(library_->userId());
    writer.key("AdditionalFiles");
    writer.beginArray();
    writer.beginObject();
    writer.key("Type");
    writer.string("Image");
    writer.key("Name");
    auto additional = additionalNames_.find(state.itemId);
    writer.string(additional != additionalNames_.end() ? additional->second : "cover.png");
    writer.key("ImageType");
    writer.integer(0);  // Primary: an image type travels as its number
    writer.key("Index");
    writer.integer(0);
    writer.endObject();
    writer.endArray();
    writer.endObject();
    return out;
}

void SyncJobs::createJob(const Request& request, Response& response) {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(request.recorded.body).get(root) != simdjson::SUCCESS || !root.is_object())
        return fail(response, 400, "the body is no JSON object");
    std::string_view target;
    simdjson::dom::array ids;
    if (root["TargetId"].get(target) != simdjson::SUCCESS ||
        root["ItemIds"].get(ids) != simdjson::SUCCESS || ids.size() == 0) {
        return fail(response, 400, "TargetId and ItemIds are required");
    }
    std::string_view first;
    if (ids.at(0).get(first) != simdjson::SUCCESS)
        return fail(response, 400, "ItemIds holds texts");
    const LibraryItem* item = library_->find(std::string(first));
    if (!item)
        return fail(response, 404, "item not found");
    std::vector<const LibraryItem*> items = downloadable(*item);

    std::lock_guard lock(mutex_);
    const std::int64_t jobId = nextJobId_++;
    jobCreated_[jobId] = nowText();
    const auto readyAt = std::chrono::steady_clock::now() + options_.readyDelay;
    std::vector<SyncJobItemState> made;
    for (const LibraryItem* entry : items) {
        SyncJobItemState state;
        state.id = nextJobItemId_++;
        state.jobId = jobId;
        state.itemId = entry->id;
        state.targetId = std::string(target);
        state.readyAt = readyAt;
        state.asksBeforeReady = options_.notReadyAsks;
        made.push_back(state);
        jobItems_.push_back(state);
    }
    vk::JsonWriter writer(response.body);
    writer.beginObject();
    writer.key("Job");
    writer.beginObject();
    writer.key("Id");
    writer.integer(jobId);
    writer.key("TargetId");
    writer.string(target);
    writer.key("Name");
    writer.string(item->name);
    // Real servers send the status as its name.
    writer.key("Status");
    writer.string(options_.readyDelay.count() > 0 || options_.notReadyAsks > 0 ? "Queued"
                                                                               : "ReadyToTransfer");
    writer.key("UserId");
    writer.integer(1);
    writer.key("ItemLimit");
    writer.integer(1);
    writer.key("RequestedItemIds");
    writer.beginArray();
    writer.integer(static_cast<std::int64_t>(item - library_->items().data()));
    writer.endArray();
    writer.key("DateCreated");
    writer.string(jobCreated_[jobId]);
    writer.key("ItemCount");
    writer.integer(static_cast<std::int64_t>(made.size()));
    writer.endObject();
    writer.key("JobItems");
    writer.beginArray();
    for (const auto& state : made)
        writer.raw(jobItemJson(state));
    writer.endArray();
    writer.endObject();
}

void SyncJobs::answerReady(const Request& request, Response& response) {
    std::optional<std::string> target = request.recorded.queryValue("TargetId");
    if (!target)
        return fail(response, 400, "TargetId is required");
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    vk::JsonWriter writer(response.body);
    writer.beginArray();
    for (auto& state : jobItems_) {
        if (state.targetId != *target || state.transferred || dropped_.count(state.itemId) != 0)
            continue;
        if (state.asksBeforeReady > 0) {
            --state.asksBeforeReady;
            continue;
        }
        if (state.readyAt > now)
            continue;
        writer.raw(jobItemJson(state));
    }
    writer.endArray();
}

void SyncJobs::answerFile(const Request& request, Response& response, bool additional) {
    const std::int64_t id = std::strtoll(request.captures.at(0).c_str(), nullptr, 10);
    std::string itemId;
    std::string additionalName;
    {
        std::lock_guard lock(mutex_);
        for (const auto& state : jobItems_) {
            if (state.id == id)
                itemId = state.itemId;
        }
        auto named = additionalNames_.find(itemId);
        additionalName = named != additionalNames_.end() ? named->second : "cover.png";
    }
    const LibraryItem* item = library_->find(itemId);
    if (!item)
        return fail(response, 404, "job item not found");
    if (!additional) {
        std::lock_guard lock(mutex_);
        if (mediaRedirect_) {
            response.status = 302;
            response.body.clear();
            response.headers.emplace_back("Location", *mediaRedirect_ + "/" + itemId + ".wav");
            return;
        }
    }
    BodyStream stream;
    if (additional) {
        if (request.recorded.queryValue("Name") != additionalName)
            return fail(response, 404, "no such additional file");
        auto bytes = std::make_shared<std::string>(coverFile(itemId));
        stream.length = bytes->size();
        stream.read = [bytes](std::uint64_t offset, std::size_t size, std::string& out) {
            out.append(*bytes, static_cast<std::size_t>(offset), size);
        };
        response.contentType = "image/png";
    } else {
        std::uint64_t generatedBytes = 0;
        {
            std::lock_guard lock(mutex_);
            generatedBytes = options_.mediaBytes;
        }
        if (generatedBytes > 0) {
            const std::uint64_t seed = item->seed;
            stream.length = generatedBytes;
            stream.read = [seed](std::uint64_t offset, std::size_t size, std::string& out) {
                generated(seed, offset, size, out);
            };
            response.contentType = "application/octet-stream";
        } else {
            auto bytes = std::make_shared<std::string>(library_->audioFile(*item));
            stream.length = bytes->size();
            stream.read = [bytes](std::uint64_t offset, std::size_t size, std::string& out) {
                // Past the end only for the extra bytes of a long body: any bytes will do.
                if (offset + size > bytes->size())
                    out.append(size, '\0');
                else
                    out.append(*bytes, static_cast<std::size_t>(offset), size);
            };
            response.contentType = "audio/wav";
        }
        const int version = mediaVersion(itemId);
        stream.etag = "\"" + itemId + "-" + std::to_string(version) + "\"";
        stream.read = [version, read = std::move(stream.read)](std::uint64_t offset,
                                                               std::size_t size, std::string& out) {
            const std::size_t at = out.size();
            read(offset, size, out);
            applyVersion(version, offset, out, at);
        };
    }
    // Counts the answer as in flight from its first byte to its last (or to the cut).
    struct Flight {
        SyncJobs* owner;
        bool started = false;
        bool ended = false;
        void end() {
            if (started && !ended) {
                ended = true;
                std::lock_guard lock(owner->mutex_);
                --owner->filesInFlight_;
            }
        }
        ~Flight() { end(); }
    };
    auto flight = std::make_shared<Flight>(Flight{this});
    stream.read = [flight, read = std::move(stream.read), length = stream.length](
                      std::uint64_t offset, std::size_t size, std::string& out) {
        if (!flight->started) {
            flight->started = true;
            std::lock_guard lock(flight->owner->mutex_);
            flight->owner->peakFilesInFlight_ =
                std::max(flight->owner->peakFilesInFlight_, ++flight->owner->filesInFlight_);
        }
        read(offset, size, out);
        if (offset + size >= length)
            flight->end();
    };
    if (std::optional<FileFault> fault = takeFault()) {
        switch (fault->kind) {
            case FileFault::Kind::cut:
                stream.cutAfter = fault->amount > 0 ? fault->amount : stream.length / 2;
                break;
            case FileFault::Kind::wrongRange:
                stream.wrongRangeStart = 0;
                break;
            case FileFault::Kind::slow:
                stream.pause = std::chrono::microseconds(fault->amount);
                break;
            case FileFault::Kind::longBody:
                stream.extraBytes = fault->amount > 0 ? fault->amount : 100;
                break;
        }
    }
    response.stream = std::move(stream);
}

void SyncJobs::answerSyncData(const Request& request, Response& response) {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    simdjson::dom::array ids;
    std::string_view target;
    if (parser.parse(request.recorded.body).get(root) != simdjson::SUCCESS ||
        root["TargetId"].get(target) != simdjson::SUCCESS ||
        root["LocalItemIds"].get(ids) != simdjson::SUCCESS) {
        return fail(response, 400, "TargetId and LocalItemIds are required");
    }
    std::lock_guard lock(mutex_);
    syncDataRequests_.push_back(request.recorded.body);
    vk::JsonWriter writer(response.body);
    writer.beginObject();
    writer.key("ItemIdsToRemove");
    writer.beginArray();
    for (simdjson::dom::element value : ids) {
        std::string_view id;
        if (value.get(id) != simdjson::SUCCESS)
            continue;
        std::string text(id);
        if (dropped_.count(text) != 0 || library_->find(text) == nullptr)
            writer.string(text);
    }
    writer.endArray();
    writer.endObject();
}

void SyncJobs::installRoutes(RefServer& server, std::shared_ptr<SyncJobs> self) {
    server.route("POST", "Sync/Jobs", [self](const Request& request, Response& response) {
        self->createJob(request, response);
    });
    server.route("GET", "Sync/Items/Ready", [self](const Request& request, Response& response) {
        self->answerReady(request, response);
    });
    server.route("GET", "Sync/JobItems/([0-9]+)/File",
                 [self](const Request& request, Response& response) {
                     self->answerFile(request, response, false);
                 });
    server.route("GET", "Sync/JobItems/([0-9]+)/AdditionalFiles",
                 [self](const Request& request, Response& response) {
                     self->answerFile(request, response, true);
                 });
    server.route("POST", "Sync/JobItems/([0-9]+)/Transferred",
                 [self](const Request& request, Response& response) {
                     const std::int64_t id =
                         std::strtoll(request.captures.at(0).c_str(), nullptr, 10);
                     std::lock_guard lock(self->mutex_);
                     bool known = false;
                     for (auto& state : self->jobItems_) {
                         if (state.id == id) {
                             state.transferred = true;
                             known = true;
                         }
                     }
                     if (!known)
                         return fail(response, 404, "job item not found");
                     self->transferred_.push_back(id);
                     response.status = 204;
                 });
    server.route("POST", "Sync/Data", [self](const Request& request, Response& response) {
        self->answerSyncData(request, response);
    });
    server.route("POST", "Sync/OfflineActions", [self](const Request& request, Response& response) {
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (parser.parse(request.recorded.body).get(root) != simdjson::SUCCESS || !root.is_array())
            return fail(response, 400, "a JSON list of actions is required");
        std::lock_guard lock(self->mutex_);
        self->offlineActions_.push_back(request.recorded.body);
        response.status = 204;
    });
}

}  // namespace refserver
