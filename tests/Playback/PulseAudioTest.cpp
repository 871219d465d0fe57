// The PulseAudio backend against a real sound server: the one `./vk test` starts (PULSE_SERVER),
// or one these tests start themselves. Volumes are changed with pactl, as a user would.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "PlaybackTestSupport.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Audio/PulseAudioSession.h"
#include "VornKit/Playback/RemotePlayer.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

/// A PulseAudio server for the test: the shared one named by $PULSE_SERVER, or a private one in a
/// temporary directory (always private with `privateServer`).
class PulseServer {
  public:
    explicit PulseServer(bool privateServer = false) {
        const char* shared = std::getenv("PULSE_SERVER");
        if (shared && *shared && !privateServer) {
            address_ = shared;
        } else {
            dir_ = makeTempDir("pulse");
            address_ = "unix:" + (dir_ / "native").string();
            launch();
        }
        ready_ = waitUntilUp();
    }
    ~PulseServer() { kill(); }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }

    /// Runs pactl against this server; returns its exit status.
    int pactl(const std::string& arguments) const {
        const std::string command =
            "PULSE_SERVER='" + address_ + "' pactl " + arguments + " >/dev/null 2>&1";
        return std::system(command.c_str());
    }

    /// pactl's standard output.
    std::string pactlOutput(const std::string& arguments) const {
        const std::string command = "PULSE_SERVER='" + address_ + "' pactl " + arguments;
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[256];
            while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
                output.append(buffer, n);
            ::pclose(pipe);
        }
        while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back())))
            output.pop_back();
        return output;
    }

    /// Stops a private server (SIGTERM) and waits for it.
    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    /// Starts a stopped private server again on the same socket.
    void restart() {
        launch();
        ready_ = waitUntilUp();
    }

    /// What the private server wrote (for failure messages).
    std::string serverLog() const {
        std::stringstream text;
        text << std::ifstream(dir_ / "log").rdbuf();
        return text.str();
    }

    /// Polls for up to 30 s (a loaded machine starts a server slowly).
    static bool waitUntil(const std::function<bool()>& condition) {
        for (int i = 0; i < 1200; ++i) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

  private:
    /// Until pactl reaches the server; gives up early when a private server has exited.
    bool waitUntilUp() {
        bool exited = false;
        bool up = waitUntil([&] {
            if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                exited = true;
            }
            return exited || pactl("info") == 0;
        });
        return up && !exited;
    }

    void launch() {
        const auto home = dir_ / "home";
        const auto runtime = dir_ / "run";
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        const std::string socket =
            "module-native-protocol-unix auth-anonymous=1 socket=" + (dir_ / "native").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("HOME", home.c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            // Off the test session bus, where another server may hold PulseAudio's name.
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
            int log = ::open((dir_ / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                     "--use-pid-file=no", "--log-target=stderr", "-L", "module-null-sink", "-L",
                     socket.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }

    std::filesystem::path dir_;
    std::string address_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

std::optional<float> volumeOf(const std::shared_ptr<AudioSession>& session) {
    return session->outputVolume();
}

/// pactl's percentages become whole steps of 1/65536: 40 % reads as 0.39999.
bool near(std::optional<float> volume, float expected) {
    return volume && std::abs(*volume - expected) < 0.0001f;
}

TEST(PulseAudioSession, FollowsTheDefaultSinkVolumeMuteAndDefaultSinkChanges) {
    PulseServer server;
    ASSERT_TRUE(server.ready()) << "no PulseAudio server at " << server.address() << "\n"
                                << server.serverLog();
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 50%"), 0);
    std::shared_ptr<AudioSession> session =
        PulseAudioSession::connect(std::chrono::seconds(5), server.address());
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->backendName(), "pulseaudio");
    ASSERT_TRUE(PulseServer::waitUntil([&] { return volumeOf(session) == 0.5f; }));

    std::vector<float> seen;
    auto token = session->addOutputVolumeObserver(DispatchQueue::main(),
                                                  [&](float volume) { seen.push_back(volume); });
    ASSERT_TRUE(pumpMainQueueUntil([&] { return seen.size() == 1; }));
    EXPECT_EQ(seen[0], 0.5f);

    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 12.5%"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[1], 0.125f);
    ASSERT_EQ(server.pactl("set-sink-mute @DEFAULT_SINK@ 1"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen[2], 0.0f);
    ASSERT_EQ(server.pactl("set-sink-mute @DEFAULT_SINK@ 0"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return seen.size() == 4; }));
    EXPECT_EQ(seen[3], 0.125f);
    // Above 100 % reads as full volume.
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 150%"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return seen.size() == 5; }));
    EXPECT_EQ(seen[4], 1.0f);

    // A new default sink brings its own volume.
    const std::string module =
        server.pactlOutput("load-module module-null-sink sink_name=vk_second");
    ASSERT_FALSE(module.empty());
    ASSERT_EQ(server.pactl("set-sink-volume vk_second 80%"), 0);
    ASSERT_EQ(server.pactl("set-default-sink vk_second"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return !seen.empty() && near(seen.back(), 0.8f); }));
    session->removeOutputVolumeObserver(token);
    ASSERT_EQ(server.pactl("set-default-sink null"), 0);
    ASSERT_EQ(server.pactl("unload-module " + module), 0);
}

TEST(PulseAudioSession, NoServerGivesNoSession) {
    const auto start = std::chrono::steady_clock::now();
    auto session = PulseAudioSession::connect(std::chrono::seconds(3),
                                              "unix:" + (makeTempDir("none") / "native").string());
    EXPECT_EQ(session, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(PulseAudioSession, ForgetsTheVolumeWhileTheServerIsGoneAndReconnects) {
    PulseServer server(true);
    ASSERT_TRUE(server.ready()) << server.serverLog();
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 40%"), 0);
    auto session = PulseAudioSession::connect(std::chrono::seconds(5), server.address());
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(PulseServer::waitUntil([&] { return near(session->outputVolume(), 0.4f); }));
    server.kill();
    ASSERT_TRUE(PulseServer::waitUntil([&] { return !session->outputVolume().has_value(); }));
    server.restart();
    ASSERT_TRUE(server.ready()) << server.serverLog();
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 60%"), 0);
    EXPECT_TRUE(PulseServer::waitUntil([&] { return near(session->outputVolume(), 0.6f); }));
}

TEST(PulseAudioRemotePlayer, VolumeChangesMadeWithPactlReachTheWebPlayer) {
    PulseServer server;
    ASSERT_TRUE(server.ready()) << server.serverLog();
    ASSERT_EQ(server.pactl("set-sink-mute @DEFAULT_SINK@ 0"), 0);
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 65%"), 0);
    auto session = PulseAudioSession::connect(std::chrono::seconds(5), server.address());
    ASSERT_NE(session, nullptr);
    auto web = std::make_shared<WebViewRecorder>();
    auto player = std::make_shared<RemotePlayer>(web, session);
    player->startVolumeObserver();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return web->statements().size() == 1; }));
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 30%"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return web->statements().size() == 2; }));
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 12.5%"), 0);
    ASSERT_TRUE(pumpMainQueueUntil([&] { return web->statements().size() == 3; }));
    player->stopVolumeObserver();
    ASSERT_EQ(server.pactl("set-sink-volume @DEFAULT_SINK@ 90%"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RunLoop::main().drain();

    const auto statements = web->statements();
    ASSERT_EQ(statements.size(), 3u);
    const auto results = runInNode(statements);
    ASSERT_EQ(results.size(), 3u);
    const int expected[] = {65, 30, 13};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(results[i].ok) << results[i].error;
        ASSERT_EQ(results[i].calls.size(), 2u);
        EXPECT_EQ(results[i].calls[1].method, "setVolume");
        EXPECT_EQ(results[i].calls[1].args.at(0).number, expected[i]) << statements[i];
    }
}

}  // namespace
}  // namespace vk::test
