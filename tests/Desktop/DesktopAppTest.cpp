// VornKit Desktop as a person meets it, headless: the application runs under xvfb-run with a
// throw-away home and a session bus of the test's own, against the reference server (in this
// process), its web interface driven by a script of steps (--script), libmpv on its null audio
// output. What the page shows comes back through the script's step lines; what the server heard
// from the server's own record of requests and reports.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Support/DesktopServices.h"
#include "Support/TestSupport.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "VornKit/Platform/Coding/Image.h"
#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Playback/JavaScriptText.h"
#include "gtest/gtest.h"
#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"
#include "refserver/WebInterface.h"

namespace vk::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kToken = "desktop-test-token";
constexpr const char* DesktopAppId = "app.vorn.VornKitDesktop";

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// One run of the application: a process group of its own (xvfb-run, Xvfb, the application),
/// its standard output and error in files.
class AppRun {
  public:
    AppRun(const std::vector<std::string>& arguments,
           const std::vector<std::pair<std::string, std::string>>& env,
           const std::filesystem::path& dir)
        : out_(dir / "out.txt"), err_(dir / "err.txt") {
        std::vector<std::string> argv = {"xvfb-run", "-a", "-s",
                                         "-screen 0 1280x860x24 -nolisten tcp"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            for (const auto& [key, value] : env)
                ::setenv(key.c_str(), value.c_str(), 1);
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
    }
    ~AppRun() { kill(); }

    std::string output() const { return readFile(out_); }
    std::string errors() const { return readFile(err_); }

    /// Waits (polling its output) until `done` holds for the output; false when the run ended
    /// or `limit` passed first.
    bool waitForOutput(const std::function<bool(const std::string&)>& done,
                       std::chrono::seconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (done(output()))
                return true;
            if (exited())
                return done(output());
            std::this_thread::sleep_for(50ms);
        }
        return done(output());
    }
    /// Waits until the run ends; its exit status, or -1 when it had to be killed.
    int wait(std::chrono::seconds limit = 90s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exited() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        if (!exited()) {
            kill();
            return -1;
        }
        return status_;
    }

  private:
    bool exited() {
        if (pid_ <= 0)
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
            return true;
        }
        return false;
    }
    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(-pid_, SIGTERM);
        for (int i = 0; i < 100 && !exited(); ++i)
            std::this_thread::sleep_for(50ms);
        if (!exited()) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    std::filesystem::path out_;
    std::filesystem::path err_;
    pid_t pid_ = -1;
    int status_ = -1;
};

/// A session bus of the test's own that starts no service on demand, as on a headless machine:
/// no Secret Service, so the application keeps its secrets in the encrypted file store of its
/// home. DBUS_SESSION_BUS_ADDRESS names it while it lives.
class HeadlessSessionBus {
  public:
    HeadlessSessionBus() {
        const auto config = makeTempDir("bus") / "session.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                                 "Configuration 1.0//EN\" "
                                 "\"http://www.freedesktop.org/standards/dbus/1.0/"
                                 "busconfig.dtd\">\n"
                                 "<busconfig><type>session</type>"
                                 "<listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                                 "<policy context=\"default\"><allow send_destination=\"*\" "
                                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        const auto started = runCommand("dbus-daemon --config-file=" + config.string() +
                                        " --fork --nopidfile --print-address=1 --print-pid=1");
        std::istringstream lines(started.output);
        std::string pid;
        std::getline(lines, address_);
        std::getline(lines, pid);
        if (started.status != 0 || address_.empty() || pid.empty())
            return;
        pid_ = std::stoi(pid);
        if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            previous_ = previous;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~HeadlessSessionBus() {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
        if (previous_)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1);
        else
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    bool ready() const { return pid_ > 0; }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    pid_t pid_ = -1;
    std::optional<std::string> previous_;
};

/// The step lines of a run: "step <n> ok: <result>".
std::string stepResult(const std::string& output, int step) {
    const std::regex line("step " + std::to_string(step) + " ok: (.*)");
    std::smatch match;
    return std::regex_search(output, match, line) ? match[1].str() : std::string();
}

bool stepPassed(const std::string& output, int step) {
    return output.find("step " + std::to_string(step) + " ok: ") != std::string::npos;
}

std::vector<std::string> lines(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line.substr(prefix.size()));
    return out;
}

class DesktopAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"xvfb-run", "playerctl"})
            if (runCommand(std::string("command -v ") + tool + " >/dev/null").status != 0)
                GTEST_SKIP() << tool << " is not installed";
        bus_ = std::make_unique<HeadlessSessionBus>();
        ASSERT_TRUE(bus_->ready());
        notifications_ = std::make_unique<MockNotificationDaemon>();
        ASSERT_TRUE(notifications_->ready());

        refserver::RefServer::Options options;
        options.accessToken = kToken;
        server_ = std::make_unique<refserver::RefServer>(options);
        refserver::LibraryOptions library;
        library.tracks = 6;
        library.tracksPerAlbum = 3;
        library_ = refserver::Library::install(*server_, library);
        refserver::SyncJobs::install(*server_, library_, {});
        refserver::WebInterface::install(*server_, library_, {"demo", "demo", kToken});
        // What the server heard, for the scripts to wait on.
        server_->route(
            "GET", "Test/Reports",
            [library = library_](const refserver::Request&, refserver::Response& response) {
                vk::JsonWriter writer(response.body);
                writer.beginArray();
                for (const auto& report : library->reports()) {
                    writer.beginObject();
                    writer.key("endpoint");
                    writer.string(report.endpoint);
                    writer.key("itemId");
                    writer.string(report.itemId);
                    writer.key("eventName");
                    writer.string(report.eventName);
                    writer.endObject();
                }
                writer.endArray();
            },
            refserver::Access::open);
        auto address = server_->listen({"main", "127.0.0.1", 0, std::nullopt});
        ASSERT_TRUE(address);
        address_ = *address;
        album_ = library_->ofType("MusicAlbum").front();
        tracks_ = library_->children(album_->id);
        ASSERT_EQ(tracks_.size(), 3u);

        home_ = makeTempDir("desktop-home");
        for (const char* dir : {"data", "config", "cache", "state", "run"})
            std::filesystem::create_directories(home_ / dir);
        ::chmod((home_ / "run").c_str(), 0700);
    }

    /// Runs the application with `script` and these further arguments.
    std::unique_ptr<AppRun> start(const std::string& script,
                                  std::vector<std::string> arguments = {}) {
        const auto dir = makeTempDir("desktop-run");
        const auto scriptFile = dir / "script.txt";
        std::ofstream(scriptFile) << script;
        std::vector<std::string> argv = {
            VK_DESKTOP_BINARY,     "--trace", "--audio-output", "null",
            "--probe-interval-ms", "500",     "--script",       scriptFile.string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return std::make_unique<AppRun>(argv,
                                        std::vector<std::pair<std::string, std::string>>{
                                            {"HOME", home_.string()},
                                            {"XDG_DATA_HOME", (home_ / "data").string()},
                                            {"XDG_CONFIG_HOME", (home_ / "config").string()},
                                            {"XDG_CACHE_HOME", (home_ / "cache").string()},
                                            {"XDG_STATE_HOME", (home_ / "state").string()},
                                            {"XDG_RUNTIME_DIR", (home_ / "run").string()},
                                            {"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
                                            {"GSETTINGS_BACKEND", "memory"},
                                            {"NO_AT_BRIDGE", "1"},
                                            {"GTK_A11Y", "none"}},
                                        dir);
    }

    /// Steps that sign in on the server's interface (the application opened at --server).
    static std::string signIn() {
        return R"JS(
await waitFor(() => $('#sign-in') && !$('#sign-in').hidden, 'the sign-in form');
type('#user', 'demo');
type('#password', 'demo');
click('#sign-in-button');
await waitFor(() => document.querySelectorAll('#album-grid .card').length > 0, 'the albums');
return document.querySelectorAll('#album-grid .card').length;
)JS";
    }
    /// A step that opens the first album and plays it.
    static std::string playFirstAlbum() {
        return R"JS(
click('#album-grid .card');
await waitFor(() => !$('#album').hidden && document.querySelectorAll('#track-list li').length === 3,
              'the album');
click('#play-album');
await waitFor(() => $('#np-state').textContent === 'Playing', 'playback');
return $('#np-title').textContent;
)JS";
    }
    /// A step that waits until the server has `count` reports to `endpoint` ("Stopped", ...).
    static std::string waitForReports(const std::string& suffix, int count,
                                      const std::string& event = "") {
        return "await waitFor(async () => (await (await fetch('/vorn/Test/Reports')).json())"
               ".filter((r) => r.endpoint.endsWith('" +
               suffix + "')" + (event.empty() ? "" : " && r.eventName === '" + event + "'") +
               ").length >= " + std::to_string(count) + ", 'the reports', 60000);\nreturn true;";
    }
    std::vector<std::string> serverArgument() const { return {"--server", address_}; }

    /// The item ids of the reports to `endpoint` (exactly), in arrival order.
    std::vector<std::string> reportedItems(const std::string& endpoint,
                                           const std::string& event = "") const {
        std::vector<std::string> ids;
        for (const auto& report : library_->reports())
            if (report.endpoint == endpoint && (event.empty() || report.eventName == event))
                ids.push_back(report.itemId);
        return ids;
    }

    std::unique_ptr<HeadlessSessionBus> bus_;
    std::unique_ptr<MockNotificationDaemon> notifications_;
    std::unique_ptr<refserver::RefServer> server_;
    std::shared_ptr<refserver::Library> library_;
    std::string address_;
    const refserver::LibraryItem* album_ = nullptr;
    std::vector<const refserver::LibraryItem*> tracks_;
    std::filesystem::path home_;
};

