// Library's queries: the items lists (Users/{user}/Items, Items, Artists) with their filters,
// sorting and paging, and the latest items.
#include <algorithm>
#include <set>

#include "refserver/ErrorAnswer.h"
#include "refserver/Library.h"
#include "refserver/QueryParameters.h"
#include "refserver/SampleMedia.h"

namespace refserver {

void Library::answerItems(const Request& request, Response& response,
                          const std::optional<std::string>& pathUser, bool artistsOnly) {
    const QueryParameters params(request.recorded.query);
    std::optional<std::string> user = pathUser;
    if (!user)
        user = params.get("UserId");
    if (user && *user != options_.userId)
        return fail(response, 404, "user not found");
    const bool withUser = user.has_value();

    std::optional<std::string> parentId = params.get("ParentId");
    if (parentId && parentId->empty())
        parentId.reset();
    if (parentId && !find(*parentId))
        return fail(response, 404, "parent not found");
    bool recursive = artistsOnly;
    if (auto value = params.get("Recursive")) {
        auto flag = parseFlag(*value);
        if (!flag)
            return fail(response, 400, "Recursive must be true or false");
        recursive = recursive || *flag;
    }

    std::set<std::string> include;
    std::set<std::string> exclude;
    if (artistsOnly) {
        include.insert("musicartist");
    } else if (auto value = params.get("IncludeItemTypes")) {
        for (auto& type : splitList(*value))
            include.insert(type);
    }
    if (auto value = params.get("ExcludeItemTypes")) {
        for (auto& type : splitList(*value))
            exclude.insert(type);
    }
    std::optional<bool> includeMedia;
    std::optional<bool> includeArtists;
    for (auto [name, target] :
         {std::pair{"IncludeMedia", &includeMedia}, std::pair{"IncludeArtists", &includeArtists}}) {
        if (auto value = params.get(name)) {
            *target = parseFlag(*value);
            if (!*target)
                return fail(response, 400, std::string(name) + " must be true or false");
        }
    }
    std::string search = lower(params.get("SearchTerm").value_or(""));

    // Filters on the user's data.
    std::optional<bool> favorite;
    std::optional<bool> played;
    std::optional<bool> folder;
    bool resumable = false;
    if (auto value = params.get("Filters")) {
        for (const std::string& filter : splitList(*value)) {
            if (filter == "isfavorite")
                favorite = true;
            else if (filter == "isnotfavorite")
                favorite = false;
            else if (filter == "isplayed")
                played = true;
            else if (filter == "isunplayed")
                played = false;
            else if (filter == "isfolder")
                folder = true;
            else if (filter == "isnotfolder")
                folder = false;
            else if (filter == "isresumable")
                resumable = true;
            else
                return fail(response, 400, "unknown filter " + filter);
        }
    }
    for (auto [name, target] :
         {std::pair{"IsFavorite", &favorite}, std::pair{"IsPlayed", &played}}) {
        if (auto value = params.get(name)) {
            *target = parseFlag(*value);
            if (!*target)
                return fail(response, 400, std::string(name) + " must be true or false");
        }
    }
    if ((favorite || played || resumable) && !withUser)
        return fail(response, 400, "filters on user data need a user");

    // Sorting and paging.
    std::vector<std::string> sortBy;
    if (auto value = params.get("SortBy"))
        sortBy = splitList(*value);
    static const std::set<std::string> kSortKeys = {
        "sortname",       "name",         "random", "datecreated", "dateplayed",  "playcount",
        "productionyear", "premieredate", "album",  "albumartist", "indexnumber", "runtime"};
    for (const std::string& key : sortBy) {
        if (!kSortKeys.count(key))
            return fail(response, 400, "unknown sort key " + key);
    }
    bool descending = false;
    if (auto value = params.get("SortOrder")) {
        std::vector<std::string> orders = splitList(*value);
        if (!orders.empty() && orders.front() == "descending")
            descending = true;
        else if (!orders.empty() && orders.front() != "ascending")
            return fail(response, 400, "SortOrder must be Ascending or Descending");
    }
    std::int64_t startIndex = 0;
    std::optional<std::int64_t> limit;
    if (auto value = params.get("StartIndex")) {
        auto parsed = parseCount(*value);
        if (!parsed)
            return fail(response, 400, "StartIndex must be a count");
        startIndex = *parsed;
    }
    if (auto value = params.get("Limit")) {
        limit = parseCount(*value);
        if (!limit)
            return fail(response, 400, "Limit must be a count");
    }
    bool countAll = true;
    if (auto value = params.get("EnableTotalRecordCount")) {
        auto flag = parseFlag(*value);
        if (!flag)
            return fail(response, 400, "EnableTotalRecordCount must be true or false");
        countAll = *flag;
    }

    std::vector<UserItemState> states;
    std::uint64_t round = 0;
    {
        std::lock_guard lock(mutex_);
        states = states_;
        round = ++randomRound_;
    }

    std::vector<std::size_t> matched;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const LibraryItem& item = items_[i];
        if (parentId) {
            if (recursive ? !isDescendant(item, *parentId) : item.parentId != *parentId)
                continue;
        } else if (!recursive && !item.parentId.empty()) {
            continue;  // without a parent, the top level: the views
        } else if (recursive && item.type == "CollectionFolder") {
            continue;
        }
        const std::string& type = keys_[i].type;
        if (!include.empty() && !include.count(type))
            continue;
        if (exclude.count(type))
            continue;
        const bool isArtist = type == "musicartist";
        if (includeArtists == false && isArtist)
            continue;
        if (includeMedia == false && !isArtist)
            continue;
        // Like real servers, a search finds a track by its album's name too.
        if (!search.empty() && keys_[i].name.find(search) == std::string::npos &&
            keys_[i].album.find(search) == std::string::npos)
            continue;
        const UserItemState& state = states[i];
        if (favorite && state.isFavorite != *favorite)
            continue;
        if (played && state.played != *played)
            continue;
        if (folder && item.isFolder != *folder)
            continue;
        if (resumable && state.playbackPositionTicks <= 0)
            continue;
        matched.push_back(i);
    }

