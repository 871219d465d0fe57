// Decoding and encoding a generated GetItemsResponse of 20,000 realistic items (2-3 KB each):
// prints our decode time against two parses of the same bytes into a document tree (simdjson's
// DOM, which our decoder reads from, and RapidJSON's, which copies the text into its own nodes
// as a typical JSON library does), a reference decoder on nlohmann-json against ours, encode
// throughput against parse throughput, and the memory the decoded records hold and the peak memory
// while decoding, both against the JSON size.
//
// Speed is measured twice, in the two states a host's heap can be in. Cold: glibc's default,
// where the records freed after a run go back to the system, so every decode gets fresh pages
// from the kernel (a page fault and a zeroed page per 4 KiB, some 20 ms for the 60 MB of records
// here on the development VM). Warm: the allocator keeps freed memory for reuse, as it does in a
// long-running host whose heap has live allocations above the freed records, or with allocators
// that hold on to memory. The simdjson DOM reference reuses its parser, whose buffers stay
// mapped, in both; so the warm figures compare like with like and carry the targets, and the
// cold ones are printed beside them.
//
// Memory: "held" counts heap bytes in use (malloc_usable_size of every live allocation) after the
// decode minus before; "peak" is the resident-set high-water mark during the decode minus the
// resident set before it (pages really touched; the parser reserves more address space than it
// touches). The allocation-based peak is printed too, for information.
#include <malloc.h>
#include <rapidjson/document.h>
#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Platform/Coding/JsonWriter.h"

// ---------------------------------------------------------------------------------------------
// Heap accounting. The replaced operators pair malloc with free on purpose; once inlined, g++
// mistakes that for a new/free mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long long> gInUse{0};
std::atomic<long long> gPeak{0};
std::atomic<bool> gCounting{false};  // on only while memory is measured, so timing is not skewed

void noteAlloc(void* p) {
    if (!p || !gCounting.load(std::memory_order_relaxed))
        return;
    long long now = gInUse.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                    static_cast<long long>(malloc_usable_size(p));
    long long peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
}
void noteFree(void* p) {
    if (p && gCounting.load(std::memory_order_relaxed))
        gInUse.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
}
}  // namespace

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    noteAlloc(p);
    return p;
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    void* p = std::malloc(n ? n : 1);
    noteAlloc(p);
    return p;
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    noteFree(p);
    std::free(p);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

long residentKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field) + 1);
    }
    return 0;
}

bool resetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear);
}

// ---------------------------------------------------------------------------------------------
// Generated data

struct Generator {
    std::mt19937_64 rng{20240601};
    std::string hex() {
        static const char* digits = "0123456789abcdef";
        std::string s(32, '0');
        for (char& c : s)
            c = digits[rng() % 16];
        return s;
    }
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng() % n); }
};

