#include "VornKit/Browse/SearchProvider.h"

#include <limits.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <utility>

#include "VornKit/Browse/FrontEndItem.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

namespace {

constexpr std::size_t kRememberedItems = 2000;
constexpr std::chrono::milliseconds kIconPoll{20};
/// The width covers are asked for: the shell shows result icons at 64 logical pixels, twice that
/// on a doubled display. A larger picture costs the server, the network and the decoding and
/// encoding here for nothing, and searches wait for that work.
constexpr int kIconPixels = 128;

std::string joinedTerms(const std::vector<std::string>& terms) {
    std::string out;
    for (const auto& term : terms) {
        if (term.empty())
            continue;
        if (!out.empty())
            out += ' ';
        out += term;
    }
    return out;
}

/// "artist - album": the first artist (else the album artist) and the album (the name of an
/// album item); either part may be missing.
std::string description(const BaseItemDto& item) {
    std::string artist;
    if (item.Artists && !item.Artists->empty())
        artist = item.Artists->front().str();
    else if (item.AlbumArtist)
        artist = item.AlbumArtist.str();
    std::string album = item.Album ? item.Album.str() : std::string();
    if (album.empty() && item.Type == "MusicAlbum")
        album = item.Name.str();
    if (!artist.empty() && !album.empty())
        return artist + " - " + album;
    return artist.empty() ? album : artist;
}

/// `text` in a file name, one to one: letters, digits and '-' stay, every other byte becomes '_'
/// and two hex digits. The result has no '.' and no '/'.
std::string fileSafe(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '_';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

/// The cover file of one picture of one server, in one version:
/// "<server>.<item>-<type>.<tag>.png", server, item and tag fileSafe(), so that no two pictures
/// (server, item, type, tag) share a file, a new tag is a new file, and the results that show one
/// picture (the tracks of an album) share its file. Empty when the name would be longer than a
/// file name may be.
std::string coverFileName(std::string_view serverId, const MediaSource::ImageChoice& picture) {
    std::string name = fileSafe(serverId) + "." + fileSafe(picture.itemId) + "-" +
                       std::string(imageTypeName(picture.type)) + "." +
                       fileSafe(picture.tag.value_or(std::string())) + ".png";
    return name.size() <= NAME_MAX ? name : std::string();
}

/// The part of a cover file's name that names the picture, whatever its version.
std::string pictureOf(const std::string& file) {
    return file.substr(0, file.find('.', file.find('.') + 1) + 1);
}

/// Removes the other versions of `file`'s cover (same server and item, another tag).
void removeOtherVersions(const std::filesystem::path& directory, const std::string& file) {
    const std::string prefix = pictureOf(file);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        if (name != file && name.rfind(prefix, 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".png") == 0)
            std::filesystem::remove(entry.path(), ec);
    }
}

/// One result's metadata as the shell reads it.
std::map<std::string, sdbus::Variant> busMeta(const SearchProvider::Meta& meta) {
    std::map<std::string, sdbus::Variant> entry;
    entry["id"] = sdbus::Variant(meta.id);
    entry["name"] = sdbus::Variant(meta.name);
    entry["description"] = sdbus::Variant(meta.description);
    if (meta.iconPath)
        entry["gicon"] = sdbus::Variant(*meta.iconPath);
    return entry;
}

}  // namespace

/// One query waiting for its answer; answered exactly once (result, supersession or timeout).
struct SearchProvider::Query {
    std::uint64_t generation = 0;
    std::atomic<bool> answered{false};
    std::function<void(std::vector<std::string>)> reply;

    void answer(std::vector<std::string> ids) {
        if (!answered.exchange(true))
            reply(std::move(ids));
    }
};

/// The exported object and the calls it has not answered yet. Bus thread only.
///
/// A held call's message refers to the bus connection, so it must be answered and released on
/// the bus thread while the connection exists: the provider's teardown answers every call still
/// held with nothing, and an answer arriving after that finds nothing to do.
struct SearchProvider::Impl : std::enable_shared_from_this<SearchProvider::Impl> {
    struct Held {
        std::shared_ptr<void> call;
        std::function<void()> answerEmpty;
    };

    std::weak_ptr<DBusConnection> connection;
    std::unique_ptr<sdbus::IObject> object;
    std::uint64_t nextCall = 0;
    std::map<std::uint64_t, Held> held;

