// Prints, in one run:
//   offline.save_vs_raw_insert   saving 20,000 items (with their archived attributes) through the
//                                store / raw prepared inserts of the same rows      (target <= 3.0)
//   offline.ids_lookup           getLocalItemsByIds, 1,000 ids among 100,000 local items, against
//                                raw SQL fetching the same rows and item rows
//   offline.delete_empty_scale   deleteEmptyContainers at 100,000 / at 10,000 local items (<= 12)
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "VornKit/Offline/OfflineStoreModel.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::filesystem::path tempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vk-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}

std::shared_ptr<vk::OfflineDataController> openStore(const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "group");
    std::filesystem::create_directories(root / "documents");
    return std::make_shared<vk::OfflineDataController>(
        vk::OfflineDataController::Locations{root / "group", root / "documents"});
}

/// A library item as a server sends it for a track, with media sources, streams, user data,
/// artists and genres: the attributes the store keeps as archives.
std::string trackJson(int n, const std::string& albumId) {
    const std::string id = "track-" + std::to_string(n);
    return R"({"Id":")" + id + R"(","ServerId":"srv","Name":"Track )" + std::to_string(n) +
           R"(","Type":"Audio","MediaType":"Audio","AlbumId":")" + albumId +
           R"(","Album":"Album","RunTimeTicks":)" + std::to_string(1800000000LL + n) +
           R"(,"IndexNumber":)" + std::to_string(n % 20) +
           R"(,"Genres":["Rock","Indie"],"Artists":["Band )" + std::to_string(n % 97) +
           R"("],"ArtistItems":[{"Name":"Band","Id":"artist-1"}],"AlbumArtists":[{"Name":"Band","Id":"artist-1"}],)"
           R"("ImageTags":{"Primary":"tag)" +
           std::to_string(n) +
           R"("},"UserData":{"PlaybackPositionTicks":0,"PlayCount":3,"IsFavorite":false,"Played":true,"Key":")" +
           id + R"("},"MediaSources":[{"Id":")" + id +
           R"(","Protocol":"File","Path":"/music/a.flac","Container":"flac","Size":31457280,"Bitrate":1411000,)"
           R"("MediaStreams":[{"Codec":"flac","Type":"Audio","Index":0,"Channels":2,"SampleRate":44100,"BitRate":1411000}]}],)"
           R"("MediaStreams":[{"Codec":"flac","Type":"Audio","Index":0,"Channels":2,"SampleRate":44100}]})";
}

std::vector<std::shared_ptr<vk::BaseItemDto>> decodeItems(int count) {
    std::vector<std::shared_ptr<vk::BaseItemDto>> items;
    vk::JsonDecoder decoder;
    for (int n = 0; n < count; ++n) {
        auto item = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(
            trackJson(n, "album-" + std::to_string(n / 12)));
        if (!item) {
            std::fprintf(stderr, "generator error: %s\n", item.error().description().c_str());
            std::exit(1);
        }
        items.push_back(*item);
    }
    return items;
}

void bindValue(sqlite3_stmt* st, int index, const vk::StoreValue& value) {
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::int64_t>) {
                sqlite3_bind_int64(st, index, v);
            } else if constexpr (std::is_same_v<T, double>) {
                sqlite3_bind_double(st, index, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                sqlite3_bind_text(st, index, v.data(), static_cast<int>(v.size()),
                                  SQLITE_TRANSIENT);
            } else if constexpr (std::is_same_v<T, vk::StoreBytes>) {
                sqlite3_bind_blob(st, index, v.data(), static_cast<int>(v.size()),
                                  SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(st, index);
            }
        },
        value);
}

void benchSave() {
    constexpr int kItems = 20000;
    auto items = decodeItems(kItems);
    const auto* entity = vk::OfflineStoreModel::shared()->entity("BaseItemDto");

    // Reference: the same rows, values prepared beforehand, through one prepared INSERT in one
    // transaction on a table of the same schema.
    std::vector<std::vector<vk::StoreValue>> rows;
    for (const auto& item : items) {
        std::vector<vk::StoreValue> row;
        for (size_t i = 0; i < entity->attributes.size(); ++i) {
            row.push_back(item->storeValue(i));
        }
        rows.push_back(std::move(row));
    }
    auto rawRoot = tempRoot();
    openStore(rawRoot)->managedObjectContext();  // creates the schema
    sqlite3* db = nullptr;
    sqlite3_open((rawRoot / "group" / "Vorn.sqlite").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                 nullptr);
    std::string sql = "INSERT INTO \"BaseItemDto\" (";
    std::string marks;
    for (size_t i = 0; i < entity->attributes.size(); ++i) {
        sql += (i ? ",\"" : "\"") + entity->attributes[i].name + "\"";
        marks += i ? ",?" : "?";
    }
    sql += ") VALUES (" + marks + ");";
    auto rawStart = Clock::now();
    sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr);
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            bindValue(insert, static_cast<int>(i + 1), row[i]);
        }
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    const double rawMs = msSince(rawStart);
    sqlite3_close(db);

    auto root = tempRoot();
    auto store = openStore(root);
    auto context = store->managedObjectContext();
    auto start = Clock::now();
    for (const auto& item : items) {
        context->insert(item);
    }
    std::string error;
    if (!context->save(&error)) {
        std::fprintf(stderr, "save failed: %s\n", error.c_str());
    }
    const double ourMs = msSince(start);
    std::printf(
        "offline.save_vs_raw_insert ratio=%.2f (target <= 3.0) store=%.1fms raw=%.1fms items=%d\n",
        ourMs / rawMs, ourMs, rawMs, kItems);
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(rawRoot);
}

