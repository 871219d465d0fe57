// The offline path of vornctl end to end, as the demo walks it: an album downloaded through a sync
// job, a track played from its local copy (nothing reported, an action queued), the action sent
// and deleted, a reconciliation after the server dropped a track, and a removal. Then what a user
// of stored credentials meets: --server-id alone and this device's identity on every request, the
// item's record fetched for its job, a first transfer cut, and two servers' offline actions in one
// store. The program runs as a child process with a throw-away home (keychain in a file) against
// reference servers in this process.

#include <simdjson.h>

#include <array>

#include "Support/CommandRun.h"
#include "Support/LibraryServer.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/SyncJobs.h"

namespace fs = std::filesystem;

namespace vk {
namespace {

using test::readFile;
using Outcome = test::CommandOutcome;

class OfflineCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reference_ = std::make_unique<test::LibraryServer>(
            refserver::RefServer::Options{.serverId = "cli-server", .accessToken = "cli-token"},
            refserver::LibraryOptions{
                .tracks = 6, .tracksPerAlbum = 3, .userId = "cli-user", .coverSize = 16});
        server_ = &reference_->server;
        library_ = reference_->library;
        base_ = reference_->address;
        refserver::SyncOptions sync;
        sync.readyDelay = std::chrono::milliseconds(150);
        sync_ = refserver::SyncJobs::install(*server_, library_, sync);
    }

