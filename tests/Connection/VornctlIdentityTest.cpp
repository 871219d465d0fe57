// vornctl's identity commands as a user runs them: login from a file and from standard input,
// servers, a query with --server-id alone, device, reachability (once and --watch), logout; and
// no access token in any output, log line or file outside the keychain.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ConnectionTestSupport.h"
#include "Support/PrivateBus.h"
#include "refserver/RefServer.h"

namespace vk {
namespace {

namespace fs = std::filesystem;
constexpr const char* kToken = "tok-77aa88bb-reference";

struct Outcome {
    int status = -1;
    std::string output;  // stdout and stderr together
};

/// A started vornctl whose output the test reads as it comes.
class Child {
  public:
    Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
          const std::string& input) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            std::string text = *entry;
            if (!env.count(text.substr(0, text.find('='))))
                environment.push_back(text);
        }
        for (const auto& [name, value] : env)
            environment.push_back(name + "=" + value);
        std::vector<std::string> argv = {VORNCTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp, envp;
        for (auto& a : argv)
            argp.push_back(a.data());
        argp.push_back(nullptr);
        for (auto& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        ::posix_spawn(&pid_, VORNCTL_PATH, &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        [[maybe_unused]] auto written = ::write(in[1], input.data(), input.size());
        ::close(in[1]);
        out_ = out[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            ::close(out_);
    }
    /// Reads until `line` ends with a line feed or the timeout passes.
    bool readLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto end = buffer_.find('\n'); end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[4096];
            auto got = ::read(out_, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            all_.append(chunk, static_cast<std::size_t>(got));
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    Outcome finish() {
        std::string line;
        while (readLine(line, std::chrono::seconds(120))) {
        }
        Outcome run;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.output = all_;
        return run;
    }
    const std::string& output() const { return all_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_, all_;
};

class VornctlIdentityTest : public test::ConnectionFixture {
  protected:
    void SetUp() override {
        ConnectionFixture::SetUp();
        home_ = test::makeTempDir("vornctl-home");
        refserver::RefServer::Options options;
        options.accessToken = kToken;
        options.serverId = "ref-1";
        server_ = std::make_unique<refserver::RefServer>(options);
        base_ = *server_->listen({"main", "127.0.0.1", 0, std::nullopt});
        credentials_ = R"({"Servers":[{"Id":"ref-1","Name":"Reference One","AccessToken":")" +
                       std::string(kToken) + R"(","UserId":"u1","LocalAddress":")" + base_ +
                       R"(","DateLastAccessed":1700000000000},)" +
                       R"({"Id":"never-1","Name":"Never Used"}]})";
    }
    void TearDown() override {
        // Nothing the commands printed or wrote outside the keychain holds the token.
        EXPECT_EQ(everything_.find(kToken), std::string::npos) << everything_;
        for (const auto& entry : fs::recursive_directory_iterator(home_)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream file(entry.path(), std::ios::binary);
            std::string bytes(std::istreambuf_iterator<char>(file), {});
            EXPECT_EQ(bytes.find(kToken), std::string::npos) << entry.path();
        }
        server_.reset();
        ConnectionFixture::TearDown();
    }
    std::map<std::string, std::string> environment(
        std::map<std::string, std::string> extra = {}) const {
        extra.emplace("XDG_DATA_HOME", (home_ / "data").string());
        extra.emplace("XDG_CONFIG_HOME", (home_ / "config").string());
        extra.emplace("HOME", home_.string());
        extra.emplace("VORNKIT_SECRET_STORE", "file");
        return extra;
    }
    Outcome vornctl(const std::vector<std::string>& args, const std::string& input = "",
                    std::map<std::string, std::string> extra = {}) {
        Child child(args, environment(std::move(extra)), input);
        auto run = child.finish();
        everything_ += run.output;
        return run;
    }

    fs::path home_;
    std::unique_ptr<refserver::RefServer> server_;
    std::string base_;
    std::string credentials_;
    std::string everything_;
};

TEST_F(VornctlIdentityTest, LoginServersQueryAndLogout) {
    const auto file = home_ / "credentials.json";
    std::ofstream(file) << credentials_;
    ::chmod(file.c_str(), 0600);
    auto login = vornctl({"login", "--credentials", file.string()});
    ASSERT_EQ(login.status, 0) << login.output;
    EXPECT_NE(login.output.find("stored credentials for 2 server(s) in the file keychain"),
              std::string::npos)
        << login.output;
    fs::remove(file);  // only the keychain holds the token from here on

    auto servers = vornctl({"servers"});
    ASSERT_EQ(servers.status, 0) << servers.output;
    auto used =
        servers.output.find("ref-1  Reference One  " + base_ + "  last used 2023-11-14T22:13:20Z");
    auto never = servers.output.find(
        "never-1  Never Used  (unresolved: No server addresses available)  last used never");
    EXPECT_NE(used, std::string::npos) << servers.output;
    EXPECT_NE(never, std::string::npos) << servers.output;
    EXPECT_LT(used, never);  // last used first

    auto json = vornctl({"servers", "--json"});
    ASSERT_EQ(json.status, 0);
    EXPECT_NE(
        json.output.find(R"({"Id":"ref-1","Name":"Reference One","UserId":"u1","Address":")" +
                         base_ + R"(","HasToken":true,"DateLastAccessed":"2023-11-14T22:13:20Z"})"),
        std::string::npos)
        << json.output;

