// Library: the reference server's media library, a deterministic generated sample, and the
// routes that serve it.
//
// The sample (the same for the same options, ids included):
//   - three views: "Music" (artists > albums > tracks), "Movies" and "Shows" (one series >
//     seasons > episodes);
//   - `tracks` audio tracks, `tracksPerAlbum` to an album, `albumsPerArtist` albums to an artist;
//     each track is a generated WAV file of 20-60 s whose RunTimeTicks match its length;
//   - `movies` movies (no media file), every item with a generated PNG cover (movies and series
//     also with a backdrop);
//   - one user (`userId`) with favourites and played states spread over the sample.
//
// Routes (under "/vorn", all needing the server's token when one is set):
//   GET  Users/{user}/Views                       the views, with the user's data
//   GET  Users/{user}/Items, Items                items: ParentId, Recursive, IncludeItemTypes,
//        ExcludeItemTypes, SearchTerm (in the name, or a track's album name), SortBy (SortName,
//        Name, Random, DateCreated, DatePlayed, PlayCount, ProductionYear, PremiereDate, Album,
//        AlbumArtist, IndexNumber, Runtime), SortOrder, Filters (IsFavorite, IsNotFavorite,
//        IsPlayed, IsUnplayed, IsFolder, IsNotFolder, IsResumable), IsFavorite, IsPlayed,
//        IncludeMedia, IncludeArtists, StartIndex, Limit, EnableTotalRecordCount, UserId (for
//        Items)
//   GET  Users/{user}/Items/{id}, Items/{id}       one item
//   GET  Users/{user}/Items/Latest                newest first: ParentId, IncludeItemTypes, Limit
//        (20), GroupItems (tracks grouped into their albums unless "false")
//   GET  Artists                                  the artists, with the Items parameters
//   POST/DELETE Users/{user}/FavoriteItems/{id}   marks / unmarks; answers the new user data
//   GET  Items/{id}/Images/{type}[/{index}]       PNG (Primary; Backdrop for movies and series),
//        honouring Width, Height, MaxWidth, MaxHeight
//   GET  Audio/{id}/universal                     the track's WAV file; Range requests get 206
//   POST Sessions/Playing[/Progress|/Stopped]     playback reports: recorded, applied to the
//        user's resume position and played state, answered 204
// Unknown users and items get 404; a parameter value the server cannot use gets 400.
//
// Thread rule: thread-safe (the routes run on the server's worker threads). Ownership: install()
// returns the library shared with the routes, which keep it alive as long as the server.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "refserver/RefServer.h"

namespace refserver {

struct LibraryOptions {
    int tracks = 120;
    int tracksPerAlbum = 10;
    int albumsPerArtist = 3;
    int movies = 4;
    int seasons = 2;
    int episodesPerSeason = 3;
    std::string userId = "3f2a9c1e5b7d4e6f8a0b1c2d3e4f5a6b";
    /// Side of square covers in pixels (movie posters are 2:3 of this height).
    int coverSize = 300;
};

/// One playback report as the server received it.
struct PlaybackReport {
    std::string endpoint;  ///< "Sessions/Playing", "Sessions/Playing/Progress", ".../Stopped"
    std::string body;      ///< the JSON text as received
    std::string itemId;
    std::string playSessionId;
    std::string eventName;  ///< "EventName" of start and progress reports; empty for stop
    std::optional<std::int64_t> positionTicks;
};

/// A library item as the server holds it (what its JSON is made from).
struct LibraryItem {
    std::string id;
    std::string name;
    std::string type;       ///< "CollectionFolder", "MusicArtist", "MusicAlbum", "Audio", ...
    std::string mediaType;  ///< "Audio", "Video" or empty
    std::string parentId;   ///< empty for views
    std::string collectionType;
    bool isFolder = false;
    std::string album;
    std::string albumId;
    std::string artist;
    std::string artistId;
    std::string seriesName;
    std::string seriesId;
    std::string seasonId;
    int indexNumber = 0;
    int parentIndexNumber = 0;
    int productionYear = 0;
    std::int64_t runTimeTicks = 0;
    int audioSeconds = 0;      ///< length of the generated file (tracks only)
    std::int64_t created = 0;  ///< order of addition: larger is newer
    std::string genre;
    std::string imageTag;
    bool hasBackdrop = false;
    int coverWidth = 0;
    int coverHeight = 0;
    std::uint64_t seed = 0;  ///< chooses cover colours and the tone
};

/// The user's data for one item.
struct UserItemState {
    bool isFavorite = false;
    bool played = false;
    std::int64_t playCount = 0;
    std::int64_t playbackPositionTicks = 0;
    std::int64_t lastPlayed = 0;  ///< order of the last play: larger is later; 0 never
};

class Library {
  public:
    explicit Library(LibraryOptions options, std::string serverId);

