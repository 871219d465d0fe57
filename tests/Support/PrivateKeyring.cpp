#include "Support/PrivateKeyring.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "Support/TestSupport.h"

extern char** environ;

namespace vk::test {

namespace {

constexpr const char* kDaemon = "/usr/bin/gnome-keyring-daemon";
constexpr const char* kBusName = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kLoginCollection = "/org/freedesktop/secrets/collection/login";
constexpr const char* kPassword = "vk-private-keyring";

/// Polls `done` every 20 ms for up to `timeout`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

/// The throw-away account's variables, for the bus (and what it starts) and the daemon.
std::vector<std::string> accountEnvironment(const std::filesystem::path& home) {
    return {"HOME=" + (home / "home").string(), "XDG_DATA_HOME=" + (home / "home/data").string(),
            "XDG_CONFIG_HOME=" + (home / "home/config").string(),
            "XDG_CACHE_HOME=" + (home / "home/cache").string(),
            "XDG_RUNTIME_DIR=" + (home / "run").string()};
}

bool replaced(const std::string& entry) {
    for (const char* name : {"HOME=", "XDG_", "DBUS_SESSION_BUS_ADDRESS=", "DISPLAY=",
                             "WAYLAND_DISPLAY=", "GNOME_KEYRING_"}) {
        if (entry.rfind(name, 0) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool PrivateKeyring::available() {
    return ::access(kDaemon, X_OK) == 0;
}

std::unique_ptr<PrivateKeyring> PrivateKeyring::start(State state, std::string& error) {
    std::unique_ptr<PrivateKeyring> keyring(new PrivateKeyring());
    keyring->home_ = makeTempDir("keyring");
    for (const char* dir : {"home", "home/data", "home/config", "home/cache", "run"})
        ::mkdir((keyring->home_ / dir).c_str(), 0700);
    keyring->bus_ = PrivateBus::start(error, accountEnvironment(keyring->home_));
    if (!keyring->bus_)
        return nullptr;
    const std::string password = kPassword;
    bool ok = true;
    switch (state) {
        case State::Unlocked:
            ok = keyring->startDaemon(&password);
            break;
        case State::Locked:
            ok = keyring->startDaemon(&password) && keyring->lock();
            break;
        case State::NoDefaultCollection:
            ok = keyring->startDaemon(nullptr);
            break;
        case State::OnDemand:
            break;
    }
    if (!ok) {
        error = "gnome-keyring-daemon did not come up in the state asked for";
        return nullptr;
    }
    return keyring;
}

PrivateKeyring::~PrivateKeyring() {
    if (bus_)
        stopDaemon();
}

bool PrivateKeyring::startDaemon(const std::string* password) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (!replaced(*entry))
            environment.push_back(*entry);
    }
    for (auto& entry : accountEnvironment(home_))
        environment.push_back(std::move(entry));
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_->address());
    std::vector<std::string> arguments = {kDaemon, "--foreground", "--components=secrets"};
    if (password)
        arguments.push_back("--unlock");

    std::vector<char*> argv, envp;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned =
        ::posix_spawn(&daemon_, kDaemon, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    if (password) {
        [[maybe_unused]] auto written = ::write(input[1], password->data(), password->size());
    }
    ::close(input[1]);
    if (spawned != 0) {
        daemon_ = -1;
        return false;
    }
    if (!bus_->waitForName(kBusName))
        return false;
    if (!password)
        return true;
    // The login keyring is made or opened once the password has been read.
    return waitUntil([&] {
        auto locked = bus_->connection()->property(kBusName, kLoginCollection,
                                                   "org.freedesktop.Secret.Collection", "Locked");
        return locked && dbusValueAs<bool>(*locked) == false;
    });
}

void PrivateKeyring::stopDaemon() {
    auto bus = bus_->connection();
    if (daemon_ > 0) {
        ::kill(daemon_, SIGTERM);
        if (!waitUntil([&] { return ::waitpid(daemon_, nullptr, WNOHANG) != 0; },
                       std::chrono::seconds(5))) {
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
        }
        daemon_ = -1;
    } else if (bus && bus->nameHasOwner(kBusName)) {
        // Started by the bus on demand: not a child of this process.
        std::uint32_t pid = 0;
        bus->call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", [](sdbus::MethodCall& call) { call << kBusName; },
            [&](sdbus::MethodReply& reply) { reply >> pid; });
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGTERM);
    }
    if (bus)
        waitUntil([&] { return !bus->nameHasOwner(kBusName); }, std::chrono::seconds(10));
}

bool PrivateKeyring::unlock() {
    stopDaemon();
    const std::string password = kPassword;
    return startDaemon(&password);
}

bool PrivateKeyring::lock() {
    auto bus = bus_->connection();
    if (!bus)
        return false;
    const bool called = bus->call(
        kBusName, kServicePath, "org.freedesktop.Secret.Service", "Lock",
        [](sdbus::MethodCall& call) {
            call << std::vector<sdbus::ObjectPath>{sdbus::ObjectPath(kLoginCollection)};
        },
        nullptr);
    auto locked =
        bus->property(kBusName, kLoginCollection, "org.freedesktop.Secret.Collection", "Locked");
    return called && locked && dbusValueAs<bool>(*locked) == true;
}

}  // namespace vk::test