    /// vornctl with the server's options on the command line.
    Outcome vornctl(const std::string& arguments) {
        return run("--local " + base_ +
                   " --server-id cli-server --token cli-token --user cli-user " + arguments);
    }
    /// vornctl with `arguments` alone.
    Outcome run(const std::string& arguments, const std::string& input = {}) {
        return test::runCommand(
            test::withEnvironment(test::userEnvironment(home_),
                                  test::shellQuoted(VORNCTL_PATH) + " " + arguments),
            input);
    }
    /// Stores credentials for the servers given as (id, address, token) with `vornctl login`.
    void login(const std::vector<std::array<std::string, 3>>& servers) {
        std::string text = R"({"Servers":[)";
        for (const auto& [id, address, token] : servers) {
            text += (text.back() == '[' ? "" : ",") + std::string(R"({"Id":")") + id +
                    R"(","Name":")" + id + R"(","AccessToken":")" + token +
                    R"(","UserId":"cli-user","LocalAddress":")" + address + R"("})";
        }
        Outcome stored = run("login --credentials -", text + "]}");
        ASSERT_EQ(stored.status, 0) << stored.out << stored.err;
    }
    /// This device's id as `vornctl device` prints it.
    std::string deviceId() {
        Outcome device = run("device");
        const std::string label = "device id:";
        auto at = device.out.find(label);
        EXPECT_NE(at, std::string::npos) << device.out << device.err;
        if (at == std::string::npos)
            return {};
        auto start = device.out.find_first_not_of(' ', at + label.size());
        return device.out.substr(start, device.out.find('\n', start) - start);
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
    std::unique_ptr<test::LibraryServer> reference_;
    refserver::RefServer* server_ = nullptr;
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

// --server-id alone takes the server, token and user from `vornctl login`, and every request
// names this device as `vornctl device` shows it, also with the server's options given; a
// download fetches the item's record first, so that its job names the track's album, and
// finishes although its first transfer is cut.
TEST_F(OfflineCommandsTest, StoredCredentialsAndThisDevicesIdentityServeTheOfflineCommands) {
    const std::string device = deviceId();
    ASSERT_FALSE(device.empty());
    const auto* album = library_->ofType("MusicAlbum").front();
    const std::string track = library_->children(album->id).front()->id;
    auto deviceNamed = [&](const std::string& text) {
        return text.find("\"TargetId\":\"" + device + "\"") != std::string::npos;
    };

    sync_->addFileFault({refserver::FileFault::Kind::cut, 50'000, 1});
    Outcome download = vornctl("download " + track);
    EXPECT_EQ(download.status, 0) << download.out << download.err;
    EXPECT_EQ(sync_->transferred().size(), 1u);
    auto jobs = server_->requestsTo("/vorn/Sync/Jobs");
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_TRUE(deviceNamed(jobs[0].body)) << jobs[0].body;
    EXPECT_NE(jobs[0].body.find("\"ParentId\":\"" + album->id + "\""), std::string::npos)
        << jobs[0].body;

    login({{"cli-server", base_, "cli-token"}});
    server_->clearRequests();
    Outcome stored =
        run("--server-id cli-server download " + library_->ofType("MusicAlbum")[1]->id);
    EXPECT_EQ(stored.status, 0) << stored.out << stored.err;
    Outcome sync = run("--server-id cli-server offline sync");
    EXPECT_EQ(sync.status, 0) << sync.out << sync.err;
    auto requests = server_->requestsTo("/vorn/Sync");
    EXPECT_GT(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_NE(request.header("X-Vorn-Authorization").value_or("").find("DeviceId=" + device),
                  std::string::npos)
            << request.path;
    }
    ASSERT_EQ(sync_->syncDataRequests().size(), 1u);
    EXPECT_TRUE(deviceNamed(sync_->syncDataRequests()[0])) << sync_->syncDataRequests()[0];
}

// Actions of two servers in one store: each server gets its own, and only what a server took is
// deleted. A server without stored credentials keeps its actions queued until it has them.
TEST_F(OfflineCommandsTest, EachServersOfflineActionsGoToThatServerOnly) {
    test::LibraryServer other({.serverId = "other-server", .accessToken = "other-token"},
                              {.tracks = 3, .tracksPerAlbum = 3, .userId = "cli-user"});
    const auto& otherLibrary = other.library;
    const std::string& otherBase = other.address;
    auto otherSync = refserver::SyncJobs::install(other.server, otherLibrary);
    auto onOther = [&](const std::string& arguments) {
        return run("--local " + otherBase +
                   " --server-id other-server --token other-token --user cli-user " + arguments);
    };

    const std::string mine = library_->ofType("Audio").front()->id;
    const std::string theirs = otherLibrary->ofType("Audio").front()->id;
    ASSERT_EQ(vornctl("download " + mine).status, 0);
    ASSERT_EQ(onOther("download " + theirs).status, 0);
    ASSERT_EQ(vornctl("offline play " + mine).status, 0);
    ASSERT_EQ(onOther("offline play " + theirs).status, 0);

    // The other server is known from nowhere yet: its action stays.
    Outcome first = vornctl("offline report");
    EXPECT_EQ(first.status, 1) << first.out << first.err;
    EXPECT_NE(first.out.find("other-server stay queued"), std::string::npos) << first.out;
    ASSERT_EQ(sync_->offlineActions().size(), 1u);
    EXPECT_NE(sync_->offlineActions()[0].find(mine), std::string::npos);
    EXPECT_EQ(sync_->offlineActions()[0].find("other-server"), std::string::npos)
        << sync_->offlineActions()[0];
    EXPECT_TRUE(otherSync->offlineActions().empty());

    login({{"other-server", otherBase, "other-token"}});
    Outcome second = vornctl("offline report");
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    ASSERT_EQ(otherSync->offlineActions().size(), 1u);
    EXPECT_NE(otherSync->offlineActions()[0].find(theirs), std::string::npos);
    EXPECT_NE(otherSync->offlineActions()[0].find("\"ServerId\":\"other-server\""),
              std::string::npos);
    EXPECT_EQ(sync_->offlineActions().size(), 1u) << "its own action was sent once";
    EXPECT_NE(vornctl("offline report").out.find("no offline actions queued"), std::string::npos);
}

// The help offers the server options only to the commands that take them.
TEST_F(OfflineCommandsTest, HelpOffersServerOptionsWhereTheCommandTakesThem) {
    Outcome download = run("download --help");
    EXPECT_NE(download.out.find("--server-id ID alone"), std::string::npos) << download.out;
    Outcome companion = run("companion --help");
    EXPECT_EQ(companion.status, 0);
    EXPECT_EQ(companion.out.find("server options"), std::string::npos) << companion.out;
    EXPECT_EQ(companion.out.find("--server-id"), std::string::npos) << companion.out;
    Outcome completion = run("--bash-completion");
    const auto line = completion.out.find("companion) ");
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(completion.out.substr(line, completion.out.find('\n', line) - line).find("$all"),
              std::string::npos);
}

}  // namespace
}  // namespace vk