std::string buildItems(int count) {
    Generator g;
    std::vector<std::string> artists, artistIds, albums, albumIds, albumTags;
    for (int i = 0; i < 400; ++i) {
        artists.push_back("Artist " + std::to_string(i) + (i % 7 == 0 ? " & The \"Band\"" : ""));
        artistIds.push_back(g.hex());
    }
    for (int i = 0; i < 1500; ++i) {
        albums.push_back("Album Title Number " + std::to_string(i));
        albumIds.push_back(g.hex());
        albumTags.push_back(g.hex());
    }
    const std::string serverId = g.hex();
    const char* codecs[] = {"flac", "mp3", "aac", "opus"};
    const char* genres[] = {"Rock", "Jazz", "Electronic", "Classical", "Hip-Hop", "Folk"};

    std::string out;
    out.reserve(static_cast<std::size_t>(count) * 2900);
    vk::JsonWriter w(out);
    w.beginObject();
    w.key("Items");
    w.beginArray();
    for (int n = 0; n < count; ++n) {
        std::size_t a = g.pick(artists.size());
        std::size_t al = g.pick(albums.size());
        const char* codec = codecs[g.pick(4)];
        std::string id = g.hex();
        std::string name = "Track " + std::to_string(n % 17 + 1) + " of " + albums[al];
        std::string path = "/srv/media/music/" + artists[a] + "/" + albums[al] + "/" +
                           std::to_string(n % 17 + 1) + " - " + name + "." + codec;
        long long ticks = 1200000000LL + static_cast<long long>(g.pick(2400000000ULL));
        bool shuffled = n % 10 == 3;

        auto stream = [&](int index, bool audio) {
            w.beginObject();
            if (audio) {
                w.key("Codec"), w.string(codec);
                w.key("TimeBase"), w.string("1/44100");
                w.key("CodecTimeBase"), w.string("1/44100");
                w.key("DisplayTitle"), w.string(std::string(codec) + " - Stereo");
                w.key("IsInterlaced"), w.boolean(false);
                w.key("ChannelLayout"), w.string("stereo");
                w.key("BitRate"), w.integer(320000 + static_cast<long long>(g.pick(700000)));
                w.key("BitDepth"), w.integer(16);
                w.key("Channels"), w.integer(2);
                w.key("SampleRate"), w.integer(44100);
                w.key("IsDefault"), w.boolean(true);
                w.key("IsForced"), w.boolean(false);
                w.key("Type"), w.string("Audio");
                w.key("Index"), w.integer(index);
                w.key("IsExternal"), w.boolean(false);
                w.key("IsTextSubtitleStream"), w.boolean(false);
                w.key("SupportsExternalStream"), w.boolean(false);
                w.key("Level"), w.integer(0);
            } else {
                w.key("Codec"), w.string("mjpeg");
                w.key("TimeBase"), w.string("1/90000");
                w.key("IsInterlaced"), w.boolean(false);
                w.key("BitDepth"), w.integer(8);
                w.key("RefFrames"), w.integer(1);
                w.key("IsDefault"), w.boolean(false);
                w.key("Height"), w.integer(500);
                w.key("Width"), w.integer(500);
                w.key("AverageFrameRate"), w.number(90000);
                w.key("Profile"), w.string("Baseline");
                w.key("Type"), w.string("EmbeddedImage");
                w.key("AspectRatio"), w.string("1:1");
                w.key("Index"), w.integer(index);
                w.key("PixelFormat"), w.string("yuvj420p");
                w.key("Level"), w.number(-99);
            }
            w.endObject();
        };
        auto streams = [&] {
            w.beginArray();
            stream(0, true);
            stream(1, false);
            w.endArray();
        };

        w.beginObject();
        if (shuffled) {  // some objects arrive with keys out of table order
            w.key("Type"), w.string("Audio");
            w.key("RunTimeTicks"), w.integer(ticks);
            w.key("Id"), w.string(id);
        }
        w.key("Name"), w.string(name);
        w.key("ServerId"), w.string(serverId);
        if (!shuffled)
            w.key("Id"), w.string(id);
        w.key("Etag"), w.string(g.hex());
        w.key("DateCreated"), w.string("2021-03-04T12:34:56.0000000Z");
        w.key("CanDelete"), w.boolean(false);
        w.key("CanDownload"), w.boolean(true);
        w.key("SupportsSync"), w.boolean(true);
        w.key("Container"), w.string(codec);
        w.key("SortName"), w.string(name);
        w.key("PremiereDate"), w.string("2001-01-01T00:00:00.0000000Z");
        w.key("MediaSources");
        w.beginArray();
        w.beginObject();
        w.key("Protocol"), w.string("File");
        w.key("Id"), w.string(id);
        w.key("Path"), w.string(path);
        w.key("Type"), w.string("Default");
        w.key("Container"), w.string(codec);
        w.key("Size"), w.integer(20000000 + static_cast<long long>(g.pick(30000000)));
        w.key("Name"), w.string(name);
        w.key("IsRemote"), w.boolean(false);
        w.key("RunTimeTicks"), w.integer(ticks);
        w.key("SupportsTranscoding"), w.boolean(true);
        w.key("SupportsDirectStream"), w.boolean(true);
        w.key("SupportsDirectPlay"), w.boolean(true);
        w.key("IsInfiniteStream"), w.boolean(false);
        w.key("RequiresOpening"), w.boolean(false);
        w.key("RequiresClosing"), w.boolean(false);
        w.key("MediaStreams");
        streams();
        w.key("Bitrate"), w.integer(900000);
        w.key("DefaultAudioStreamIndex"), w.integer(0);
        w.endObject();
        w.endArray();
        w.key("Path"), w.string(path);
        if (!shuffled)
            w.key("RunTimeTicks"), w.integer(ticks);
        w.key("ProductionYear"), w.integer(1960 + static_cast<long long>(g.pick(64)));
        w.key("IndexNumber"), w.integer(n % 17 + 1);
        w.key("ParentIndexNumber"), w.integer(1);
        w.key("IsFolder"), w.boolean(false);
        if (!shuffled)
            w.key("Type"), w.string("Audio");
        w.key("ParentLogoItemId"), w.string(artistIds[a]);
        w.key("ParentBackdropItemId"), w.string(artistIds[a]);
        w.key("ParentBackdropImageTags");
        w.beginArray();
        w.string(albumTags[al]);
        w.endArray();
        w.key("UserData");
        w.beginObject();
        w.key("PlaybackPositionTicks"), w.integer(0);
        w.key("PlayCount"), w.integer(static_cast<long long>(g.pick(40)));
        w.key("IsFavorite"), w.boolean(g.pick(5) == 0);
        if (g.pick(3) == 0)
            w.key("Likes"), w.boolean(false);
        w.key("Played"), w.boolean(true);
        w.key("Key"), w.string(artists[a] + "-" + albums[al] + "-" + std::to_string(n));
        w.key("LastPlayedDate"), w.string("2023-01-02T03:04:05.0000000Z");
        w.endObject();
        w.key("Artists");
        w.beginArray();
        w.string(artists[a]);
        w.endArray();
        w.key("ArtistItems");
        w.beginArray();
        w.beginObject();
        w.key("Name"), w.string(artists[a]);
        w.key("Id"), w.string(artistIds[a]);
        w.endObject();
        w.endArray();
        w.key("Album"), w.string(albums[al]);
        w.key("AlbumId"), w.string(albumIds[al]);
        w.key("AlbumPrimaryImageTag"), w.string(albumTags[al]);
        w.key("AlbumArtist"), w.string(artists[a]);
        w.key("AlbumArtists");
        w.beginArray();
        w.beginObject();
        w.key("Name"), w.string(artists[a]);
        w.key("Id"), w.string(artistIds[a]);
        w.endObject();
        w.endArray();
        w.key("ImageTags");
        w.beginObject();
        w.key("Primary"), w.string(albumTags[al]);
        w.endObject();
        w.key("BackdropImageTags");
        w.beginArray();
        w.endArray();
        w.key("ParentLogoImageTag"), w.string(albumTags[al]);
        w.key("MediaType"), w.string("Audio");
        w.key("LocationType"), w.string("FileSystem");
        w.key("Genres");
        w.beginArray();
        w.string(genres[g.pick(6)]);
        w.endArray();
        w.key("MediaStreams");
        streams();
        w.endObject();
    }
    w.endArray();
    w.key("TotalRecordCount"), w.integer(count);
    w.endObject();
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reference decoder on nlohmann-json: same records, same field tables (scalars and text through
// the tables' store setters, nested records by recursion).

using nlohmann::json;

vk::StoreValue scalar(const json& v) {
    if (v.is_null())
        return std::monostate{};
    if (v.is_boolean())
        return std::int64_t{v.get<bool>() ? 1 : 0};
    if (v.is_number_integer())
        return v.get<std::int64_t>();
    if (v.is_number())
        return v.get<double>();
    if (v.is_string())
        return v.get<std::string>();
    return std::monostate{};
}

template <class R>
void fillScalars(const json& object, R& record) {
    const auto& table = R::fieldTable();
    for (auto it = object.begin(); it != object.end(); ++it) {
        int index = table.indexOf(it.key());
        if (index < 0)
            continue;
        const auto& info = table[static_cast<std::size_t>(index)];
        if (info.kind == vk::FieldKind::Record || info.kind == vk::FieldKind::List ||
            info.kind == vk::FieldKind::Map) {
            continue;
        }
        info.setStoreValue(record, scalar(*it));
    }
}

std::vector<vk::Text> texts(const json& v) {
    std::vector<vk::Text> out;
    for (const auto& e : v)
        out.emplace_back(e.get<std::string>());
    return out;
}

std::vector<vk::MediaStream> streamsOf(const json& v) {
    std::vector<vk::MediaStream> out;
    for (const auto& e : v)
        fillScalars(e, out.emplace_back());
    return out;
}

std::vector<vk::NameIdPair> pairsOf(const json& v) {
    std::vector<vk::NameIdPair> out;
    for (const auto& e : v)
        fillScalars(e, out.emplace_back());
    return out;
}

vk::GetItemsResponse nlohmannDecode(const std::string& text) {
    json document = json::parse(text);
    vk::GetItemsResponse response;
    response.TotalRecordCount = document.at("TotalRecordCount").get<std::int64_t>();
    for (const auto& object : document.at("Items")) {
        auto item = std::make_shared<vk::BaseItemDto>();
        fillScalars(object, *item);
        if (auto it = object.find("MediaSources"); it != object.end()) {
            item->MediaSources.emplace();
            for (const auto& s : *it) {
                auto& source = item->MediaSources->emplace_back();
                fillScalars(s, source);
                source.MediaStreams = streamsOf(s.at("MediaStreams"));
            }
        }
        if (auto it = object.find("MediaStreams"); it != object.end()) {
            item->MediaStreams = streamsOf(*it);
        }
        if (auto it = object.find("UserData"); it != object.end()) {
            fillScalars(*it, item->UserData.emplace());
        }
        if (auto it = object.find("ImageTags"); it != object.end()) {
            for (auto t = it->begin(); t != it->end(); ++t) {
                item->ImageTags.set(t.key(), t->get<std::string>());
            }
        }
        if (auto it = object.find("ArtistItems"); it != object.end())
            item->ArtistItems = pairsOf(*it);
        if (auto it = object.find("AlbumArtists"); it != object.end()) {
            item->AlbumArtists = pairsOf(*it);
        }
        for (const char* key :
             {"Artists", "Genres", "BackdropImageTags", "ParentBackdropImageTags"}) {
            auto it = object.find(key);
            if (it == object.end())
                continue;
            const auto* info = vk::BaseItemDto::fieldTable().fieldForAttribute(
                std::string(1, static_cast<char>(std::tolower(key[0]))) + (key + 1));
            (void)info;
            std::string k = key;
            if (k == "Artists")
                item->Artists = texts(*it);
            if (k == "Genres")
                item->Genres = texts(*it);
            if (k == "BackdropImageTags")
                item->BackdropImageTags = texts(*it);
            if (k == "ParentBackdropImageTags")
                item->ParentBackdropImageTags = texts(*it);
        }
        response.Items.push_back(std::move(item));
    }
    return response;
}

// ---------------------------------------------------------------------------------------------

/// Best time of `runs` calls of `f`; what `f` returns is destroyed outside the timed part.
template <class F>
double bestSeconds(int runs, F&& f) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        [[maybe_unused]] auto result = f();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, s);
    }
    return best;
}