    if (!sortBy.empty()) {
        auto compareKey = [&](const std::string& key, std::size_t a, std::size_t b) -> int {
            const LibraryItem& x = items_[a];
            const LibraryItem& y = items_[b];
            auto cmp = [](const auto& l, const auto& r) { return l < r ? -1 : (r < l ? 1 : 0); };
            if (key == "sortname")
                return cmp(keys_[a].sortNameRank, keys_[b].sortNameRank);
            if (key == "name")
                return cmp(keys_[a].nameRank, keys_[b].nameRank);
            if (key == "random")
                return cmp(mix(x.seed ^ round), mix(y.seed ^ round));
            if (key == "datecreated")
                return cmp(x.created, y.created);
            if (key == "dateplayed")
                return cmp(states[a].lastPlayed, states[b].lastPlayed);
            if (key == "playcount")
                return cmp(states[a].playCount, states[b].playCount);
            if (key == "productionyear" || key == "premieredate")
                return cmp(x.productionYear, y.productionYear);
            if (key == "album")
                return cmp(keys_[a].albumRank, keys_[b].albumRank);
            if (key == "albumartist")
                return cmp(keys_[a].artistRank, keys_[b].artistRank);
            if (key == "indexnumber")
                return cmp(std::pair(x.parentIndexNumber, x.indexNumber),
                           std::pair(y.parentIndexNumber, y.indexNumber));
            return cmp(x.runTimeTicks, y.runTimeTicks);  // runtime
        };
        std::stable_sort(matched.begin(), matched.end(), [&](std::size_t a, std::size_t b) {
            for (const std::string& key : sortBy) {
                int order = compareKey(key, a, b);
                if (order != 0)
                    return descending ? order > 0 : order < 0;
            }
            return false;
        });
    }

    const std::size_t total = matched.size();
    const std::size_t first = std::min(total, static_cast<std::size_t>(startIndex));
    std::size_t last = total;
    if (limit)
        last = std::min(total, first + static_cast<std::size_t>(*limit));

    std::string& out = response.body;
    {
        std::lock_guard lock(mutex_);
        std::size_t size = 64;
        for (std::size_t n = first; n < last; ++n)
            size +=
                staticJson_[matched[n]].size() + 1 + (withUser ? userJson_[matched[n]].size() : 1);
        out.reserve(size);
        out += "{\"Items\":[";
        for (std::size_t n = first; n < last; ++n) {
            std::size_t i = matched[n];
            if (n != first)
                out += ',';
            out += staticJson_[i];
            if (withUser)
                out += userJson_[i];
            else
                out += '}';
        }
    }
    out += "],\"TotalRecordCount\":";
    out += std::to_string(countAll ? total : last - first);
    out += '}';
}

void Library::answerLatest(const Request& request, Response& response) {
    const QueryParameters params(request.recorded.query);
    std::optional<std::string> parentId = params.get("ParentId");
    if (parentId && parentId->empty())
        parentId.reset();
    if (parentId && !find(*parentId))
        return fail(response, 404, "parent not found");
    std::set<std::string> include;
    if (auto value = params.get("IncludeItemTypes")) {
        for (auto& type : splitList(*value))
            include.insert(type);
    }
    std::int64_t limit = 20;
    if (auto value = params.get("Limit")) {
        auto parsed = parseCount(*value);
        if (!parsed)
            return fail(response, 400, "Limit must be a count");
        limit = *parsed;
    }
    bool group = true;
    if (auto value = params.get("GroupItems")) {
        auto flag = parseFlag(*value);
        if (!flag)
            return fail(response, 400, "GroupItems must be true or false");
        group = *flag;
    }
    const bool albumsAllowed = include.empty() || include.count("musicalbum");

    std::vector<UserItemState> states;
    {
        std::lock_guard lock(mutex_);
        states = states_;
    }
    std::vector<std::size_t> picked;
    std::set<std::size_t> seen;
    for (std::size_t n = items_.size();
         n-- > 0 && static_cast<std::int64_t>(picked.size()) < limit;) {
        const LibraryItem& item = items_[n];
        if (parentId && !isDescendant(item, *parentId))
            continue;
        const std::string& type = keys_[n].type;
        if (include.empty() ? item.isFolder : !include.count(type))
            continue;
        std::size_t chosen = n;
        if (group && albumsAllowed && item.type == "Audio")
            chosen = index_.at(item.albumId);
        if (seen.insert(chosen).second)
            picked.push_back(chosen);
    }
    std::string& out = response.body;
    out += '[';
    for (std::size_t n = 0; n < picked.size(); ++n) {
        if (n)
            out += ',';
        out += staticJson_[picked[n]];
        out += ",\"UserData\":";
        appendUserData(out, items_[picked[n]], states[picked[n]]);
        out += '}';
    }
    out += ']';
}

}  // namespace refserver
