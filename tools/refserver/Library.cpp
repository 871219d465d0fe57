#include "refserver/Library.h"

#include <simdjson.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>
#include <set>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "refserver/ErrorAnswer.h"
#include "refserver/SampleMedia.h"

namespace refserver {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
const std::string kPngType = "image/png";

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::string hex(std::uint64_t value, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out;
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

/// A 32-digit image tag for an item's seed and the image kind.
std::string tag(std::uint64_t seed, std::uint64_t kind) {
    return hex(mix(seed ^ kind), 16) + hex(mix(seed + kind), 16);
}

/// A 32-digit id, the same for the same kind and number.
std::string makeId(std::uint64_t kind, std::uint64_t number) {
    std::uint64_t a = mix((kind << 40) ^ number);
    return hex(a, 16) + hex(mix(a ^ kind), 16);
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string sortNameOf(const std::string& name) {
    std::string_view view = name;
    for (std::string_view article : {"The ", "A ", "An "}) {
        if (view.substr(0, article.size()) == article) {
            view.remove_prefix(article.size());
            break;
        }
    }
    return lower(view);
}

std::vector<std::string> splitList(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view part = text.substr(0, comma);
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ')
            part.remove_suffix(1);
        if (!part.empty())
            out.push_back(lower(part));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return out;
}

/// "2024-01-01T00:00:00.0000000Z" plus `minutes`.
std::string dateText(std::int64_t minutes) {
    std::time_t seconds = 1'704'067'200 + minutes * 60;  // 2024-01-01T00:00:00Z
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S.0000000Z", &parts);
    return buffer;
}

std::optional<std::int64_t> parseCount(const std::string& text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

std::optional<bool> parseFlag(const std::string& text) {
    std::string value = lower(text);
    if (value == "true")
        return true;
    if (value == "false")
        return false;
    return std::nullopt;
}

// Query parameters by name, ignoring case (as media servers read them).
class Parameters {
  public:
    explicit Parameters(const Fields& query) {
        for (const auto& [name, value] : query)
            values_.emplace(lower(name), value);
    }
    std::optional<std::string> get(std::string_view name) const {
        auto found = values_.find(lower(name));
        if (found == values_.end())
            return std::nullopt;
        return found->second;
    }

  private:
    std::map<std::string, std::string> values_;
};

const char* const kArtistWords[] = {
    "Velvet",  "Silver",    "Paper",   "Hollow", "Golden",   "Quiet", "Electric", "Northern",
    "Crimson", "Wandering", "Distant", "Broken", "Midnight", "Amber", "Glass",    "Winter"};
const char* const kArtistNouns[] = {"Foxes",   "Harbours", "Lanterns", "Rivers",
                                    "Engines", "Sparrows", "Orchards", "Tides",
                                    "Comets",  "Pilots",   "Valleys",  "Echoes"};
const char* const kAlbumFirst[] = {"Morning", "Paper", "Neon",   "Salt",   "Slow",   "Open",
                                   "Falling", "Last",  "Second", "Hidden", "Little", "Bright"};
const char* const kAlbumSecond[] = {"Light",   "Boats",   "Roads",  "Signals", "Gardens", "Weather",
                                    "Letters", "Mirrors", "Houses", "Waves",   "Stories", "Fields"};
const char* const kTrackFirst[] = {"Waiting for", "Under",  "After", "Before", "Across",
                                   "Inside",      "Beyond", "Along", "Above"};
const char* const kTrackSecond[] = {"Sky",  "Door", "Line", "Song",   "Street", "Dream",
                                    "Star", "Room", "Sea",  "Bridge", "Window"};
const char* const kGenres[] = {"Rock", "Jazz", "Electronic", "Folk", "Classical", "Pop"};
const char* const kMovieTitles[] = {"The Long Harbour", "Night Train to Oslo", "A Quiet Engine",
                                    "Glass Valley",     "The Lantern Keeper",  "Paper Moon Rising",
                                    "Salt and Signals", "Northern Crossing"};

template <std::size_t N>
const char* pick(const char* const (&words)[N], std::size_t i) {
    return words[i % N];
}

// Sequential numbering with a suffix once the word combinations run out.
std::string numbered(std::string name, std::size_t i, std::size_t combinations) {
    if (i >= combinations)
        name += " " + std::to_string(i / combinations + 1);
    return name;
}

}  // namespace

Library::Library(LibraryOptions options, std::string serverId)
    : options_(std::move(options)), serverId_(std::move(serverId)) {
    generate();
    prepareJson();
    userJson_.resize(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i)
        refreshUserJson(i);
}

void Library::refreshUserJson(std::size_t index) {
    std::string& out = userJson_[index];
    out.assign(",\"UserData\":");
    appendUserData(out, items_[index], states_[index]);
    out += '}';
}

std::shared_ptr<Library> Library::install(RefServer& server, LibraryOptions options) {
    auto library = std::make_shared<Library>(std::move(options), server.options().serverId);
    library->installRoutes(server, library);
    return library;
}

LibraryItem& Library::add(LibraryItem item) {
    item.created = static_cast<std::int64_t>(items_.size());
    item.seed = mix(fnv1a(item.id));
    item.imageTag = tag(item.seed, 0x7A6);
    index_[item.id] = items_.size();
    items_.push_back(std::move(item));
    states_.emplace_back();
    return items_.back();
}

void Library::generate() {
    const int square = std::max(1, options_.coverSize);
    auto view = [&](std::uint64_t number, const char* name, const char* collection) {
        LibraryItem item;
        item.id = makeId(1, number);
        item.name = name;
        item.type = "CollectionFolder";
        item.collectionType = collection;
        item.isFolder = true;
        item.coverWidth = square;
        item.coverHeight = square;
        return add(std::move(item)).id;
    };
    const std::string musicView = view(0, "Music", "music");
    const std::string movieView = view(1, "Movies", "movies");
    const std::string showView = view(2, "Shows", "tvshows");

    // Music: artists > albums > tracks.
    const int tracks = std::max(0, options_.tracks);
    const int perAlbum = std::max(1, options_.tracksPerAlbum);
    const int perArtist = std::max(1, options_.albumsPerArtist);
    const int albums = (tracks + perAlbum - 1) / perAlbum;
    const int artists = (albums + perArtist - 1) / perArtist;
    int album = 0;
    int track = 0;
    for (int r = 0; r < artists; ++r) {
        LibraryItem artist;
        artist.id = makeId(2, static_cast<std::uint64_t>(r));
        std::size_t a = static_cast<std::size_t>(r);
        artist.name = numbered(std::string("The ") + pick(kArtistWords, a) + " " +
                                   pick(kArtistNouns, (a / 16) * 5 + a),
                               a, 16 * 12);
        artist.type = "MusicArtist";
        artist.isFolder = true;
        artist.parentId = musicView;
        artist.genre = pick(kGenres, a);
        artist.coverWidth = square;
        artist.coverHeight = square;
        const LibraryItem& addedArtist = add(std::move(artist));
        const std::string artistId = addedArtist.id;
        const std::string artistName = addedArtist.name;
        {
            UserItemState& state = states_.back();
            state.isFavorite = r % 4 == 0;
        }
        for (int k = 0; k < perArtist && album < albums; ++k, ++album) {
            LibraryItem entry;
            std::size_t j = static_cast<std::size_t>(album);
            entry.id = makeId(3, j);
            entry.name = numbered(
                std::string(pick(kAlbumFirst, j)) + " " + pick(kAlbumSecond, (j / 12) * 5 + j), j,
                12 * 12);
            entry.type = "MusicAlbum";
            entry.isFolder = true;
            entry.parentId = artistId;
            entry.artist = artistName;
            entry.artistId = artistId;
            entry.productionYear = 1970 + static_cast<int>((j * 7) % 50);
            entry.genre = pick(kGenres, static_cast<std::size_t>(r));
            entry.coverWidth = square;
            entry.coverHeight = square;
            const LibraryItem& addedAlbum = add(std::move(entry));
            const std::string albumId = addedAlbum.id;
            const std::string albumName = addedAlbum.name;
            const int year = addedAlbum.productionYear;
            states_.back().isFavorite = album % 3 == 1;
            std::int64_t albumTicks = 0;
            const std::size_t albumIndex = items_.size() - 1;
            for (int n = 1; n <= perAlbum && track < tracks; ++n, ++track) {
                LibraryItem song;
                std::size_t t = static_cast<std::size_t>(track);
                song.id = makeId(4, t);
                song.name = std::string(pick(kTrackFirst, t)) + " the " +
                            pick(kTrackSecond, t * 7 + static_cast<std::size_t>(n));
                song.type = "Audio";
                song.mediaType = "Audio";
                song.parentId = albumId;
                song.album = albumName;
                song.albumId = albumId;
                song.artist = artistName;
                song.artistId = artistId;
                song.indexNumber = n;
                song.parentIndexNumber = 1;
                song.productionYear = year;
                song.genre = pick(kGenres, static_cast<std::size_t>(r));
                song.audioSeconds = 20 + static_cast<int>(mix(t) % 41);
                song.runTimeTicks = song.audioSeconds * kTicksPerSecond;
                albumTicks += song.runTimeTicks;
                song.coverWidth = square;
                song.coverHeight = square;
                const LibraryItem& added = add(std::move(song));
                UserItemState& state = states_.back();
                state.isFavorite = track % 7 == 3;
                if (track % 5 == 0) {
                    state.played = true;
                    state.playCount = 1 + track % 3;
                    state.lastPlayed = ++playOrder_;
                } else if (track % 11 == 4) {
                    state.playbackPositionTicks = added.runTimeTicks / 2;
                }
            }
            items_[albumIndex].runTimeTicks = albumTicks;
        }
    }

    // Movies.
    for (int m = 0; m < std::max(0, options_.movies); ++m) {
        LibraryItem movie;
        std::size_t i = static_cast<std::size_t>(m);
        movie.id = makeId(5, i);
        movie.name = numbered(pick(kMovieTitles, i), i, std::size(kMovieTitles));
        movie.type = "Movie";
        movie.mediaType = "Video";
        movie.parentId = movieView;
        movie.productionYear = 1990 + static_cast<int>((i * 3) % 34);
        movie.runTimeTicks = (85 + static_cast<std::int64_t>(mix(i) % 60)) * 60 * kTicksPerSecond;
        movie.genre = "Drama";
        movie.hasBackdrop = true;
        movie.coverWidth = square * 2 / 3;
        movie.coverHeight = square;
        const LibraryItem& added = add(std::move(movie));
        UserItemState& state = states_.back();
        state.isFavorite = m == 1;
        if (m == 0) {
            state.played = true;
            state.playCount = 1;
            state.lastPlayed = ++playOrder_;
        } else if (m == 2) {
            state.playbackPositionTicks = added.runTimeTicks / 3;
        }
    }

    // One series with its seasons and episodes.
    if (options_.seasons > 0 && options_.episodesPerSeason > 0) {
        LibraryItem series;
        series.id = makeId(6, 0);
        series.name = "Harbour Lights";
        series.type = "Series";
        series.isFolder = true;
        series.parentId = showView;
        series.productionYear = 2019;
        series.genre = "Drama";
        series.hasBackdrop = true;
        series.coverWidth = square * 2 / 3;
        series.coverHeight = square;
        const std::string seriesId = add(std::move(series)).id;
        int episodeNumber = 0;
        for (int s = 1; s <= options_.seasons; ++s) {
            LibraryItem season;
            season.id = makeId(7, static_cast<std::uint64_t>(s));
            season.name = "Season " + std::to_string(s);
            season.type = "Season";
            season.isFolder = true;
            season.parentId = seriesId;
            season.seriesName = "Harbour Lights";
            season.seriesId = seriesId;
            season.indexNumber = s;
            season.productionYear = 2018 + s;
            season.coverWidth = square * 2 / 3;
            season.coverHeight = square;
            const std::string seasonId = add(std::move(season)).id;
            for (int e = 1; e <= options_.episodesPerSeason; ++e, ++episodeNumber) {
                LibraryItem episode;
                episode.id = makeId(8, static_cast<std::uint64_t>(episodeNumber));
                episode.name =
                    std::string(pick(kTrackFirst, static_cast<std::size_t>(episodeNumber))) +
                    " the " + pick(kTrackSecond, static_cast<std::size_t>(e * 3 + s));
                episode.type = "Episode";
                episode.mediaType = "Video";
                episode.parentId = seasonId;
                episode.seriesName = "Harbour Lights";
                episode.seriesId = seriesId;
                episode.seasonId = seasonId;
                episode.indexNumber = e;
                episode.parentIndexNumber = s;
                episode.productionYear = 2018 + s;
                episode.runTimeTicks = 42 * 60 * kTicksPerSecond;
                episode.coverWidth = square * 16 / 9;
                episode.coverHeight = square;
                add(std::move(episode));
                if (episodeNumber < 2) {
                    states_.back().played = true;
                    states_.back().playCount = 1;
                    states_.back().lastPlayed = ++playOrder_;
                }
            }
        }
    }
}

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

// Queries -----------------------------------------------------------------------------------

void Library::answerItems(const Request& request, Response& response,
                          const std::optional<std::string>& pathUser, bool artistsOnly) {
    const Parameters params(request.recorded.query);
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
    const Parameters params(request.recorded.query);
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

void Library::answerImage(const Request& request, Response& response) {
    const LibraryItem* item = find(request.captures.at(0));
    if (!item)
        return fail(response, 404, "item not found");
    const std::string type = lower(request.captures.at(1));
    const std::string& index = request.captures.at(2);
    int width = item->coverWidth;
    int height = item->coverHeight;
    std::uint64_t seed = item->seed;
    if (type == "backdrop" && item->hasBackdrop && (index.empty() || index == "0")) {
        width = item->coverHeight * 16 / 9;
        seed = mix(seed ^ 0xBAC);
    } else if (type != "primary" || (!index.empty() && index != "0")) {
        return fail(response, 404, "no such image");
    }
    const Parameters params(request.recorded.query);
    std::optional<std::int64_t> given[4];
    const char* names[4] = {"Width", "Height", "MaxWidth", "MaxHeight"};
    for (int i = 0; i < 4; ++i) {
        if (auto value = params.get(names[i])) {
            given[i] = parseCount(*value);
            if (!given[i] || *given[i] == 0 || *given[i] > 4096)
                return fail(response, 400, std::string(names[i]) + " must be 1-4096");
        }
    }
    double w = width;
    double h = height;
    if (given[0] && given[1]) {
        w = static_cast<double>(*given[0]);
        h = static_cast<double>(*given[1]);
    } else if (given[0]) {
        h = h * static_cast<double>(*given[0]) / w;
        w = static_cast<double>(*given[0]);
    } else if (given[1]) {
        w = w * static_cast<double>(*given[1]) / h;
        h = static_cast<double>(*given[1]);
    }
    if (given[2] && w > static_cast<double>(*given[2])) {
        h = h * static_cast<double>(*given[2]) / w;
        w = static_cast<double>(*given[2]);
    }
    if (given[3] && h > static_cast<double>(*given[3])) {
        w = w * static_cast<double>(*given[3]) / h;
        h = static_cast<double>(*given[3]);
    }
    auto side = [](double value) {
        return static_cast<int>(std::clamp<long>(std::lround(value), 1, 4096));
    };
    response.body = coverPng(seed, side(w), side(h));
    response.contentType = kPngType;
    response.headers.emplace_back("ETag", "\"" + item->imageTag + "\"");
}

void Library::answerReport(const Request& request, Response& response,
                           const std::string& endpoint) {
    auto type = request.recorded.header("Content-Type");
    if (!type || lower(*type).find("application/json") == std::string::npos)
        return fail(response, 415, "reports are JSON");
    const std::string& body = request.recorded.body;
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(body).get(root) != simdjson::SUCCESS || !root.is_object())
        return fail(response, 400, "the body is no JSON object");
    PlaybackReport report;
    report.endpoint = endpoint;
    report.body = body;
    std::string_view text;
    if (root["ItemId"].get(text) != simdjson::SUCCESS)
        return fail(response, 400, "ItemId is required");
    report.itemId = std::string(text);
    if (root["PlaySessionId"].get(text) == simdjson::SUCCESS)
        report.playSessionId = std::string(text);
    if (root["EventName"].get(text) == simdjson::SUCCESS)
        report.eventName = std::string(text);
    std::int64_t ticks = 0;
    if (root["PositionTicks"].get(ticks) == simdjson::SUCCESS)
        report.positionTicks = ticks;

    const LibraryItem* item = find(report.itemId);
    std::lock_guard lock(mutex_);
    if (item) {
        UserItemState& state = states_[index_.at(item->id)];
        const bool stopped = endpoint == "Sessions/Playing/Stopped";
        if (stopped && report.positionTicks && item->runTimeTicks > 0 &&
            *report.positionTicks * 10 >= item->runTimeTicks * 9) {
            state.played = true;
            ++state.playCount;
            state.playbackPositionTicks = 0;
            state.lastPlayed = ++playOrder_;
        } else if (report.positionTicks) {
            state.playbackPositionTicks = *report.positionTicks;
        }
        refreshUserJson(index_.at(item->id));
    }
    if (reportObserver_)
        reportObserver_(report);
    reports_.push_back(std::move(report));
    response.status = 204;
}

void Library::setReportObserver(std::function<void(const PlaybackReport&)> observer) {
    std::lock_guard lock(mutex_);
    reportObserver_ = std::move(observer);
}

// Routes ------------------------------------------------------------------------------------

void Library::installRoutes(RefServer& server, std::shared_ptr<Library> self) {
    auto knownUser = [self](const Request& request, Response& response) {
        if (request.captures.at(0) != self->options_.userId) {
            fail(response, 404, "user not found");
            return false;
        }
        return true;
    };
    auto answerList = [self](Response& response, const std::vector<const LibraryItem*>& items) {
        std::string& out = response.body;
        out += "{\"Items\":[";
        for (std::size_t n = 0; n < items.size(); ++n) {
            if (n)
                out += ',';
            out += self->itemJson(*items[n], true);
        }
        out += "],\"TotalRecordCount\":" + std::to_string(items.size()) + "}";
    };
    auto answerItem = [self](Response& response, const std::string& id, bool withUser) {
        const LibraryItem* item = self->find(id);
        if (!item)
            return fail(response, 404, "item not found");
        response.body = self->itemJson(*item, withUser);
    };

    server.route("GET", "Users/([^/]+)/Views",
                 [self, knownUser, answerList](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         answerList(response, self->children(""));
                 });
    server.route("GET", "Users/([^/]+)/Items",
                 [self, knownUser](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         self->answerItems(request, response, request.captures.at(0), false);
                 });
    server.route("GET", "Items", [self](const Request& request, Response& response) {
        self->answerItems(request, response, std::nullopt, false);
    });
    server.route("GET", "Artists", [self](const Request& request, Response& response) {
        self->answerItems(request, response, std::nullopt, true);
    });
    server.route("GET", "Users/([^/]+)/Items/([^/]+)",
                 [knownUser, answerItem](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         answerItem(response, request.captures.at(1), true);
                 });
    server.route(
        "GET", "Items/([^/]+)", [self, answerItem](const Request& request, Response& response) {
            std::optional<std::string> user = Parameters(request.recorded.query).get("UserId");
            if (user && *user != self->options_.userId)
                return fail(response, 404, "user not found");
            answerItem(response, request.captures.at(0), user.has_value());
        });
    // After the single-item route, so that it wins for "Latest".
    server.route("GET", "Users/([^/]+)/Items/Latest",
                 [self, knownUser](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         self->answerLatest(request, response);
                 });
    for (const char* method : {"POST", "DELETE"}) {
        const bool favorite = std::string_view(method) == "POST";
        server.route(method, "Users/([^/]+)/FavoriteItems/([^/]+)",
                     [self, knownUser, favorite](const Request& request, Response& response) {
                         if (!knownUser(request, response))
                             return;
                         const LibraryItem* item = self->find(request.captures.at(1));
                         if (!item)
                             return fail(response, 404, "item not found");
                         UserItemState state;
                         {
                             std::lock_guard lock(self->mutex_);
                             const std::size_t index = self->index_.at(item->id);
                             UserItemState& stored = self->states_[index];
                             stored.isFavorite = favorite;
                             state = stored;
                             self->refreshUserJson(index);
                         }
                         response.body = self->userDataJson(*item, state);
                     });
    }
    server.route("GET", "Items/([^/]+)/Images/([^/]+)(?:/([0-9]+))?",
                 [self](const Request& request, Response& response) {
                     self->answerImage(request, response);
                 });
    server.route("GET", "Audio/([^/]+)/universal",
                 [self](const Request& request, Response& response) {
                     const LibraryItem* item = self->find(request.captures.at(0));
                     if (!item || item->type != "Audio")
                         return fail(response, 404, "no audio for this item");
                     response.body = self->audioFile(*item);
                     response.contentType = "audio/wav";
                     response.headers.emplace_back("Accept-Ranges", "bytes");
                 });
    for (const char* endpoint :
         {"Sessions/Playing", "Sessions/Playing/Progress", "Sessions/Playing/Stopped"}) {
        std::string path = endpoint;
        server.route("POST", path, [self, path](const Request& request, Response& response) {
            self->answerReport(request, response, path);
        });
    }
}

}  // namespace refserver