void ratio(const char* name, double value, const char* target) {
    std::printf("%s ratio=%.2f (target %s)\n", name, value, target);
}

struct Speeds {
    double dom = 0;
    double rapid = 0;
    double ours = 0;
    double nlohmann = 0;
};

/// RapidJSON's parse of `text` into its own document (strings copied into the document's pool),
/// checked so that the optimiser keeps it; the document is destroyed outside the timed part.
std::unique_ptr<rapidjson::Document> rapidjsonParse(const std::string& text, std::size_t items) {
    auto document = std::make_unique<rapidjson::Document>();
    document->Parse(text.data(), text.size());
    if (document->HasParseError() || (*document)["Items"].Size() != items)
        std::abort();
    return document;
}

/// Best-of times of the three decoders on `text`; each is run once unmeasured first, so the
/// heap has grown to what it needs before the timed runs.
Speeds measureSpeeds(const vk::JsonDecoder& decoder, simdjson::dom::parser& domParser,
                     const simdjson::padded_string& padded, const std::string& text, int items) {
    auto expected = static_cast<std::size_t>(items);
    Speeds speeds;
    auto dom = [&] {
        auto document = domParser.parse(padded);
        if (document.error())
            std::abort();
        return 0;
    };
    auto ours = [&] {
        auto response = decoder.decode<vk::GetItemsResponse>(text);
        if (!response || response->Items.size() != expected)
            std::abort();
        return response;
    };
    auto theirs = [&] {
        auto response = nlohmannDecode(text);
        if (response.Items.size() != expected)
            std::abort();
        return response;
    };
    auto rapid = [&] { return rapidjsonParse(text, expected); };
    bestSeconds(1, dom);
    speeds.dom = bestSeconds(5, dom);
    bestSeconds(1, rapid);
    speeds.rapid = bestSeconds(5, rapid);
    bestSeconds(1, ours);
    speeds.ours = bestSeconds(5, ours);
    bestSeconds(1, theirs);
    speeds.nlohmann = bestSeconds(5, theirs);
    return speeds;
}