    /// Keeps `result` until the returned completion is called (from any thread, at most once
    /// counts) or the provider goes. `convert` turns the completion's value into the reply on
    /// the bus thread, where sdbus values may be made.
    template <class Reply, class Value, class Convert>
    std::function<void(Value)> hold(sdbus::Result<Reply>&& result, Convert convert) {
        auto call = std::make_shared<sdbus::Result<Reply>>(std::move(result));
        const std::uint64_t number = nextCall++;
        held[number] = Held{call, [call] { call->returnResults(Reply{}); }};
        std::weak_ptr<sdbus::Result<Reply>> weakCall = call;
        std::weak_ptr<Impl> weakSelf = weak_from_this();
        return [weakCall, weakSelf, number, convert, bus = connection](Value value) {
            auto connection = bus.lock();
            if (!connection)
                return;
            connection->post([=, value = std::move(value)](sdbus::IConnection&) {
                auto self = weakSelf.lock();
                if (!self)
                    return;
                auto found = self->held.find(number);
                if (found == self->held.end())
                    return;
                if (auto live = weakCall.lock())
                    live->returnResults(convert(value));
                self->held.erase(found);
            });
        };
    }

    /// Takes the object off the bus and answers what it still holds (bus thread).
    void close() {
        object.reset();
        auto left = std::move(held);
        held.clear();
        for (auto& [number, entry] : left)
            entry.answerEmpty();
    }
};

SearchProvider::SearchProvider(std::shared_ptr<DBusConnection> connection,
                               std::shared_ptr<ConnectionManager> manager, Options options)
    : connection_(std::move(connection)),
      manager_(std::move(manager)),
      options_(std::move(options)),
      impl_(std::make_shared<Impl>()) {
    impl_->connection = connection_;
    if (!options_.iconDirectory.empty())
        iconDirectory_ = options_.iconDirectory;
    else if (auto folder = Directories::temporary())
        iconDirectory_ = *folder / "vornkit-search-icons";
    // else none: results are given without icons.
}

std::shared_ptr<SearchProvider> SearchProvider::start(std::shared_ptr<DBusConnection> connection,
                                                      std::shared_ptr<ConnectionManager> manager,
                                                      Options options, std::string* error) {
    if (!connection || !manager) {
        if (error)
            *error = "no bus connection or connection manager";
        return nullptr;
    }
    std::shared_ptr<SearchProvider> self(
        new SearchProvider(connection, std::move(manager), std::move(options)));
    std::error_code ec;
    if (!self->iconDirectory_.empty())
        std::filesystem::create_directories(self->iconDirectory_, ec);
    std::weak_ptr<SearchProvider> weak = self;
    Impl* impl = self->impl_.get();  // the handlers live inside it, so it outlives them
    DBusError failure;
    const bool ok = connection->perform(
        [&](sdbus::IConnection& bus) {
            if (self->options_.busName)
                bus.requestName(*self->options_.busName);
            auto object = sdbus::createObject(bus, self->options_.objectPath);
            using Ids = std::vector<std::string>;
            auto searchMethod = [weak, impl](sdbus::Result<Ids>&& result, const Ids& terms) {
                auto provider = weak.lock();
                if (!provider) {
                    result.returnResults({});
                    return;
                }
                provider->search(terms, impl->hold<Ids, Ids>(std::move(result),
                                                             [](const Ids& ids) { return ids; }));
            };
            object->registerMethod("GetInitialResultSet")
                .onInterface(kInterface)
                .withInputParamNames("terms")
                .withOutputParamNames("results")
                .implementedAs(searchMethod);
            object->registerMethod("GetSubsearchResultSet")
                .onInterface(kInterface)
                .withInputParamNames("previous_results", "terms")
                .withOutputParamNames("results")
                .implementedAs([searchMethod](sdbus::Result<std::vector<std::string>>&& result,
                                              const std::vector<std::string>&,
                                              const std::vector<std::string>& terms) {
                    searchMethod(std::move(result), terms);
                });
            using MetaList = std::vector<std::map<std::string, sdbus::Variant>>;
            object->registerMethod("GetResultMetas")
                .onInterface(kInterface)
                .withInputParamNames("identifiers")
                .withOutputParamNames("metas")
                .implementedAs([weak, impl](sdbus::Result<MetaList>&& result,
                                            const std::vector<std::string>& ids) {
                    auto provider = weak.lock();
                    if (!provider) {
                        result.returnResults({});
                        return;
                    }
                    provider->metas(ids, impl->hold<MetaList, std::vector<Meta>>(
                                             std::move(result), [](const std::vector<Meta>& metas) {
                                                 MetaList out;
                                                 for (const auto& meta : metas)
                                                     out.push_back(busMeta(meta));
                                                 return out;
                                             }));
                });
            object->registerMethod("ActivateResult")
                .onInterface(kInterface)
                .withInputParamNames("identifier", "terms", "timestamp")
                .implementedAs([weak](const std::string& id, const std::vector<std::string>& terms,
                                      std::uint32_t timestamp) {
                    if (auto provider = weak.lock())
                        provider->activate(id, terms, timestamp);
                });
            object->registerMethod("LaunchSearch")
                .onInterface(kInterface)
                .withInputParamNames("terms", "timestamp")
                .implementedAs(
                    [weak](const std::vector<std::string>& terms, std::uint32_t timestamp) {
                        auto provider = weak.lock();
                        if (!provider)
                            return;
                        LaunchCallback launch;
                        {
                            std::lock_guard lock(provider->mutex_);
                            launch = provider->launch_;
                        }
                        if (launch)
                            DispatchQueue::main()->async(
                                [launch, terms, timestamp] { launch(terms, timestamp); });
                    });
            object->finishRegistration();
            self->impl_->object = std::move(object);
        },
        &failure);
    if (!ok) {
        if (error)
            *error = failure.name + ": " + failure.message;
        return nullptr;
    }
    return self;
}