TEST_F(DesktopAppTest, SignInStoresTheCredentialsAndTheNextStartOpensTheServerSignedIn) {
    // First start: the start page asks for the server; its interface asks for the user.
    auto first = start(
        "await waitFor(() => $('#address'), 'the start page');\n"
        "type('#address', '" +
        address_ +
        "');\n"
        "click('#connect-button');\nreturn true;\n"
        "---\n@wait-page " +
        address_ +
        "/web/\n---\n"
        R"JS(
await waitFor(() => $('#sign-in') && !$('#sign-in').hidden, 'the sign-in form');
type('#user', 'demo');
type('#password', 'wrong');
click('#sign-in-button');
return await waitFor(() => $('#sign-in-error').textContent, 'the refusal');
---
)JS" + signIn());
    EXPECT_EQ(first->wait(), 0) << first->output() << first->errors();
    const std::string out = first->output();
    EXPECT_EQ(stepResult(out, 3), "\"Wrong user name or password.\"");
    EXPECT_EQ(stepResult(out, 4), "2");  // two albums

    // The token is in the secret store (the encrypted file store: the test's bus offers no
    // Secret Service), and not in plain text.
    const auto store = home_ / "data" / "vornkit-secrets" / "store";
    ASSERT_TRUE(std::filesystem::exists(store));
    EXPECT_EQ(readFile(store).find(kToken), std::string::npos);

    // Second start, no --server: straight to the server's interface, signed in.
    auto second = start(R"JS(
await waitFor(() => document.querySelectorAll('#album-grid .card').length > 0, 'the albums');
return [location.origin, $('#sign-in').hidden, $('#sign-out').hidden];
)JS");
    EXPECT_EQ(second->wait(), 0) << second->output() << second->errors();
    EXPECT_EQ(stepResult(second->output(), 1), "[\"" + address_ + "\",true,false]");
    // The interface's requests carried the stored token.
    const auto views = server_->requestsTo("/vorn/Users/" + library_->userId() + "/Items");
    ASSERT_FALSE(views.empty());
    EXPECT_NE(views.back().header("X-Vorn-Authorization").value_or("").find(kToken),
              std::string::npos);
}