/// A store of `count` local items: albums of 10 tracks, every 10th album left without tracks.
std::filesystem::path buildLibrary(int count) {
    auto root = tempRoot();
    auto store = openStore(root);
    auto [decoder, context] = store->getManagedObjectDecoder();
    int made = 0;
    for (int album = 0; made < count; ++album) {
        const std::string albumId = "album-" + std::to_string(album);
        auto folder = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(
            R"({"Id":")" + albumId +
            R"(","ServerId":"srv","IsFolder":true,"Type":"MusicAlbum","Name":"Album )" +
            std::to_string(album) + R"("})");
        auto local = store->insertNewLocalItem();
        local->itemId = albumId;
        local->serverId = "srv";
        local->setSyncJobStatus(vk::SyncJobStatus::Completed);
        local->item = *folder;
        ++made;
        const int tracks = album % 10 == 9 ? 0 : 10;
        for (int t = 0; t < tracks && made < count; ++t, ++made) {
            const std::string id = "t-" + std::to_string(made);
            auto track = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(
                R"({"Id":")" + id + R"(","ServerId":"srv","Type":"Audio","AlbumId":")" + albumId +
                R"(","ParentId":")" + albumId + R"("})");
            auto trackLocal = store->insertNewLocalItem();
            trackLocal->itemId = id;
            trackLocal->serverId = "srv";
            trackLocal->setSyncJobStatus(vk::SyncJobStatus::Completed);
            trackLocal->localPath = "/music/" + id;
            trackLocal->item = *track;
        }
    }
    store->saveChanges();
    return root;
}

void benchLookups(const std::filesystem::path& root, int count) {
    std::mt19937 random(7);
    std::vector<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        ids.push_back("t-" + std::to_string(1 + random() % (count - 1)));
    }
    auto store = openStore(root);
    store->managedObjectContext();
    auto start = Clock::now();
    auto found = store->getLocalItemsByIds("srv", ids);
    const double ourMs = msSince(start);

    sqlite3* db = nullptr;
    sqlite3_open((root / "group" / "Vorn.sqlite").c_str(), &db);
    auto rawStart = Clock::now();
    std::string sql =
        "SELECT L.*, B.* FROM LocalItem L LEFT JOIN BaseItemDto B ON L.item = B.Z_PK WHERE "
        "L.serverId = ? AND L.itemId IN (";
    for (size_t i = 0; i < ids.size(); ++i) {
        sql += i ? ",?" : "?";
    }
    sql += ");";
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    sqlite3_bind_text(st, 1, "srv", -1, SQLITE_STATIC);
    for (size_t i = 0; i < ids.size(); ++i) {
        sqlite3_bind_text(st, static_cast<int>(i + 2), ids[i].c_str(), -1, SQLITE_STATIC);
    }
    size_t rawRows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            (void)sqlite3_column_blob(st, c);
        }
        ++rawRows;
    }
    sqlite3_finalize(st);
    const double rawMs = msSince(rawStart);
    sqlite3_close(db);
    std::printf(
        "offline.ids_lookup ratio=%.2f store=%.2fms raw_sql=%.2fms found=%zu/%zu among %d local "
        "items\n",
        ourMs / rawMs, ourMs, rawMs, found.size(), rawRows, count);
}

/// Best of three cold runs (a fresh controller each time; nothing is saved, so each run does the
/// same work), to keep other processes' noise out of the ratio.
double timeDeleteEmpty(const std::filesystem::path& root) {
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        auto store = openStore(root);
        store->managedObjectContext();
        auto start = Clock::now();
        store->deleteEmptyContainers("srv");
        const double ms = msSince(start);
        best = run == 0 ? ms : std::min(best, ms);
    }
    return best;
}

}  // namespace

int main() {
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.bench";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());  // the clean-up logs every deletion

    benchSave();
    if (const char* only = std::getenv("VK_BENCH_ONLY");
        only != nullptr && std::string(only) == "save") {
        return 0;
    }
    auto large = buildLibrary(100000);
    auto small = buildLibrary(10000);
    benchLookups(large, 100000);
    const double smallMs = timeDeleteEmpty(small);
    const double largeMs = timeDeleteEmpty(large);
    std::printf(
        "offline.delete_empty_scale ratio=%.2f (target <= 12) at_100k=%.1fms at_10k=%.1fms\n",
        largeMs / smallMs, largeMs, smallMs);
    std::filesystem::remove_all(large);
    std::filesystem::remove_all(small);
    return 0;
}