SearchProvider::~SearchProvider() {
    // The exported object belongs to the bus thread: take it down there.
    auto impl = std::move(impl_);
    auto busName = options_.busName;
    DBusConnection::Work work = [impl, busName](sdbus::IConnection& bus) {
        impl->close();
        if (busName)
            bus.releaseName(*busName);
    };
    // On the bus thread this may be inside one of the object's own handlers: remove it after.
    if (connection_->isBusThread())
        connection_->post(std::move(work));
    else
        connection_->perform(work);
}

void SearchProvider::setActivateCallback(ActivateCallback callback) {
    std::lock_guard lock(mutex_);
    activate_ = std::move(callback);
}

void SearchProvider::setLaunchCallback(LaunchCallback callback) {
    std::lock_guard lock(mutex_);
    launch_ = std::move(callback);
}

std::shared_ptr<ApiClient> SearchProvider::client() const {
    if (options_.serverId)
        return manager_->getApiClient(*options_.serverId);
    return manager_->getLastUsedApiClient();
}

void SearchProvider::search(const std::vector<std::string>& terms,
                            std::function<void(std::vector<std::string>)> reply) {
    auto query = std::make_shared<Query>();
    query->reply = std::move(reply);
    std::shared_ptr<Query> superseded;
    {
        std::lock_guard lock(mutex_);
        query->generation = ++generation_;
        superseded = std::exchange(pending_, query);
    }
    if (superseded)
        superseded->answer({});
    const std::string text = joinedTerms(terms);
    auto apiClient = client();
    if (text.empty() || !apiClient) {
        query->answer({});
        return;
    }
    // The shell waits for this call: answer with nothing when the server takes too long.
    std::weak_ptr<Query> weakQuery = query;
    DispatchQueue::global()->asyncAfter(options_.answerTimeout, [weakQuery] {
        if (auto late = weakQuery.lock())
            late->answer({});
    });
    std::weak_ptr<SearchProvider> weak = weak_from_this();
    MediaSource(manager_).searchForAll(
        apiClient, text, [weak, query, apiClient](std::optional<GetItemsResponse> answer) {
            auto self = weak.lock();
            bool current = false;
            if (self) {
                std::lock_guard lock(self->mutex_);
                current = self->pending_ == query;
                if (current)
                    self->pending_.reset();
            }
            if (!self || !current || !answer) {
                query->answer({});
                return;
            }
            self->remember(answer->Items, apiClient);
            std::vector<std::string> ids;
            for (const auto& item : answer->Items)
                ids.push_back(item->Id.str());
            query->answer(std::move(ids));
        });
}

void SearchProvider::remember(const ItemList& items, const std::shared_ptr<ApiClient>& client) {
    std::vector<std::pair<std::shared_ptr<BaseItemDto>, std::string>> fetch;
    const std::string serverId = client->serverId();
    {
        std::lock_guard lock(mutex_);
        if (items_.size() + items.size() > kRememberedItems) {
            items_.clear();
            covers_.clear();
            coverFiles_.clear();
            pictures_.clear();
        }
        for (const auto& item : items) {
            const std::string id = item->Id.str();
            items_[id] = item;
            auto picture = MediaSource::chooseImage(*item);
            std::string file = picture ? coverFileName(serverId, *picture) : "";
            covers_[id] = file;
            if (file.empty())
                continue;
            pictures_[pictureOf(file)] = file;
            // Each file is fetched once, for the first result that shows it.
            if (coverFiles_.emplace(file, false).second)
                fetch.emplace_back(item, std::move(file));
        }
    }
    for (const auto& [item, file] : fetch)
        fetchIcon(item, client, file);
}

