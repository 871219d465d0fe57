// The offline store shared by separate processes: the first start of two processes at once, a
// restart, and queries while another process writes. The other process is
// tests/Offline/helper/OfflineStoreHelper.cpp.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "Support/TestSupport.h"
#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "gtest/gtest.h"

using vk::LocalItem;
using vk::OfflineDataController;
using vk::SyncJobStatus;

namespace {

/// A helper process with pipes to its stdin and from its stdout.
class Helper {
  public:
    explicit Helper(std::vector<std::string> arguments) {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            return;
        }
        arguments.insert(arguments.begin(), VK_OFFLINE_STORE_HELPER);
        // Built before fork(): the child only calls what is safe in a copy of a threaded process.
        std::vector<char*> argv;
        for (auto& a : arguments) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = ::fdopen(out[0], "r");
    }
    ~Helper() {
        closeInput();
        wait();
        if (out_) {
            std::fclose(out_);
        }
    }

    void send(const std::string& text) { (void)!::write(in_, text.data(), text.size()); }
    void closeInput() {
        if (in_ >= 0) {
            ::close(in_);
            in_ = -1;
        }
    }
    /// The next line the helper printed, without its newline ("" at the end of its output).
    std::string readLine() {
        char buffer[65536];
        if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) {
            return "";
        }
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        return line;
    }
    /// Its exit status (-1 when it did not exit normally).
    int wait() {
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    std::FILE* out_ = nullptr;
    int status_ = -1;
};

class StoreProcessTest : public ::testing::Test {
  protected:
    std::filesystem::path root = vk::test::makeTempDir("processes");
    OfflineDataController::Locations where{root / "group", root / "documents"};
    vk::test::ScopedLogCapture capture;

    void SetUp() override {
        std::filesystem::create_directories(root / "group");
        std::filesystem::create_directories(root / "documents");
    }

    std::vector<std::string> helperArgs(const std::string& command) {
        return {command, where.groupContainer->string(), where.documents->string()};
    }

    static std::shared_ptr<LocalItem> addLocal(OfflineDataController& store, const std::string& id,
                                               SyncJobStatus status) {
        auto [decoder, context] = store.getManagedObjectDecoder();
        auto record = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(
            R"({"Id":")" + id + R"(","ServerId":"s1","Type":"Audio"})");
        auto local = store.insertNewLocalItem();
        local->itemId = id;
        local->serverId = "s1";
        local->setSyncJobStatus(status);
        local->item = record ? *record : nullptr;
        return local;
    }

    static std::vector<std::string> ids(const std::vector<std::shared_ptr<LocalItem>>& items) {
        std::vector<std::string> out;
        for (const auto& i : items) {
            out.push_back(i->itemId);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(StoreProcessTest, TwoProcessesStartingTogetherMoveTheLegacyStoreOnceAndLoseNothing) {
    // A legacy store large enough that copying it takes a while, so both processes are inside
    // the first start at once.
    {
        OfflineDataController legacy(
            OfflineDataController::Locations{root / "documents", root / "unused"});
        for (int i = 0; i < 3000; ++i) {
            addLocal(legacy, "legacy-" + std::to_string(i), SyncJobStatus::Completed);
        }
        legacy.saveChanges();
    }
    for (int round = 0; round < 3; ++round) {
        std::filesystem::remove(root / "group" / "Vorn.sqlite");
        std::filesystem::remove(root / "group" / "Vorn.sqlite-wal");
        std::filesystem::remove(root / "group" / "Vorn.sqlite-shm");
        auto argsA = helperArgs("first-open");
        argsA.push_back("app-" + std::to_string(round));
        auto argsB = helperArgs("first-open");
        argsB.push_back("extension-" + std::to_string(round));
        Helper app(argsA);
        Helper extension(argsB);
        app.send("g");
        extension.send("g");
        ASSERT_EQ(app.readLine(), "opened");
        ASSERT_EQ(extension.readLine(), "opened");
        // Both have their store open; now both save.
        app.send("s");
        extension.send("s");
        EXPECT_EQ(app.readLine(), "saved");
        EXPECT_EQ(extension.readLine(), "saved");
        ASSERT_EQ(app.wait(), 0);
        ASSERT_EQ(extension.wait(), 0);

        OfflineDataController reopened(where);
        EXPECT_TRUE(reopened.getLocalItemWith("s1", "app-" + std::to_string(round)))
            << "round " << round << ": the application's save was lost";
        EXPECT_TRUE(reopened.getLocalItemWith("s1", "extension-" + std::to_string(round)))
            << "round " << round << ": the extension's save was lost";
        EXPECT_EQ(reopened.getAllLocalItemsForServer("s1").size(), 3002u) << "round " << round;
    }
}

TEST_F(StoreProcessTest, SavedRecordsComeBackEqualInANewProcess) {
    const std::string itemJson =
        R"({"MediaSources":[{"Protocol":"File","Id":"ms1","Path":"/music/a.flac","Container":"flac",)"
        R"("Size":31457280,"Name":"A","RunTimeTicks":1800000000,"SupportsDirectPlay":true,)"
        R"("MediaStreams":[{"Codec":"flac","Type":"Audio","Index":0,"Channels":2,"SampleRate":44100,)"
        R"("BitRate":1411000,"Language":"eng"},{"Codec":"mjpeg","Type":"EmbeddedImage","Index":1}]}],)"
        R"("UserData":{"PlaybackPositionTicks":123456789,"PlayCount":3,"IsFavorite":true,)"
        R"("Played":false,"Key":"k1","LastPlayedDate":"2026-01-02T03:04:05.0000000Z"},)"
        R"("ImageTags":{"Primary":"p1","Logo":"l\u00e9"},)"
        R"("AlbumArtists":[{"Name":"Band","Id":"artist-1"},{"Name":"Other \"quoted\"","Id":"artist-2"}],)"
        R"("ArtistItems":[{"Name":"Band","Id":"artist-1"}],"Name":"Track \u2013 one","ServerId":"s1",)"
        R"("Id":"rt","RunTimeTicks":1800000000,"Type":"Audio","MediaType":"Audio","CommunityRating":7.25,)"
        R"("Genres":["Rock","Indie"],"ProviderIds":{"MusicBrainzTrack":"mb-1"},"IsFolder":false})";
    const std::string actionJson =
        R"({"Date":786297600.125,"ItemId":"rt","ServerId":"s1","PositionTicks":15000000.5,"Type":0,"UserId":"u1"})";

