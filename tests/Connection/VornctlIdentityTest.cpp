// vornctl's identity commands as a user runs them: login from a file and from standard input,
// servers, a query with --server-id alone, device, reachability (once and --watch), logout; and
// no access token in any output, log line or file outside the keychain. Also what a user meets
// around them: texts login cannot use, keychains that refuse the change, keyrings that are locked,
// missing or opened between two runs (real gnome-keyring on buses of the tests' own), and servers
// that do not answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "Support/CommandRun.h"
#include "Support/PipedProcess.h"
#include "Support/PrivateBus.h"
#include "Support/PrivateKeyring.h"
#include "refserver/RefServer.h"

namespace vk {
namespace {

namespace fs = std::filesystem;
constexpr const char* kToken = "tok-77aa88bb-reference";

struct Outcome {
    int status = -1;
    std::string output;  // stdout and stderr together
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
        return test::userEnvironment(home_, std::move(extra));
    }
    Outcome vornctl(const std::vector<std::string>& args, const std::string& input = "",
                    std::map<std::string, std::string> extra = {}) {
        test::PipedProcess child(VORNCTL_PATH, args, environment(std::move(extra)), input);
        const auto finished = child.finish();
        const Outcome run{finished.status, finished.out};
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

TEST_F(VornctlIdentityTest, LoginRefusesWhatItCannotUseAndKeepsTheStoredCredentials) {
    auto login = vornctl({"login", "--credentials", "-"}, credentials_);
    ASSERT_EQ(login.status, 0) << login.output;
    const auto folder = home_ / "a-folder";
    fs::create_directory(folder);
    struct Attempt {
        std::vector<std::string> args;
        std::string input;
        std::string message;
    };
    const Attempt attempts[] = {
        {{"login", "--credentials", "-"}, "", "error: the credentials text is empty"},
        {{"login", "--credentials", "-"}, " \n", "error: the credentials text is empty"},
        {{"login", "--credentials", "-"},
         R"({"Servers":[{"Name":"no id"}]})",
         "error: the credentials text does not decode: "},
        {{"login", "--credentials", "-"},
         "{\"Servers\":[{\"Id\":\"\xff\",\"Name\":\"n\"}]}",
         "error: the credentials text does not decode: "},
        {{"login", "--credentials", folder.string()},
         "",
         "error: cannot read " + folder.string() + ": it is a folder, not a file"},
        {{"login", "--credentials", (home_ / "missing.json").string()},
         "",
         "error: cannot read " + (home_ / "missing.json").string() + ": No such file"},
    };
    for (const auto& attempt : attempts) {
        SCOPED_TRACE(attempt.args.back() + " <<< " + attempt.input);
        auto refused = vornctl(attempt.args, attempt.input);
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(refused.output.find(attempt.message), std::string::npos) << refused.output;
        EXPECT_NE(refused.output.find("; the stored credentials are unchanged"), std::string::npos);
    }
    auto servers = vornctl({"servers"});
    EXPECT_NE(servers.output.find("ref-1  Reference One  " + base_), std::string::npos)
        << servers.output;
    EXPECT_EQ(vornctl({"login"}).status, 2);
}

TEST_F(VornctlIdentityTest, LoginAndLogoutFailWhenTheKeychainDoesNotTakeTheChange) {
    // A store directory other users may read is refused by the file store: nothing is written.
    const auto secrets = home_ / "data" / "vornkit-secrets";
    fs::create_directories(secrets);
    ::chmod(secrets.c_str(), 0755);
    auto refused = vornctl({"login", "--credentials", "-"}, credentials_);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("error: the file keychain did not keep the credentials: no "
                                  "usable keychain (refused or unreachable)"),
              std::string::npos)
        << refused.output;
    EXPECT_EQ(refused.output.find("stored credentials for"), std::string::npos);

    ::chmod(secrets.c_str(), 0700);
    ASSERT_EQ(vornctl({"login", "--credentials", "-"}, credentials_).status, 0);
    ::chmod(secrets.c_str(), 0755);
    auto logout = vornctl({"logout"});
    EXPECT_EQ(logout.status, 1) << logout.output;
    EXPECT_NE(logout.output.find("error: cannot tell whether the credentials were removed: no "
                                 "usable keychain (refused or unreachable)"),
              std::string::npos)
        << logout.output;
    EXPECT_EQ(logout.output.find("credentials removed"), std::string::npos);
    ::chmod(secrets.c_str(), 0700);
    EXPECT_NE(vornctl({"servers"}).output.find("ref-1  Reference One"), std::string::npos);

    // A locked keyring as the only store refuses the write; nobody is asked to unlock it.
    if (!test::PrivateKeyring::available())
        return;
    std::string error;
    auto keyring = test::PrivateKeyring::start(test::PrivateKeyring::State::Locked, error);
    ASSERT_TRUE(keyring) << error;
    auto locked = vornctl({"login", "--credentials", "-"}, credentials_,
                          {{"DBUS_SESSION_BUS_ADDRESS", keyring->busAddress()},
                           {"VORNKIT_SECRET_STORE", "secret-service"}});
    EXPECT_EQ(locked.status, 1) << locked.output;
    EXPECT_NE(locked.output.find("error: the secret-service keychain did not keep the credentials"),
              std::string::npos)
        << locked.output;
    EXPECT_NE(locked.output.find("ERROR: Unable to addOrUpdate key. Status: -25308"),
              std::string::npos)
        << locked.output;
}

// (A locked keyring: see the next test.)
TEST_F(VornctlIdentityTest, WithoutAnOpenKeyringTheCredentialsGoToTheFileStore) {
    if (!test::PrivateKeyring::available())
        GTEST_SKIP() << "gnome-keyring is not installed";
    using State = test::PrivateKeyring::State;
    const std::pair<State, const char*> headless[] = {
        {State::NoDefaultCollection, "no default collection"},
        {State::OnDemand, "started on demand, no default collection"},
    };
    for (const auto& [state, name] : headless) {
        SCOPED_TRACE(name);
        std::string error;
        auto keyring = test::PrivateKeyring::start(state, error);
        ASSERT_TRUE(keyring) << error;
        const std::map<std::string, std::string> session = {
            {"DBUS_SESSION_BUS_ADDRESS", keyring->busAddress()}, {"VORNKIT_SECRET_STORE", ""}};
        auto login = vornctl({"login", "--credentials", "-"}, credentials_, session);
        ASSERT_EQ(login.status, 0) << login.output;
        EXPECT_NE(login.output.find("stored credentials for 2 server(s) in the file keychain"),
                  std::string::npos)
            << login.output;
        auto servers = vornctl({"servers"}, "", session);
        EXPECT_EQ(servers.status, 0) << servers.output;
        EXPECT_NE(servers.output.find("ref-1  Reference One  " + base_), std::string::npos)
            << servers.output;
        EXPECT_NE(servers.output.find("never-1  Never Used"), std::string::npos);
        ASSERT_EQ(vornctl({"logout"}, "", session).status, 0);
    }
}

TEST_F(VornctlIdentityTest, CredentialsStayFoundWhenTheKeyringOpensAndClosesBetweenStarts) {
    if (!test::PrivateKeyring::available())
        GTEST_SKIP() << "gnome-keyring is not installed";
    std::string error;
    auto keyring = test::PrivateKeyring::start(test::PrivateKeyring::State::Locked, error);
    ASSERT_TRUE(keyring) << error;
    const std::map<std::string, std::string> session = {
        {"DBUS_SESSION_BUS_ADDRESS", keyring->busAddress()}, {"VORNKIT_SECRET_STORE", ""}};
    auto named = [&](const std::string& name) {
        return R"({"Servers":[{"Id":"ref-1","Name":")" + name + R"(","AccessToken":")" +
               std::string(kToken) + R"(","LocalAddress":")" + base_ + R"("}]})";
    };
    auto listed = [&](const std::string& name) {
        auto servers = vornctl({"servers"}, "", session);
        EXPECT_EQ(servers.status, 0) << servers.output;
        return servers.output.find("ref-1  " + name + "  " + base_) != std::string::npos;
    };
    auto deviceId = [&] {
        auto device = vornctl({"device"}, "", session);
        auto at = device.output.find("device id:    ");
        return at == std::string::npos ? device.output : device.output.substr(at + 14, 36);
    };

    // Headless (the keyring locked): the file store takes them.
    auto first = vornctl({"login", "--credentials", "-"}, named("Written Headless"), session);
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("in the file keychain"), std::string::npos) << first.output;
    const auto id = deviceId();

    // The desktop (the keyring open): they are still found, and so is the device id.
    ASSERT_TRUE(keyring->unlock());
    EXPECT_TRUE(listed("Written Headless"));
    EXPECT_EQ(deviceId(), id);
    auto second = vornctl({"login", "--credentials", "-"}, named("Written Open"), session);
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_NE(second.output.find("in the secret-service keychain"), std::string::npos)
        << second.output;
    EXPECT_TRUE(listed("Written Open"));

    // Locked again: what the keyring holds is reported as locked, not as missing.
    ASSERT_TRUE(keyring->lock());
    auto unreadable = vornctl({"servers"}, "", session);
    EXPECT_EQ(unreadable.status, 1) << unreadable.output;
    EXPECT_NE(unreadable.output.find("error: the stored credentials cannot be read: the keychain "
                                     "is locked or not set up, and only a user can open it"),
              std::string::npos)
        << unreadable.output;
    // A login meanwhile goes to the file store, and wins over the older copy in the keyring once
    // that opens again.
    auto third = vornctl({"login", "--credentials", "-"}, named("Written Locked"), session);
    ASSERT_EQ(third.status, 0) << third.output;
    EXPECT_NE(third.output.find("in the file keychain"), std::string::npos) << third.output;
    ASSERT_TRUE(keyring->unlock());
    EXPECT_TRUE(listed("Written Locked"));
    EXPECT_EQ(deviceId(), id);

    // Logging out removes both copies.
    ASSERT_EQ(vornctl({"logout"}, "", session).status, 0);
    EXPECT_NE(vornctl({"servers"}, "", session).output.find("no servers"), std::string::npos);
}