TEST_F(DesktopAppTest, PlayingAnAlbumDrivesThePageAndReportsEveryTrackToTheServer) {
    auto run = start(signIn() + "\n---\n" + playFirstAlbum() + "\n---\n" + R"JS(
const slider = $('#np-volume');
slider.value = '40';
slider.dispatchEvent(new Event('input'));
await waitFor(() => VornWeb.nowPlaying.volume === 40 && slider.value === '40', 'the volume');
return VornWeb.nowPlaying.volume;
---
)JS" + waitForReports("Playing/Stopped", 3) +
                         "\n---\n" + R"JS(
return [$('#np-state').textContent, VornWeb.bridgeCalls > 20];
)JS",
                     {"--server", address_, "--mpv-option", "speed=12"});
    ASSERT_EQ(run->wait(), 0) << run->output() << run->errors();
    const std::string out = run->output();
    EXPECT_EQ(stepResult(out, 2), "\"" + tracks_[0]->name + "\"");
    EXPECT_EQ(stepResult(out, 3), "40");
    EXPECT_EQ(stepResult(out, 5), "[\"Stopped\",true]");

    // Every statement the bridge sent ran in the page; each kind of them came.
    EXPECT_TRUE(lines(out, "js-rejected: ").empty()) << out;
    const auto statements = lines(out, "js: ");
    for (const char* expected :
         {"MpvAudioPlayer.onPlaylistChanged([", "MpvAudioPlayer.onEvent('start-file');",
          "MpvAudioPlayer.onEvent('file-loaded');", "MpvAudioPlayer.onPropertyChange('time-pos', ",
          "MpvAudioPlayer.onPropertyChange('duration', ",
          "MpvAudioPlayer.onPropertyChange('playlist-pos', 2.0);",
          "MpvAudioPlayer.onPropertyChange('playlistItemId', ",
          "MpvAudioPlayer.notifyVolumeChange(40, true);", "MpvAudioPlayer.onEvent('ended');"}) {
        EXPECT_TRUE(std::any_of(statements.begin(), statements.end(),
                                [&](const std::string& s) { return s.rfind(expected, 0) == 0; }))
            << "no statement " << expected;
    }

    // The server heard start, progress and stop of each track, in order.
    std::vector<std::string> ids;
    for (const auto* track : tracks_)
        ids.push_back(track->id);
    EXPECT_EQ(reportedItems("Sessions/Playing"), ids);
    EXPECT_EQ(reportedItems("Sessions/Playing/Stopped"), ids);
    const auto progress = reportedItems("Sessions/Playing/Progress");
    ASSERT_FALSE(progress.empty());
    for (const auto& id : progress)
        EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id;
    // The first start report carries the whole queue (other reports, sent on connections of
    // their own, may reach the server before it); every report names its play session.
    const auto reports = library_->reports();
    auto firstStart = std::find_if(reports.begin(), reports.end(), [](const auto& report) {
        return report.endpoint == "Sessions/Playing";
    });
    ASSERT_NE(firstStart, reports.end());
    for (const auto& id : ids)
        EXPECT_NE(firstStart->body.find(id), std::string::npos) << firstStart->body;
    for (const auto& report : reports)
        EXPECT_FALSE(report.playSessionId.empty()) << report.body;

    // The desktop was told of the first track.
    EXPECT_NE(notifications_->log().find(tracks_[0]->name), std::string::npos)
        << notifications_->log();
}

TEST_F(DesktopAppTest, PlayerctlPausesAndSkipsAndSetsTheVolumeAndThePageFollows) {
    auto run = start(signIn() + "\n---\n" + playFirstAlbum() + "\n---\n" + R"JS(
await waitFor(() => $('#np-state').textContent === 'Paused', 'the pause', 30000);
return VornWeb.nowPlaying.paused;
---
)JS" + "await waitFor(() => $('#np-title').textContent === " +
                         javaScriptSingleQuoted(tracks_[1]->name) + R"JS(, 'the next track', 30000);
await waitFor(() => VornWeb.nowPlaying.volume === 30, 'the volume', 30000);
return [$('#np-title').textContent, $('#np-volume').value];
---
)JS" + waitForReports("Playing/Progress", 1, "pause"),
                     serverArgument());
    // The desktop's own client, once the application plays.
    auto playerctl = [&](const std::string& arguments) {
        return runCommand("playerctl -p vornkit_desktop " + arguments + " 2>&1");
    };
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) { return stepPassed(out, 2); }))
        << run->output() << run->errors();
    EXPECT_EQ(playerctl("status").output, "Playing");
    EXPECT_EQ(playerctl("metadata title").output, tracks_[0]->name);
    EXPECT_EQ(playerctl("pause").status, 0);
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) { return stepPassed(out, 3); }))
        << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 3), "true");
    EXPECT_EQ(playerctl("status").output, "Paused");
    EXPECT_EQ(playerctl("next").status, 0);
    EXPECT_EQ(playerctl("volume 0.3").status, 0) << playerctl("volume 0.3").output;
    ASSERT_EQ(run->wait(), 0) << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 4), "[\"" + tracks_[1]->name + "\",\"30\"]");
    EXPECT_TRUE(lines(run->output(), "js-rejected: ").empty());
    // The pause reached the server as the first track's.
    EXPECT_EQ(reportedItems("Sessions/Playing/Progress", "pause"),
              std::vector<std::string>{tracks_[0]->id});
}