    /// Makes a library for `server` (its server id) and installs the routes.
    static std::shared_ptr<Library> install(RefServer& server, LibraryOptions options = {});
    void installRoutes(RefServer& server, std::shared_ptr<Library> self);

    const LibraryOptions& options() const { return options_; }
    const std::string& userId() const { return options_.userId; }
    const std::string& serverId() const { return serverId_; }

    /// Every item in the order of generation (views, artists, albums and tracks, movies, shows).
    const std::vector<LibraryItem>& items() const { return items_; }
    const LibraryItem* find(const std::string& id) const;
    /// The items of one type ("MusicAlbum"), in the order of generation.
    std::vector<const LibraryItem*> ofType(const std::string& type) const;
    /// The direct children of `parentId`, in the order of generation.
    std::vector<const LibraryItem*> children(const std::string& parentId) const;

    UserItemState userState(const std::string& id) const;
    /// The item's JSON as the routes send it; with the user's data when `withUser`.
    std::string itemJson(const LibraryItem& item, bool withUser) const;
    /// The track's audio file; empty for other items.
    std::string audioFile(const LibraryItem& item) const;

    /// Reports received so far, oldest first.
    std::vector<PlaybackReport> reports() const;
    void clearReports();
    /// Called with every report as it arrives (on the server's worker thread).
    void setReportObserver(std::function<void(const PlaybackReport&)> observer);

  private:
    struct Query;
    void generate();
    LibraryItem& add(LibraryItem item);
    void prepareJson();
    bool isDescendant(const LibraryItem& item, const std::string& ancestorId) const;
    std::string userDataJson(const LibraryItem& item, const UserItemState& state) const;
    void appendUserData(std::string& out, const LibraryItem& item,
                        const UserItemState& state) const;
    /// Rewrites userJson_[index] after its state changed; runs under mutex_.
    void refreshUserJson(std::size_t index);
    /// Runs an items query; answers 400 for unusable parameters.
    void answerItems(const Request& request, Response& response,
                     const std::optional<std::string>& pathUser, bool artistsOnly);
    void answerLatest(const Request& request, Response& response);
    void answerImage(const Request& request, Response& response);
    void answerReport(const Request& request, Response& response, const std::string& endpoint);

    const LibraryOptions options_;
    const std::string serverId_;
    std::vector<LibraryItem> items_;
    std::map<std::string, std::size_t> index_;
    std::vector<std::string> staticJson_;  ///< each item's JSON without user data and "}"
    /// Each item's texts as queries compare them (lower case), and their places in text order
    /// (sorting 5,000 items compares numbers, not texts).
    struct Keys {
        std::string type;
        std::string name;
        std::string sortName;
        std::string album;
        std::string artist;
        std::uint32_t nameRank = 0;
        std::uint32_t sortNameRank = 0;
        std::uint32_t albumRank = 0;
        std::uint32_t artistRank = 0;
    };
    std::vector<Keys> keys_;

    mutable std::mutex mutex_;
    std::vector<UserItemState> states_;
    /// Each item's ",\"UserData\":{...}}", kept in step with states_ (answers are mostly copies).
    std::vector<std::string> userJson_;
    std::vector<PlaybackReport> reports_;
    std::function<void(const PlaybackReport&)> reportObserver_;
    std::int64_t playOrder_ = 0;
    std::uint64_t randomRound_ = 0;
};

}  // namespace refserver