/// Listening sockets that accept connections and never answer, until each of them holds an open
/// connection at the same moment: then every connection is closed (and later ones at once).
class SilentServers {
  public:
    explicit SilentServers(int count) {
        for (int i = 0; i < count; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
                ::listen(fd, 16) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
                ADD_FAILURE() << "cannot listen on the loopback address";
                return;
            }
            listeners_.push_back(fd);
            ports.push_back(ntohs(address.sin_port));
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~SilentServers() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int fd : listeners_)
            ::close(fd);
    }
    /// Whether every socket held an open connection at one moment.
    bool sawAllAtOnce() const { return sawAllAtOnce_; }

    std::vector<int> ports;

  private:
    void serve() {
        std::vector<std::pair<int, std::size_t>> open;  // a connection and its socket's index
        auto closeAll = [&] {
            for (const auto& [fd, server] : open)
                ::close(fd);
            open.clear();
        };
        while (!stop_) {
            std::vector<pollfd> fds;
            for (int fd : listeners_)
                fds.push_back({fd, POLLIN, 0});
            for (const auto& [fd, server] : open)
                fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            // A request is read and ignored; a connection the client closed is let go.
            std::vector<std::pair<int, std::size_t>> still;
            for (std::size_t j = 0; j < open.size(); ++j) {
                char buffer[4096];
                if ((fds[listeners_.size() + j].revents & (POLLIN | POLLHUP | POLLERR)) &&
                    ::read(open[j].first, buffer, sizeof buffer) <= 0) {
                    ::close(open[j].first);
                } else {
                    still.push_back(open[j]);
                }
            }
            open = std::move(still);
            for (std::size_t i = 0; i < listeners_.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                int connection = ::accept4(listeners_[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (connection >= 0)
                    open.emplace_back(connection, i);
            }
            std::vector<bool> holds(listeners_.size(), false);
            for (const auto& [fd, server] : open)
                holds[server] = true;
            if (std::find(holds.begin(), holds.end(), false) == holds.end())
                sawAllAtOnce_ = true;
            if (sawAllAtOnce_)
                closeAll();
        }
        closeAll();
    }

    std::vector<int> listeners_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> sawAllAtOnce_{false};
};

TEST_F(VornctlIdentityTest, ServersAreResolvedTogetherAndListedInTheirOrder) {
    // Three servers whose two addresses accept connections and never answer, around two that
    // need no probe; each of the silent ones would wait out the probe timeout on its own.
    SilentServers silent(3);
    ASSERT_EQ(silent.ports.size(), 3u);
    auto quiet = [&](const std::string& id, int port, const std::string& lastUsed) {
        const std::string address = "http://127.0.0.1:" + std::to_string(port);
        return R"({"Id":")" + id + R"(","Name":"Quiet","LocalAddress":")" + address +
               R"(","RemoteAddress":")" + address + R"(/remote")" +
               (lastUsed.empty() ? "" : R"(,"DateLastAccessed":)" + lastUsed) + "}";
    };
    const std::string credentials =
        R"({"Servers":[)" + quiet("quiet-b", silent.ports[1], "1700000100000") + "," +
        R"({"Id":"ref-1","Name":"Reference One","LocalAddress":")" + base_ +
        R"(","DateLastAccessed":1700000200000},)" + quiet("quiet-c", silent.ports[2], "") + "," +
        quiet("quiet-a", silent.ports[0], "1700000300000") + "," +
        R"({"Id":"never-1","Name":"Never Used"}]})";
    ASSERT_EQ(vornctl({"login", "--credentials", "-"}, credentials).status, 0);

    auto servers = vornctl({"servers"});
    ASSERT_EQ(servers.status, 0) << servers.output;
    EXPECT_TRUE(silent.sawAllAtOnce()) << "the silent servers were probed one after another";
    // Last used first, then the never used ones in the order they were stored.
    std::vector<std::size_t> at;
    for (const std::string& line : std::vector<std::string>{
             "quiet-a  Quiet  (unresolved: ", "ref-1  Reference One  " + base_ + "  last used",
             "quiet-b  Quiet  (unresolved: ", "quiet-c  Quiet  (unresolved: ",
             "never-1  Never Used  (unresolved: No server addresses available)"}) {
        at.push_back(servers.output.find(line));
        EXPECT_NE(at.back(), std::string::npos) << line << "\n" << servers.output;
    }
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << servers.output;
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

    test::PipedProcess watch(VORNCTL_PATH, {"reachability", "--watch"}, environment(system));
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
