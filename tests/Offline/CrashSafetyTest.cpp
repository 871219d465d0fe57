// A process that saves in a loop is killed at random moments; every reopen must find a sound
// database in which every local item still has its item record.
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "Support/TestSupport.h"
#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "gtest/gtest.h"

namespace {

/// Saves batches until killed; writes one byte to `progress` after every completed save.
[[noreturn]] void saveForever(const vk::OfflineDataController::Locations& where, int progress) {
    // The forked child has one thread, the process's main thread: the store runs inline on it.
    vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());
    vk::OfflineDataController store(where);
    auto [decoder, context] = store.getManagedObjectDecoder();
    for (int round = 0;; ++round) {
        for (int i = 0; i < 20; ++i) {
            const std::string id =
                std::to_string(::getpid()) + "-" + std::to_string(round) + "-" + std::to_string(i);
            auto item = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(
                R"({"Id":")" + id +
                R"(","ServerId":"s","Type":"Audio","Genres":["Rock","Jazz"],)"
                R"("UserData":{"PlaybackPositionTicks":5,"Played":true},"ArtistItems":[{"Name":"A","Id":"a"}]})");
            auto local = store.insertNewLocalItem();
            local->itemId = id;
            local->serverId = "s";
            local->setSyncJobStatus(vk::SyncJobStatus::Completed);
            local->item = item ? *item : nullptr;
        }
        if (round % 3 == 2) {
            for (const auto& old : store.getAllLocalItemsForServer("s")) {
                if (old->syncGuid++ > 2) {
                    store.deleteLocalItem(old);
                }
            }
        }
        store.saveChanges();
        const char tick = 1;
        (void)!::write(progress, &tick, 1);
    }
}

std::string integrity(const std::filesystem::path& file, std::int64_t& orphans,
                      std::int64_t& rows) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open";
    }
    auto scalar = [&](const char* sql) -> std::string {
        sqlite3_stmt* st = nullptr;
        std::string out = "error";
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(st, 0);
            out = text ? reinterpret_cast<const char*>(text) : "";
        }
        sqlite3_finalize(st);
        return out;
    };
    std::string result = scalar("PRAGMA integrity_check;");
    orphans =
        std::stoll(scalar("SELECT count(*) FROM LocalItem WHERE item IS NULL OR item NOT IN "
                          "(SELECT Z_PK FROM BaseItemDto);"));
    rows = std::stoll(scalar("SELECT count(*) FROM LocalItem;"));
    sqlite3_close(db);
    return result;
}

TEST(CrashSafety, KilledWhileSavingTheStoreStaysSoundAndComplete) {
    auto root = vk::test::makeTempDir("crash");
    vk::OfflineDataController::Locations where{root / "group", root / "documents"};
    std::filesystem::create_directories(root / "group");
    std::filesystem::create_directories(root / "documents");
    std::mt19937 random(20261206);
    std::int64_t maxRows = 0;
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            saveForever(where, pipeFds[1]);
        }
        ::close(pipeFds[1]);
        // Kill at a random moment after the first save of this run, so most kills land inside a
        // later save whatever the machine's speed.
        pollfd waitForSave{pipeFds[0], POLLIN, 0};
        ::poll(&waitForSave, 1, 60000);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        ::kill(child, SIGKILL);
        ::close(pipeFds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped on its own in round " << round;
        if (!std::filesystem::exists(root / "group" / "Vorn.sqlite")) {
            continue;  // killed before the store was first opened
        }
        std::int64_t orphans = -1, rows = -1;
        ASSERT_EQ(integrity(root / "group" / "Vorn.sqlite", orphans, rows), "ok")
            << "round " << round;
        ASSERT_EQ(orphans, 0) << "round " << round;
        maxRows = std::max(maxRows, rows);
    }
    EXPECT_GT(maxRows, 0) << "no save ever completed: the test proved nothing";
}

}  // namespace
