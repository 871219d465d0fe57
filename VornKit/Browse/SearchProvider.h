// SearchProvider: the desktop search of a GNOME Shell session. It exports
// org.gnome.Shell.SearchProvider2 on a D-Bus connection and answers the shell's queries with
// MediaSource::searchForAll on one server's client:
//   - GetInitialResultSet(as terms) / GetSubsearchResultSet(as previous, as terms) -> as: the ids
//     of the items found for the terms joined with spaces;
//   - GetResultMetas(as ids) -> aa{sv}: "id", "name", "description" ("artist - album") and
//     "gicon", the path of a PNG file of the item's cover (when one could be fetched in time).
//     Cover files are named after the server, the item and the picture's tag, so that items
//     of two servers never share one and a picture the server changed (a new tag) is fetched
//     again; the file of the old tag is then removed;
//   - ActivateResult(s id, as terms, u timestamp): hands the item to the host's callback;
//   - LaunchSearch(as terms, u timestamp): hands the terms to the host's launch callback.
//
// A newer query supersedes an earlier one still waiting: the earlier call is answered at once
// with no results, and its answer, when it comes, is dropped. Every call is answered within
// Options::answerTimeout, with what is known by then (no results, or metas without icons), so a
// server that never answers does not hold the shell.
//
// Thread rule: thread-safe. Method handlers run on the connection's bus thread; answers are sent
// from the bus thread; search results arrive on the URL session's delegate queue. The callbacks
// run on the main queue. Ownership: the provider keeps the connection and the manager; the
// exported object is removed when the provider goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Browse/MediaSource.h"
#include "VornKit/Platform/Bus/DBusConnection.h"

namespace vk {

/// The shell's search provider for one server's library; owned by the host (shared) through
/// start().
class SearchProvider : public std::enable_shared_from_this<SearchProvider> {
  public:
    /// Library items as a search answers them.
    using ItemList = MediaSource::ItemList;
    /// The D-Bus interface the provider implements.
    static constexpr const char* kInterface = "org.gnome.Shell.SearchProvider2";

    /// Where the provider is exported, which server it searches and how long calls may wait.
    struct Options {
        /// The object path the provider is exported at.
        std::string objectPath = "/app/vorn/SearchProvider";
        /// Requested on the connection when given (the name the shell's provider file names).
        std::optional<std::string> busName;
        /// The server searched; none: the client of the server used last.
        std::optional<std::string> serverId;
        /// The longest a D-Bus call waits for the server before it is answered.
        std::chrono::milliseconds answerTimeout{1500};
        /// How long GetResultMetas waits for covers still being fetched.
        std::chrono::milliseconds iconWait{400};
        /// Where cover files go; empty: `<temporary dir>/vornkit-search-icons`.
        std::filesystem::path iconDirectory;
    };

    /// Gets the item the user picked, the search terms and the event's timestamp; see
    /// setActivateCallback().
    using ActivateCallback =
        std::function<void(std::shared_ptr<BaseItemDto> item, std::vector<std::string> terms,
                           std::uint32_t timestamp)>;
    /// Gets the search terms and the event's timestamp; see setLaunchCallback().
    using LaunchCallback =
        std::function<void(std::vector<std::string> terms, std::uint32_t timestamp)>;

    /// Exports the provider on `connection`; null with `error` set when that fails.
    static std::shared_ptr<SearchProvider> start(std::shared_ptr<DBusConnection> connection,
                                                 std::shared_ptr<ConnectionManager> manager,
                                                 Options options, std::string* error = nullptr);
    ~SearchProvider();
    SearchProvider(const SearchProvider&) = delete;
    SearchProvider& operator=(const SearchProvider&) = delete;

    /// Called on the main queue with the item the user picked, when it is among earlier results
    /// (replaces the earlier callback; empty: activations are ignored).
    void setActivateCallback(ActivateCallback callback);
    /// Called on the main queue when the user asks the application for the whole search (replaces
    /// the earlier callback; empty: ignored).
    void setLaunchCallback(LaunchCallback callback);

    /// Runs a query as GetInitialResultSet does; `reply` gets the ids once, on the session's
    /// delegate queue, the calling thread or a timer thread.
    void search(const std::vector<std::string>& terms,
                std::function<void(std::vector<std::string>)> reply);

    /// What the shell shows of one result.
    struct Meta {
        /// The result's id, its name, "artist - album", and the path of its cover's PNG file when
        /// one could be fetched in time.
        /// @{
        std::string id;
        std::string name;
        std::string description;
        std::optional<std::string> iconPath;
        /// @}
    };
    /// The metas of `ids` known from earlier results (unknown ids are left out), after waiting
    /// up to iconWait for their covers; `reply` is called once.
    void metas(const std::vector<std::string>& ids, std::function<void(std::vector<Meta>)> reply);

  private:
    struct Query;
    struct Impl;
    SearchProvider(std::shared_ptr<DBusConnection> connection,
                   std::shared_ptr<ConnectionManager> manager, Options options);
    std::shared_ptr<ApiClient> client() const;
    void remember(const ItemList& items, const std::shared_ptr<ApiClient>& client);
    /// Fetches the cover of `item` into `file` of the icon directory, unless it is there.
    void fetchIcon(const std::shared_ptr<BaseItemDto>& item,
                   const std::shared_ptr<ApiClient>& client, const std::string& file);
    void activate(const std::string& id, std::vector<std::string> terms, std::uint32_t timestamp);

    const std::shared_ptr<DBusConnection> connection_;
    const std::shared_ptr<ConnectionManager> manager_;
    const Options options_;
    std::filesystem::path iconDirectory_;

    mutable std::mutex mutex_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<Query> pending_;
    std::map<std::string, std::shared_ptr<BaseItemDto>> items_;
    /// The covers of the remembered results, by the file in the icon directory that holds the
    /// picture a result shows (results showing one picture share its file).
    std::map<std::string, std::string> covers_;    ///< result id -> cover file (empty: none)
    std::map<std::string, bool> coverFiles_;       ///< cover file -> whether its fetch has ended
    std::map<std::string, std::string> pictures_;  ///< picture -> the file of its newest version
    ActivateCallback activate_;
    LaunchCallback launch_;
    std::shared_ptr<Impl> impl_;  ///< the exported object; used on the bus thread only
};

}  // namespace vk
