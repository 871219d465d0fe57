// `vornctl companion` as a user runs it, as the built program: next to a watch (`vornctl
// watch-sim`), with the credentials `vornctl login` stored in the file keychain.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Support/CommandRun.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"

namespace vk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

/// A shell command line started in the background (through `exec`, so that its process is the
/// command's), its outputs going to one file.
class Background {
  public:
    Background(const std::string& command, fs::path output) : output_(std::move(output)) {
        const std::string line =
            "exec " + command + " > " + shellQuoted(output_.string()) + " 2>&1";
        const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
        if (::posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) !=
            0)
            pid_ = -1;
    }
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    /// Whether the output has a line starting with `prefix`, polled until `timeout`.
    bool waitForLine(const std::string& prefix, std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in(output_);
            for (std::string line; std::getline(in, line);) {
                if (line.rfind(prefix, 0) == 0)
                    return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    /// SIGTERM, then its exit status (-1 when it did not exit normally).
    int stop() {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const { return test::readFile(output_); }

  private:
    fs::path output_;
    pid_t pid_ = -1;
};

class CompanionCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = test::makeTempDir("companion-home");
        socket_ = (home_ / "watch.sock").string();
    }
    /// vornctl with `arguments`, in a home of the test's own with the file keychain.
    std::string commandLine(const std::string& arguments) const {
        return "env HOME=" + shellQuoted(home_.string()) +
               " XDG_DATA_HOME=" + shellQuoted((home_ / "data").string()) +
               " XDG_CONFIG_HOME=" + shellQuoted((home_ / "config").string()) +
               " VORNKIT_SECRET_STORE=file " + shellQuoted(VORNCTL_PATH) + " " + arguments;
    }
    /// vornctl run to its end (or stopped after 30 s).
    test::CommandOutcome vornctl(const std::string& arguments) const {
        return test::runCommand("timeout -k 5 30 " + commandLine(arguments));
    }
    std::unique_ptr<Background> companion(const std::string& name) const {
        return std::make_unique<Background>(
            commandLine("companion --simulate --fast --socket " + shellQuoted(socket_) +
                        " --state-dir " + shellQuoted((home_ / name).string())),
            home_ / (name + ".out"));
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
    refserver::RefServer::Options options;
    options.accessToken = "tok-companion";
    options.serverId = "ref-1";
    refserver::RefServer server(options);
    refserver::LibraryOptions libraryOptions;
    libraryOptions.tracks = 4;
    libraryOptions.userId = "u1";
    auto library = refserver::Library::install(server, libraryOptions);
    const auto base = *server.listen({"main", "127.0.0.1", 0, std::nullopt});
    const std::string track = library->ofType("Audio").front()->id;
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
    auto asked = server.requestsTo("/vorn/Users/u1/Items/");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].target, "/vorn/Users/u1/Items/x%2F..%2F" + track);
    EXPECT_EQ(running->stop(), 0) << running->output();
}

}  // namespace
}  // namespace vk