TEST_F(DesktopAppTest, ThePagesOwnPlayerIsDrivenFromTheDesktopThroughTheRemotePlayer) {
    auto run = start(signIn() + "\n---\n" + R"JS(
click('#album-grid .card');
await waitFor(() => !$('#album').hidden && document.querySelectorAll('#track-list li').length === 3,
              'the album');
click('#use-page-player');
click('#play-album');
await waitFor(() => VornWeb.nowPlaying.player === 'page' && $('#np-state').textContent === 'Playing',
              'the page playing', 30000);
return $('#np-title').textContent;
---
await waitFor(() => $('#np-state').textContent === 'Paused', 'the pause', 30000);
return $('#page-audio').paused;
---
await waitFor(() => VornWeb.nowPlaying.volume === 50, 'the volume', 30000);
return Math.round($('#page-audio').volume * 100);
)JS",
                     serverArgument());
    auto playerctl = [&](const std::string& arguments) {
        return runCommand("playerctl -p vornkit_desktop " + arguments + " 2>&1");
    };
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) { return stepPassed(out, 2); }))
        << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 2), "\"" + tracks_[0]->name + "\"");
    // The desktop shows the page's item, and its commands become the page's remote events.
    EXPECT_EQ(playerctl("metadata title").output, tracks_[0]->name);
    EXPECT_EQ(playerctl("pause").status, 0);
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) { return stepPassed(out, 3); }))
        << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 3), "true");
    EXPECT_EQ(playerctl("volume 0.5").status, 0);
    ASSERT_EQ(run->wait(), 0) << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 4), "50");
    const auto statements = lines(run->output(), "js: ");
    for (const char* expected :
         {"if(navigator.mediaSession)navigator.mediaSession.onRemoteEvent('pause', null);",
          "require(['playbackManager'], "
          "function(playbackManager){playbackManager.setVolume(50);});"})
        EXPECT_NE(std::find(statements.begin(), statements.end(), expected), statements.end())
            << "no statement " << expected;
    EXPECT_TRUE(lines(run->output(), "js-rejected: ").empty());
}

TEST_F(DesktopAppTest, ADesktopSearchResultOpensTheItemInTheWindow) {
    auto run =
        start(signIn() + "\n---\n" + "await waitFor(() => !$('#album').hidden && " +
                  "$('#album-title').textContent === " + javaScriptSingleQuoted(album_->name) +
                  ", 'the album', 30000);\n" +
                  "return document.querySelectorAll('#track-list li').length;",
              serverArgument());
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) { return stepPassed(out, 1); }))
        << run->output() << run->errors();
    // The shell's questions, as GNOME Shell asks them.
    const std::string provider =
        "gdbus call --session -d app.vorn.VornKitDesktop.SearchProvider -o "
        "/app/vorn/VornKitDesktop/SearchProvider -m org.gnome.Shell.SearchProvider2.";
    const auto found = runCommand(provider + "GetInitialResultSet \"['" + album_->name + "']\"");
    ASSERT_EQ(found.status, 0) << found.output;
    ASSERT_NE(found.output.find("'" + album_->id + "'"), std::string::npos) << found.output;
    const auto activated =
        runCommand(provider + "ActivateResult '" + album_->id + "' \"['" + album_->name + "']\" 0");
    ASSERT_EQ(activated.status, 0) << activated.output;
    ASSERT_EQ(run->wait(), 0) << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 2), "3");
}

