// The offline path of vornctl end to end, as the demo walks it: an album downloaded through a sync
// job, a track played from its local copy (nothing reported, an action queued), the action sent
// and deleted, a reconciliation after the server dropped a track, and a removal. The program runs
// as a child process with a throw-away home against the reference server in this process.

#include <simdjson.h>

#include "Support/CommandRun.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"

namespace fs = std::filesystem;

namespace vk {
namespace {

using test::readFile;
using Outcome = test::CommandOutcome;

class OfflineCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        refserver::RefServer::Options options;
        options.accessToken = "cli-token";
        options.serverId = "cli-server";
        server_ = std::make_unique<refserver::RefServer>(options);
        refserver::LibraryOptions library;
        library.tracks = 6;
        library.tracksPerAlbum = 3;
        library.userId = "cli-user";
        library.coverSize = 16;
        library_ = refserver::Library::install(*server_, library);
        refserver::SyncOptions sync;
        sync.readyDelay = std::chrono::milliseconds(150);
        sync_ = refserver::SyncJobs::install(*server_, library_, sync);
        base_ = *server_->listen({"main", "127.0.0.1", 0, std::nullopt});
    }

    Outcome vornctl(const std::string& arguments) {
        return test::runCommand(
            "env HOME='" + home_.string() + "' XDG_DATA_HOME='" + (home_ / "data").string() +
            "' XDG_CONFIG_HOME='" + (home_ / "config").string() + "' '" + VORNCTL_PATH +
            "' --local " + base_ + " --server-id cli-server --token cli-token --user cli-user " +
            arguments);
    }

    /// "ItemId" -> "LocalPath" of a JSON list of local items.
    static std::map<std::string, std::string> localItems(const std::string& json) {
        std::map<std::string, std::string> out;
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        EXPECT_EQ(parser.parse(json).get(root), simdjson::SUCCESS) << json;
        simdjson::dom::array list;
        if (root.get(list) != simdjson::SUCCESS)
            return out;
        for (simdjson::dom::element entry : list) {
            std::string_view id, path;
            EXPECT_EQ(entry["ItemId"].get(id), simdjson::SUCCESS);
            if (entry["LocalPath"].get(path) != simdjson::SUCCESS)
                path = "";
            out[std::string(id)] = std::string(path);
        }
        return out;
    }

    /// The file under the throw-away home whose path ends with `relative`.
    fs::path find(const std::string& relative) const {
        for (const auto& entry : fs::recursive_directory_iterator(home_)) {
            const std::string path = entry.path().string();
            if (path.size() > relative.size() &&
                path.compare(path.size() - relative.size(), relative.size(), relative) == 0) {
                return entry.path();
            }
        }
        return {};
    }

    fs::path home_ = test::makeTempDir("vornctl-offline");
    std::unique_ptr<refserver::RefServer> server_;
    std::shared_ptr<refserver::Library> library_;
    std::shared_ptr<refserver::SyncJobs> sync_;
    std::string base_;
};

TEST_F(OfflineCommandsTest, DownloadPlayReportReconcileAndRemove) {
    const auto* album = library_->ofType("MusicAlbum").front();
    const auto tracks = library_->children(album->id);
    ASSERT_EQ(tracks.size(), 3u);

    // Not a terminal: plain lines, and with --json the local items made.
    Outcome download = vornctl("download " + album->id + " --json");
    ASSERT_EQ(download.status, 0) << download.out << download.err;
    auto downloaded = localItems(download.out);
    ASSERT_EQ(downloaded.size(), tracks.size()) << download.out;
    for (const auto* track : tracks) {
        SCOPED_TRACE(track->id);
        ASSERT_EQ(downloaded.count(track->id), 1u);
        const std::string& relative = downloaded[track->id];
        EXPECT_EQ(fs::path(relative).parent_path(), fs::path("cli-server") / track->id);
        fs::path file = find("/" + relative);
        ASSERT_FALSE(file.empty()) << relative;
        EXPECT_EQ(readFile(file), sync_->mediaFile(track->id));
    }
    EXPECT_EQ(sync_->transferred().size(), tracks.size());

    Outcome list = vornctl("offline list --json");
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(localItems(list.out), downloaded);

    // A local play-through: the server hears nothing, an action is queued.
    const std::string played = tracks[0]->id;
    Outcome play = vornctl("offline play " + played);
    ASSERT_EQ(play.status, 0) << play.out << play.err;
    EXPECT_NE(play.out.find("offline actions queued:  1 (1 new)"), std::string::npos) << play.out;
    EXPECT_TRUE(library_->reports().empty());

    Outcome report = vornctl("offline report");
    ASSERT_EQ(report.status, 0) << report.out << report.err;
    auto sent = sync_->offlineActions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].find("\"ItemId\":\"" + played + "\""), std::string::npos) << sent[0];
    EXPECT_NE(sent[0].find("\"ServerId\":\"cli-server\""), std::string::npos) << sent[0];
    Outcome again = vornctl("offline report");
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("no offline actions queued"), std::string::npos) << again.out;
    EXPECT_EQ(sync_->offlineActions().size(), 1u) << "sent once, then deleted";

    // The server drops a track: reconciliation removes its local item and its folder.
    const std::string dropped = tracks[1]->id;
    const fs::path droppedFile = find("/" + downloaded[dropped]);
    sync_->dropItem(dropped);
    Outcome reconcile = vornctl("offline sync");
    ASSERT_EQ(reconcile.status, 0) << reconcile.out << reconcile.err;
    EXPECT_NE(reconcile.out.find("removed " + dropped), std::string::npos) << reconcile.out;
    EXPECT_FALSE(fs::exists(droppedFile.parent_path()));

    const std::string removed = tracks[2]->id;
    Outcome remove = vornctl("offline remove " + removed);
    ASSERT_EQ(remove.status, 0) << remove.out << remove.err;
    Outcome missing = vornctl("offline remove " + removed);
    EXPECT_EQ(missing.status, 1) << "nothing left to remove";

    auto left = localItems(vornctl("offline list --json").out);
    EXPECT_EQ(left.size(), 1u);
    EXPECT_EQ(left.count(played), 1u);
}

}  // namespace
}  // namespace vk
