// Library's generated sample: views, artists, albums and tracks, movies, one series, and the
// user's data spread over them, the same for the same options.
#include <algorithm>

#include "refserver/Library.h"
#include "refserver/LibraryNaming.h"
#include "refserver/SampleMedia.h"

namespace refserver {

namespace {

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

}  // namespace refserver