    // Another command with --server-id alone carries the stored token (the server demands it).
    auto query = vornctl({"--server-id", "ref-1", "get", "System/Info"});
    EXPECT_EQ(query.status, 0) << query.output;
    EXPECT_NE(query.output.find("Reference"), std::string::npos) << query.output;
    auto seen = server_->requestsTo("/vorn/System/Info");
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen.back().header("X-Vorn-Authorization").value_or("").find(kToken),
              std::string::npos);

    auto unknown = vornctl({"--server-id", "nobody", "get", "System/Info"});
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.output.find("no stored credentials for server nobody"), std::string::npos);

    auto logout = vornctl({"logout"});
    EXPECT_EQ(logout.status, 0);
    auto after = vornctl({"servers"});
    EXPECT_NE(after.output.find("no servers"), std::string::npos) << after.output;
}

TEST_F(VornctlIdentityTest, LoginFromStandardInputAndBadTextLeavesNoCredentials) {
    auto login = vornctl({"login", "--credentials", "-"}, credentials_);
    ASSERT_EQ(login.status, 0) << login.output;
    auto bad = vornctl({"login", "--credentials", "-"}, R"({"Servers":[{"Name":"no id"}]})");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("error: the credentials text does not decode: "), std::string::npos)
        << bad.output;
    EXPECT_NE(bad.output.find("updateConnectionManager: Error deserializing native credentials"),
              std::string::npos);
    auto servers = vornctl({"servers"});
    EXPECT_NE(servers.output.find("no servers"), std::string::npos) << servers.output;
    EXPECT_EQ(vornctl({"login"}).status, 2);
}

TEST_F(VornctlIdentityTest, DeviceIdentityIsStableAcrossRuns) {
    auto first = vornctl({"device"});
    ASSERT_EQ(first.status, 0) << first.output;
    auto idAt = first.output.find("device id:    ");
    ASSERT_NE(idAt, std::string::npos);
    auto id = first.output.substr(idAt + 14, 36);
    ASSERT_TRUE(Uuid::parse(id)) << first.output;
    EXPECT_EQ(Uuid::parse(id)->uuidString(), id);
    EXPECT_NE(first.output.find("application:  Vorn for macOS"), std::string::npos);
    EXPECT_NE(first.output.find("version:      0.1.0"), std::string::npos);
    EXPECT_NE(first.output.find("keychain:     file"), std::string::npos);
    EXPECT_EQ(vornctl({"device"}).output, first.output);
}

TEST_F(VornctlIdentityTest, ReachabilityOnceAndPerChangeFromNetworkManager) {
    if (!test::PrivateBus::dbusmockAvailable())
        GTEST_SKIP() << "python3-dbusmock is not installed (Debian's /usr/bin/python3)";
    std::string error;
    auto bus = test::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    ASSERT_TRUE(bus->startTemplate("networkmanager", "org.freedesktop.NetworkManager"));
    std::map<std::string, std::string> system = {{"DBUS_SYSTEM_BUS_ADDRESS", bus->address()}};

    auto once = vornctl({"reachability"}, "", system);
    ASSERT_EQ(once.status, 0) << once.output;
    EXPECT_NE(once.output.find("status:    1 (reachable without the cellular network)\n"
                               "flags:     -R -------\n"
                               "downlink:  600 Mbit/s\n"
                               "source:    NetworkManager: connectivity full, state 70, "
                               "primary none\n"),
              std::string::npos)
        << once.output;

    Child watch({"reachability", "--watch"}, environment(system), "");
    std::string line;
    ASSERT_TRUE(watch.readLine(line)) << watch.output();
    EXPECT_EQ(line.rfind("status 1 ", 0), 0u) << line;
    DBusError failure;
    ASSERT_TRUE(bus->connection()->call(
        "org.freedesktop.NetworkManager", "/org/freedesktop", "org.freedesktop.DBus.Mock",
        "SetConnectivity", [](sdbus::MethodCall& call) { call << std::uint32_t{1}; }, nullptr,
        &failure))
        << failure.message;
    ASSERT_TRUE(watch.readLine(line)) << watch.output();
    EXPECT_EQ(line,
              "status 0 (not reachable)  flags -- -------  downlink 0 Mbit/s  [NetworkManager: "
              "connectivity none, state 70, primary none]");
    everything_ += watch.output();
}

}  // namespace
}  // namespace vk