void SearchProvider::fetchIcon(const std::shared_ptr<BaseItemDto>& item,
                               const std::shared_ptr<ApiClient>& client, const std::string& file) {
    const auto path = iconDirectory_ / file;
    std::weak_ptr<SearchProvider> weak = weak_from_this();
    // Marks the fetch ended. Says whether `file` is still its picture's version, or another
    // version has taken its place meanwhile (a result showed the picture with a new tag).
    enum class Standing { current, superseded, unknown };
    auto finish = [weak, file] {
        auto self = weak.lock();
        if (!self)
            return Standing::unknown;
        std::lock_guard lock(self->mutex_);
        auto fetched = self->coverFiles_.find(file);
        if (fetched == self->coverFiles_.end())
            return Standing::unknown;
        fetched->second = true;
        auto picture = self->pictures_.find(pictureOf(file));
        if (picture != self->pictures_.end() && picture->second != file)
            return Standing::superseded;
        return Standing::current;
    };
    std::error_code ec;
    auto url = MediaSource::getImageURL(*client, *item, kIconPixels);
    if (iconDirectory_.empty() || std::filesystem::exists(path, ec) || !url) {
        finish();
        return;
    }
    loadImageAsync(
        item, *url,
        [directory = iconDirectory_, path, file, finish](std::shared_ptr<const Image> image) {
            bool written = false;
            if (auto png = image ? image->pngData() : std::nullopt) {
                // Written aside and renamed, so the shell never reads half a file.
                auto partial = path;
                partial += ".part" + std::to_string(::getpid());
                std::error_code ec;
                written = PrivateFiles::write(partial, *png);
                if (written)
                    std::filesystem::rename(partial, path, ec);
                written = written && !ec;
                if (!written)
                    std::filesystem::remove(partial, ec);
            }
            const Standing standing = finish();
            std::error_code ec;
            if (written && standing == Standing::current)
                removeOtherVersions(directory, file);
            else if (written && standing == Standing::superseded)
                std::filesystem::remove(path, ec);
        });
}

void SearchProvider::metas(const std::vector<std::string>& ids,
                           std::function<void(std::vector<Meta>)> reply) {
    const auto deadline = std::chrono::steady_clock::now() + options_.iconWait;
    auto weak = weak_from_this();
    // Polls until every asked cover has ended or the wait is over, then answers.
    auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [weak, ids, reply = std::move(reply), deadline, attempt]() mutable {
        auto self = weak.lock();
        if (!self) {
            reply({});
            *attempt = nullptr;
            return;
        }
        std::vector<Meta> out;
        bool waiting = false;
        {
            std::lock_guard lock(self->mutex_);
            for (const auto& id : ids) {
                auto found = self->items_.find(id);
                if (found == self->items_.end())
                    continue;
                auto cover = self->covers_.find(id);
                const std::string file =
                    cover != self->covers_.end() ? cover->second : std::string();
                auto fetched = self->coverFiles_.find(file);
                waiting = waiting || (fetched != self->coverFiles_.end() && !fetched->second);
                const auto& item = *found->second;
                Meta meta{id, item.Name.str(), description(item), std::nullopt};
                if (!file.empty() && !self->iconDirectory_.empty())
                    meta.iconPath = (self->iconDirectory_ / file).string();
                out.push_back(std::move(meta));
            }
        }
        if (waiting && std::chrono::steady_clock::now() < deadline) {
            DispatchQueue::global()->asyncAfter(kIconPoll, [attempt] {
                if (*attempt)
                    (*attempt)();
            });
            return;
        }
        for (auto& meta : out) {
            std::error_code ec;
            if (meta.iconPath && !std::filesystem::exists(*meta.iconPath, ec))
                meta.iconPath.reset();
        }
        auto done = std::move(reply);
        *attempt = nullptr;  // ends the cycle the function holds on itself
        done(std::move(out));
    };
    (*attempt)();
}

void SearchProvider::activate(const std::string& id, std::vector<std::string> terms,
                              std::uint32_t timestamp) {
    std::shared_ptr<BaseItemDto> item;
    ActivateCallback callback;
    {
        std::lock_guard lock(mutex_);
        auto found = items_.find(id);
        if (found != items_.end())
            item = found->second;
        callback = activate_;
    }
    if (!item || !callback)
        return;
    DispatchQueue::main()->async([callback, item, terms = std::move(terms), timestamp] {
        callback(item, terms, timestamp);
    });
}

}  // namespace vk
