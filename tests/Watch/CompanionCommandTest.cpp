// `vornctl companion` as a user runs it, as the built program: next to a watch (`vornctl
// watch-sim`), with the credentials `vornctl login` stored in the file keychain.
#include <filesystem>
#include <fstream>
#include <string>

#include "Support/CommandRun.h"
#include "Support/LibraryServer.h"
#include "Support/PipedProcess.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

namespace fs = std::filesystem;
using test::shellQuoted;

class CompanionCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = test::makeTempDir("companion-home");
        socket_ = (home_ / "watch.sock").string();
    }
    /// vornctl with `arguments`, in a home of the test's own with the file keychain.
    std::string commandLine(const std::string& arguments) const {
        return test::withEnvironment(test::userEnvironment(home_),
                                     shellQuoted(VORNCTL_PATH) + " " + arguments);
    }
    /// vornctl run to its end (or stopped after 30 s).
    test::CommandOutcome vornctl(const std::string& arguments) const {
        return test::runCommand("timeout -k 5 30 " + commandLine(arguments));
    }
    std::unique_ptr<test::PipedProcess> companion(const std::string& name) const {
        return std::make_unique<test::PipedProcess>(
            VORNCTL_PATH,
            std::vector<std::string>{"companion", "--simulate", "--fast", "--socket", socket_,
                                     "--state-dir", (home_ / name).string()},
            test::userEnvironment(home_));
    }

    fs::path home_;
    std::string socket_;
};

TEST_F(CompanionCommandTest, ASecondCompanionOnATakenSocketExitsWithTheReason) {
    auto first = companion("first");
    ASSERT_TRUE(first->waitForLine("companion: listening on " + socket_)) << first->output();

    auto second = vornctl("companion --simulate --socket " + shellQuoted(socket_) +
                          " --state-dir " + shellQuoted((home_ / "second").string()));
    EXPECT_EQ(second.status, 1) << second.out << second.err;
    EXPECT_NE(second.err.find("another session listens on " + socket_), std::string::npos)
        << second.err;
    EXPECT_EQ(second.out.find("listening on"), std::string::npos) << second.out;

    // The first one still has the socket and answers on it.
    vornctl("watch-sim --send getCredentials --socket " + shellQuoted(socket_));
    EXPECT_TRUE(first->waitForLine("watch: getCredentials")) << first->output();
    EXPECT_EQ(first->stop(), 0) << first->output();
}

// An item id from the watch reaches the server as one path segment: "x/../<track>" is an item
// that does not exist, not the track.
TEST_F(CompanionCommandTest, AnItemIdFromTheWatchStaysOnePathSegment) {
    test::LibraryServer server({.serverId = "ref-1", .accessToken = "tok-companion"},
                               {.tracks = 4, .userId = "u1"});
    const auto& base = server.address;
    const std::string track = server.library->ofType("Audio").front()->id;
    const auto credentials = home_ / "credentials.json";
    std::ofstream(credentials) << R"({"Servers":[{"Id":"ref-1","Name":"Ref","AccessToken":)"
                               << R"("tok-companion","UserId":"u1","LocalAddress":")" << base
                               << R"("}]})";
    auto login = vornctl("login --credentials " + shellQuoted(credentials.string()));
    ASSERT_EQ(login.status, 0) << login.out << login.err;

    auto running = companion("app");
    ASSERT_TRUE(running->waitForLine("companion: listening on")) << running->output();
    const std::string crafted = "x/../" + track;
    vornctl("watch-sim --send startPlayback --server ref-1 --item " + shellQuoted(crafted) +
            " --socket " + shellQuoted(socket_));
    EXPECT_TRUE(running->waitForLine("player: item " + crafted + " could not be fetched"))
        << running->output();
    auto asked = server.server.requestsTo("/vorn/Users/u1/Items/");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].target, "/vorn/Users/u1/Items/x%2F..%2F" + track);
    EXPECT_EQ(running->stop(), 0) << running->output();
}

}  // namespace
}  // namespace vk
