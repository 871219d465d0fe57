// Library's JSON: each item's record written once when the library is made (with the ranks its
// texts sort by), and the user's data appended per answer.
#include <algorithm>
#include <charconv>
#include <map>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "refserver/Library.h"
#include "refserver/LibraryNaming.h"
#include "refserver/QueryParameters.h"
#include "refserver/SampleMedia.h"

namespace refserver {

namespace {

// Gives each item the place of its text among all items' texts (equal texts, equal places).
template <class Text, class Rank>
void rank(std::vector<std::size_t>& order, Text text, Rank place) {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return text(a) < text(b); });
    std::uint32_t current = 0;
    for (std::size_t n = 0; n < order.size(); ++n) {
        if (n > 0 && text(order[n - 1]) != text(order[n]))
            current = static_cast<std::uint32_t>(n);
        place(order[n]) = current;
    }
}

}  // namespace

void Library::prepareJson() {
    std::map<std::string, int> childCounts;
    std::map<std::string, int> albumCounts;
    std::map<std::string, int> songCounts;
    for (const LibraryItem& item : items_) {
        if (!item.parentId.empty())
            ++childCounts[item.parentId];
        if (item.type == "MusicAlbum")
            ++albumCounts[item.artistId];
        if (item.type == "Audio")
            ++songCounts[item.artistId];
    }
    staticJson_.reserve(items_.size());
    keys_.reserve(items_.size());
    for (const LibraryItem& item : items_) {
        keys_.push_back({lower(item.type), lower(item.name), sortNameOf(item.name),
                         lower(item.album), lower(item.artist)});
        std::string out;
        vk::JsonWriter writer(out);
        auto text = [&](const char* key, const std::string& value) {
            if (value.empty())
                return;
            writer.key(key);
            writer.string(value);
        };
        auto number = [&](const char* key, std::int64_t value) {
            if (value == 0)
                return;
            writer.key(key);
            writer.integer(value);
        };
        auto pairs = [&](const char* key) {
            writer.key(key);
            writer.beginArray();
            writer.beginObject();
            writer.key("Name");
            writer.string(item.artist);
            writer.key("Id");
            writer.string(item.artistId);
            writer.endObject();
            writer.endArray();
        };
        writer.beginObject();
        text("Name", item.name);
        text("ServerId", serverId_);
        text("Id", item.id);
        text("DateCreated", dateText(item.created));
        text("SortName", sortNameOf(item.name));
        if (item.productionYear != 0)
            text("PremiereDate", std::to_string(item.productionYear) + "-01-01T00:00:00.0000000Z");
        text("Type", item.type);
        text("MediaType", item.mediaType);
        text("CollectionType", item.collectionType);
        writer.key("IsFolder");
        writer.boolean(item.isFolder);
        text("ParentId", item.parentId);
        number("RunTimeTicks", item.runTimeTicks);
        number("ProductionYear", item.productionYear);
        number("IndexNumber", item.indexNumber);
        number("ParentIndexNumber", item.parentIndexNumber);
        if (item.isFolder)
            number("ChildCount", childCounts[item.id]);
        if (item.type == "MusicArtist") {
            number("AlbumCount", albumCounts[item.id]);
            number("SongCount", songCounts[item.id]);
        }
        if (!item.genre.empty()) {
            writer.key("Genres");
            writer.beginArray();
            writer.string(item.genre);
            writer.endArray();
        }
        if (!item.artist.empty()) {
            text("AlbumArtist", item.artist);
            pairs("AlbumArtists");
            pairs("ArtistItems");
            writer.key("Artists");
            writer.beginArray();
            writer.string(item.artist);
            writer.endArray();
        }
        text("Album", item.album);
        text("AlbumId", item.albumId);
        if (!item.albumId.empty())
            text("AlbumPrimaryImageTag", items_[index_.at(item.albumId)].imageTag);
        text("SeriesName", item.seriesName);
        text("SeriesId", item.seriesId);
        text("SeasonId", item.seasonId);
        writer.key("ImageTags");
        writer.beginObject();
        writer.key("Primary");
        writer.string(item.imageTag);
        writer.endObject();
        if (item.hasBackdrop) {
            writer.key("BackdropImageTags");
            writer.beginArray();
            writer.string(tag(item.seed, 0xBAC));
            writer.endArray();
        }
        if (item.type == "Audio") {
            const std::int64_t size = wavSize(item.audioSeconds);
            text("Container", "wav");
            writer.key("CanDownload");
            writer.boolean(true);
            writer.key("MediaSources");
            writer.beginArray();
            writer.beginObject();
            text("Protocol", "File");
            text("Id", item.id);
            text("Path", "/media/music/" + item.id + ".wav");
            text("Type", "Default");
            text("Container", "wav");
            number("Size", size);
            text("Name", item.name);
            writer.key("IsRemote");
            writer.boolean(false);
            number("RunTimeTicks", item.runTimeTicks);
            writer.key("SupportsTranscoding");
            writer.boolean(false);
            writer.key("SupportsDirectStream");
            writer.boolean(true);
            writer.key("SupportsDirectPlay");
            writer.boolean(true);
            writer.key("IsInfiniteStream");
            writer.boolean(false);
            writer.key("MediaStreams");
            writer.beginArray();
            writer.beginObject();
            text("Codec", "pcm_u8");
            text("Type", "Audio");
            writer.key("Channels");
            writer.integer(1);
            writer.key("SampleRate");
            writer.integer(kSampleRate);
            writer.key("BitRate");
            writer.integer(kSampleRate * 8);
            writer.key("BitDepth");
            writer.integer(8);
            writer.key("Index");
            writer.integer(0);
            writer.key("IsDefault");
            writer.boolean(true);
            writer.endObject();
            writer.endArray();
            writer.key("DefaultAudioStreamIndex");
            writer.integer(0);
            writer.endObject();
            writer.endArray();
        }
        // Left open: the user's data and the closing brace are added per answer.
        staticJson_.push_back(std::move(out));
    }
    std::vector<std::size_t> order(items_.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    rank(
        order, [&](std::size_t i) -> const std::string& { return keys_[i].name; },
        [&](std::size_t i) -> std::uint32_t& { return keys_[i].nameRank; });
    rank(
        order, [&](std::size_t i) -> const std::string& { return keys_[i].sortName; },
        [&](std::size_t i) -> std::uint32_t& { return keys_[i].sortNameRank; });
    rank(
        order, [&](std::size_t i) -> const std::string& { return keys_[i].album; },
        [&](std::size_t i) -> std::uint32_t& { return keys_[i].albumRank; });
    rank(
        order, [&](std::size_t i) -> const std::string& { return keys_[i].artist; },
        [&](std::size_t i) -> std::uint32_t& { return keys_[i].artistRank; });
}

void Library::refreshUserJson(std::size_t index) {
    std::string& out = userJson_[index];
    out.assign(",\"UserData\":");
    appendUserData(out, items_[index], states_[index]);
    out += '}';
}

std::string Library::userDataJson(const LibraryItem& item, const UserItemState& state) const {
    std::string out;
    appendUserData(out, item, state);
    return out;
}

void Library::appendUserData(std::string& out, const LibraryItem& item,
                             const UserItemState& state) const {
    // Written by hand rather than through a writer: a 5,000-item answer spends its time here.
    char number[32];
    auto append = [&](auto value) {
        auto [end, error] = std::to_chars(number, number + sizeof number, value);
        out.append(number, error == std::errc() ? end : number);
    };
    out += "{\"PlaybackPositionTicks\":";
    append(state.playbackPositionTicks);
    out += ",\"PlayCount\":";
    append(state.playCount);
    out += state.isFavorite ? ",\"IsFavorite\":true" : ",\"IsFavorite\":false";
    out += state.played ? ",\"Played\":true" : ",\"Played\":false";
    if (state.playbackPositionTicks > 0 && item.runTimeTicks > 0) {
        out += ",\"PlayedPercentage\":";
        append(100.0 * static_cast<double>(state.playbackPositionTicks) /
               static_cast<double>(item.runTimeTicks));
    }
    if (state.lastPlayed > 0) {
        out += ",\"LastPlayedDate\":\"";
        out += dateText(525'600 + state.lastPlayed);  // a year after the additions
        out += '"';
    }
    // Ids are generated hexadecimal text: nothing to escape.
    out += ",\"Key\":\"";
    out += item.id;
    out += "\",\"ItemId\":\"";
    out += item.id;
    out += "\"}";
}

std::string Library::itemJson(const LibraryItem& item, bool withUser) const {
    std::string out = staticJson_[index_.at(item.id)];
    if (withUser) {
        out += ",\"UserData\":";
        appendUserData(out, item, userState(item.id));
    }
    out += '}';
    return out;
}

}  // namespace refserver