TEST_F(DesktopAppTest, AWindowSnapshotIsAPngOfThePage) {
    const auto file = makeTempDir("snapshot") / "window.png";
    auto run = start(signIn() + "\n---\n" + R"JS(
await waitFor(() => [...document.images].filter((i) => i.closest('.card'))
                        .every((i) => i.complete && i.naturalWidth > 0), 'the covers');
return true;
---
@snapshot )JS" + file.string(),
                     serverArgument());
    ASSERT_EQ(run->wait(), 0) << run->output() << run->errors();
    const auto result = stepResult(run->output(), 3);
    EXPECT_EQ(result.rfind("\"snapshot ", 0), 0u) << result;

    auto image = Image::decode(readFile(file));
    ASSERT_TRUE(image);
    EXPECT_GE(image->width(), 800);
    EXPECT_GE(image->height(), 600);
    // Not blank: no colour fills the picture, and the page's text (anti-aliased) and covers
    // bring many.
    std::map<std::uint32_t, std::size_t> colours;
    for (int y = 0; y < image->height(); ++y)
        for (int x = 0; x < image->width(); ++x)
            ++colours[image->pixel(x, y)];
    std::size_t most = 0;
    for (const auto& [colour, count] : colours)
        most = std::max(most, count);
    const auto pixels = static_cast<std::size_t>(image->width()) * image->height();
    EXPECT_GT(colours.size(), 200u);
    EXPECT_LT(most, pixels * 8 / 10);
}

TEST_F(DesktopAppTest, WithoutTheServerThePageShowsTheOfflineStateAndADownloadStillPlays) {
    auto run = start(signIn() + "\n---\n" + R"JS(
click('#album-grid .card');
await waitFor(() => !$('#album').hidden && !$('#download-album').hidden, 'the album');
click('#download-album');
return await waitFor(() => /^Downloaded \(/.test($('#download-state').textContent) &&
                           $('#download-state').textContent, 'the download', 60000);
---
await waitFor(() => !$('#offline-banner').hidden, 'the offline banner', 30000);
await waitFor(() => document.querySelectorAll('#download-list li').length === 3, 'the downloads');
click('#download-list li');
await waitFor(() => $('#np-state').textContent === 'Playing' && VornWeb.nowPlaying.positionMs > 0,
              'local playback', 30000);
return [$('#offline-banner').textContent.includes('Offline'), $('#np-title').textContent];
)JS",
                     serverArgument());
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) { return stepPassed(out, 2); }))
        << run->output() << run->errors();
    EXPECT_EQ(stepResult(run->output(), 2), "\"Downloaded (3 tracks)\"");
    // The server goes away.
    server_->stop();
    ASSERT_EQ(run->wait(), 0) << run->output() << run->errors();
    const std::string out = run->output();
    EXPECT_EQ(stepResult(out, 3), "[true,\"" + tracks_[0]->name + "\"]");
    EXPECT_TRUE(lines(out, "js-rejected: ").empty());
    // The queue came from the downloads: their playlist entries, their local files.
    const auto statements = lines(out, "js: ");
    EXPECT_TRUE(std::any_of(statements.begin(), statements.end(), [](const std::string& s) {
        return s == "MpvAudioPlayer.onPropertyChange('playlistItemId', 'download0');";
    }));
    // Its playback went to the offline store: at the stop (the application quitting) an offline
    // action for the server to hear of later.
    OfflineDataController::Locations locations;
    locations.groupContainer = home_ / "data" / "group.app.vorn";
    locations.documents = home_ / "data" / DesktopAppId / "Documents";
    auto store = std::make_shared<OfflineDataController>(locations, DispatchQueue::main());
    std::vector<std::string> actions;
    for (const auto& action : store->getAllOfflineActions())
        actions.push_back(action->itemId.str());
    EXPECT_EQ(actions, std::vector<std::string>{tracks_[0]->id});

    // Started while the server is away: the application's offline page, with the downloads.
    auto again = start(R"JS(@wait-page vornkit-desktop://app/offline.html
---
await waitFor(() => document.querySelectorAll('#downloads li').length === 3, 'the downloads');
click('#downloads li:nth-child(2)');
await waitFor(() => $('#np-state').textContent === 'Playing', 'local playback', 30000);
return [$('#np-title').textContent, $('#offline-banner').hidden];
)JS");
    ASSERT_EQ(again->wait(), 0) << again->output() << again->errors();
    EXPECT_EQ(stepResult(again->output(), 2), "[\"" + tracks_[1]->name + "\",false]");
    EXPECT_TRUE(lines(again->output(), "js-rejected: ").empty());
}

}  // namespace
}  // namespace vk::test