    Helper save(helperArgs("save-records"));
    save.send(itemJson + "\n" + actionJson + "\n");
    save.closeInput();
    ASSERT_EQ(save.wait(), 0);

    Helper load(helperArgs("load-records"));
    const std::string item = load.readLine();
    const std::string action = load.readLine();
    EXPECT_EQ(load.readLine(), "") << "one action only";
    ASSERT_EQ(load.wait(), 0);

    // What the same records encode to when they never left memory.
    vk::JsonEncoder encoder;
    auto expectedItem = vk::JsonDecoder{}.decode<std::shared_ptr<vk::BaseItemDto>>(itemJson);
    ASSERT_TRUE(expectedItem);
    EXPECT_EQ(item, encoder.encode(*expectedItem).value_or("?"));
    EXPECT_NE(item.find(R"("PlaybackPositionTicks":123456789)"), std::string::npos) << item;
    EXPECT_NE(item.find(R"("MediaStreams":[{"Type":"Audio","Codec":"flac")"), std::string::npos)
        << item;
    EXPECT_NE(item.find(R"("AlbumArtists":[{"Name":"Band","Id":"artist-1"},{"Name":"Other)"),
              std::string::npos)
        << item;
    OfflineDataController scratch(
        OfflineDataController::Locations{root / "scratch", root / "scratch-docs"});
    auto [decoder, context] = scratch.getManagedObjectDecoder();
    auto expectedAction = decoder.decode<std::shared_ptr<vk::OfflineAction>>(actionJson);
    ASSERT_TRUE(expectedAction);
    EXPECT_EQ(action, encoder.encode(*expectedAction).value_or("?"));
    EXPECT_EQ(action, actionJson);
}

TEST_F(StoreProcessTest, QueriesAnswerFromUnsavedChangesWhileAnotherProcessHoldsTheWriteLock) {
    OfflineDataController store(where);
    addLocal(store, "kept", SyncJobStatus::Completed);
    addLocal(store, "doomed", SyncJobStatus::Completed);
    addLocal(store, "finishing", SyncJobStatus::Transferring);
    store.saveChanges();

    const auto file = root / "group" / "Vorn.sqlite";
    Helper writer({"hold-write-lock", file.string()});
    ASSERT_EQ(writer.readLine(), "locked");

    // Unsaved: one insertion, one deletion, one status change.
    addLocal(store, "fresh", SyncJobStatus::Completed);
    auto doomed = store.getLocalItemWith("s1", "doomed");
    ASSERT_TRUE(doomed);
    store.deleteLocalItem(doomed);
    auto finishing = store.getLocalItemWith("s1", "finishing");
    ASSERT_TRUE(finishing);
    finishing->setSyncJobStatus(SyncJobStatus::Completed);

    EXPECT_TRUE(store.localItemExists("s1", "fresh"));
    EXPECT_FALSE(store.localItemExists("s1", "doomed"));
    EXPECT_EQ(ids(store.getAllLocalItemsForServer("s1")),
              (std::vector<std::string>{"finishing", "fresh", "kept"}));
    EXPECT_EQ(ids(store.getLocalItemsByType("s1", {"Audio"})),
              (std::vector<std::string>{"finishing", "fresh", "kept"}));
    EXPECT_EQ(store.getSyncStatusForLibraryItemId("finishing", "s1"), SyncJobStatus::Completed);
    EXPECT_EQ(ids(store.getLocalItemsByIds("s1", {"fresh", "doomed", "kept"})),
              (std::vector<std::string>{"fresh", "kept"}));

    // The writer's row is not ours to see, and nothing of ours reached the file.
    EXPECT_TRUE(store.getAllOfflineActions().empty());
    writer.closeInput();
    ASSERT_EQ(writer.wait(), 0);
    OfflineDataController other(where);
    EXPECT_EQ(ids(other.getAllLocalItemsForServer("s1")),
              (std::vector<std::string>{"doomed", "kept"}));

    // Once saved, the changes are in the file.
    store.saveChanges();
    OfflineDataController after(where);
    EXPECT_EQ(ids(after.getAllLocalItemsForServer("s1")),
              (std::vector<std::string>{"finishing", "fresh", "kept"}));
}

}  // namespace
