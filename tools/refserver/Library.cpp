// Library: the reference server's media library. This file holds making the library and reading
// it; the generated sample is in LibrarySample.cpp, the items' JSON in LibraryJson.cpp, the items
// queries in LibraryQueries.cpp and the routes in LibraryRoutes.cpp.
#include "refserver/Library.h"

#include "refserver/SampleMedia.h"

namespace refserver {

Library::Library(LibraryOptions options, std::string serverId)
    : options_(std::move(options)), serverId_(std::move(serverId)) {
    generate();
    prepareJson();
    userJson_.resize(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i)
        refreshUserJson(i);
}

std::shared_ptr<Library> Library::install(RefServer& server, LibraryOptions options) {
    auto library = std::make_shared<Library>(std::move(options), server.options().serverId);
    library->installRoutes(server, library);
    return library;
}

const LibraryItem* Library::find(const std::string& id) const {
    auto found = index_.find(id);
    return found == index_.end() ? nullptr : &items_[found->second];
}

std::vector<const LibraryItem*> Library::ofType(const std::string& type) const {
    std::vector<const LibraryItem*> out;
    for (const LibraryItem& item : items_) {
        if (item.type == type)
            out.push_back(&item);
    }
    return out;
}

std::vector<const LibraryItem*> Library::children(const std::string& parentId) const {
    std::vector<const LibraryItem*> out;
    for (const LibraryItem& item : items_) {
        if (item.parentId == parentId)
            out.push_back(&item);
    }
    return out;
}

bool Library::isDescendant(const LibraryItem& item, const std::string& ancestorId) const {
    const LibraryItem* at = &item;
    while (!at->parentId.empty()) {
        if (at->parentId == ancestorId)
            return true;
        at = &items_[index_.at(at->parentId)];
    }
    return false;
}

UserItemState Library::userState(const std::string& id) const {
    auto found = index_.find(id);
    std::lock_guard lock(mutex_);
    return found == index_.end() ? UserItemState() : states_[found->second];
}

std::string Library::audioFile(const LibraryItem& item) const {
    if (item.type != "Audio")
        return {};
    return wavFile(item.seed, item.audioSeconds);
}

std::vector<PlaybackReport> Library::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

void Library::clearReports() {
    std::lock_guard lock(mutex_);
    reports_.clear();
}

void Library::setReportObserver(std::function<void(const PlaybackReport&)> observer) {
    std::lock_guard lock(mutex_);
    reportObserver_ = std::move(observer);
}

}  // namespace refserver