/// `bench_model_coding decode|encode|dom|rapidjson|nlohmann [runs]` repeats one part only, for
/// profilers.
int profileOne(const std::string& text, const std::string& part, int runs) {
    vk::JsonDecoder decoder;
    vk::JsonEncoder encoder;
    simdjson::dom::parser domParser;
    simdjson::padded_string padded(text);
    auto decoded = decoder.decode<vk::GetItemsResponse>(text);
    if (!decoded)
        return 1;
    double seconds = 0;
    if (part == "decode") {
        seconds = bestSeconds(runs, [&] { return decoder.decode<vk::GetItemsResponse>(text); });
    } else if (part == "encode") {
        seconds = bestSeconds(runs, [&] { return encoder.encode(*decoded); });
    } else if (part == "dom") {
        seconds = bestSeconds(runs, [&] { return domParser.parse(padded).error(); });
    } else if (part == "rapidjson") {
        seconds = bestSeconds(runs, [&] { return rapidjsonParse(text, decoded->Items.size()); });
    } else if (part == "nlohmann") {
        seconds = bestSeconds(runs, [&] { return nlohmannDecode(text); });
    } else {
        std::printf("unknown part %s\n", part.c_str());
        return 2;
    }
    std::printf("model: %s best of %d: %.1f ms\n", part.c_str(), runs, seconds * 1e3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int kItems = 20000;
    std::string text = buildItems(kItems);
    vk::JsonDecoder::reservePadding(text);
    const double bytes = static_cast<double>(text.size());
    if (argc > 1)
        return profileOne(text, argv[1], argc > 2 ? std::atoi(argv[2]) : 10);
    std::printf("model: %d items, %.1f MB of JSON, %.0f bytes per item\n", kItems, bytes / 1e6,
                bytes / kItems);

    vk::JsonDecoder decoder;

    // Memory, measured on the first decode in this process (nothing warmed up yet).
    gCounting = true;
    long long heapBefore = gInUse.load();
    gPeak.store(heapBefore);
    long rssBefore = residentKb("VmRSS:");
    bool rssPeakWorks = resetPeakResident();
    auto first = decoder.decode<vk::GetItemsResponse>(text);
    long rssPeak = residentKb("VmHWM:");
    if (!first) {
        std::printf("decode failed: %s\n", first.error().description().c_str());
        return 1;
    }
    long long held = gInUse.load() - heapBefore;
    long long heapPeak = gPeak.load() - heapBefore;
    gCounting = false;

    // Speed, cold heap first (this process has not changed glibc's defaults yet), then warm.
    simdjson::dom::parser domParser;
    simdjson::padded_string padded(text);
    Speeds cold = measureSpeeds(decoder, domParser, padded, text, kItems);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    Speeds warm = measureSpeeds(decoder, domParser, padded, text, kItems);
    double domSeconds = warm.dom;
    double ourSeconds = warm.ours;
    double nlohmannSeconds = warm.nlohmann;
    // The reference decoder must read the same records.
    auto reference = nlohmannDecode(text);
    vk::JsonEncoder encoder;
    auto ours = encoder.encode(*first);
    auto theirs = encoder.encode(reference);
    if (!ours || !theirs || *ours != *theirs) {
        std::printf("reference decoder disagrees with ours\n");
        return 1;
    }
    std::size_t encodedBytes = 0;
    double encodeSeconds = bestSeconds(5, [&] {
        auto json = encoder.encode(*first);
        if (!json)
            std::abort();
        encodedBytes = json->size();
        return json;
    });

    std::printf(
        "model: cold heap: simdjson DOM parse %.1f ms, RapidJSON parse %.1f ms, our decode %.1f "
        "ms, nlohmann decode %.1f ms\n",
        cold.dom * 1e3, cold.rapid * 1e3, cold.ours * 1e3, cold.nlohmann * 1e3);
    std::printf(
        "model: warm heap: simdjson DOM parse %.1f ms, RapidJSON parse %.1f ms, our decode %.1f "
        "ms, nlohmann decode %.1f ms, encode %.1f ms (%.1f MB)\n",
        domSeconds * 1e3, warm.rapid * 1e3, ourSeconds * 1e3, nlohmannSeconds * 1e3,
        encodeSeconds * 1e3, static_cast<double>(encodedBytes) / 1e6);
    std::printf("model: held %.1f MB, peak resident +%.1f MB, peak allocated +%.1f MB\n",
                static_cast<double>(held) / 1e6, static_cast<double>(rssPeak - rssBefore) / 1e3,
                static_cast<double>(heapPeak) / 1e6);

    ratio("model.decode_vs_simdjson_parse", ourSeconds / domSeconds, "<= 3.0");
    ratio("model.decode_vs_rapidjson_parse", ourSeconds / warm.rapid, "<= 0.6");
    ratio("model.nlohmann_vs_decode", nlohmannSeconds / ourSeconds, ">= 15");
    std::printf("model.decode_vs_simdjson_parse.cold_heap ratio=%.2f (for information)\n",
                cold.ours / cold.dom);
    std::printf("model.decode_vs_rapidjson_parse.cold_heap ratio=%.2f (for information)\n",
                cold.ours / cold.rapid);
    std::printf("model.nlohmann_vs_decode.cold_heap ratio=%.2f (for information)\n",
                cold.nlohmann / cold.ours);
    double encodeThroughput = static_cast<double>(encodedBytes) / encodeSeconds;
    double parseThroughput = bytes / domSeconds;
    ratio("model.encode_vs_parse_throughput", encodeThroughput / parseThroughput, ">= 0.5");
    ratio("model.held_memory_vs_json", static_cast<double>(held) / bytes, "<= 1.3");
    if (rssPeakWorks) {
        ratio("model.peak_memory_vs_json",
              static_cast<double>(rssPeak - rssBefore) * 1024.0 / bytes, "<= 2.5");
    } else {
        std::printf("model.peak_memory_vs_json unavailable (cannot reset the resident peak)\n");
    }
    return 0;
}
