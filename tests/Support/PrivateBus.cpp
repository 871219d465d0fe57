#include "Support/PrivateBus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace vk::test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

bool PrivateBus::dbusmockAvailable() {
    return ::access(kPython, X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import dbusmock' >/dev/null 2>&1") == 0;
}

std::unique_ptr<PrivateBus> PrivateBus::start(std::string& error,
                                              const std::vector<std::string>& environment) {
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY";
    for (const auto& entry : environment)
        command += " '" + entry + "'";
    command +=
        " dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) {
        error = "cannot run dbus-daemon";
        return nullptr;
    }
    char line[512];
    std::string address, pid;
    if (std::fgets(line, sizeof line, out))
        address = line;
    if (std::fgets(line, sizeof line, out))
        pid = line;
    ::pclose(out);
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
        address.pop_back();
    if (address.empty() || pid.empty()) {
        error = "dbus-daemon did not start";
        return nullptr;
    }
    std::unique_ptr<PrivateBus> bus(new PrivateBus());
    bus->address_ = address;
    bus->daemon_ = static_cast<pid_t>(std::atoi(pid.c_str()));
    return bus;
}

void PrivateBus::stopChildren() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it)
        stop(*it);
    children_.clear();
}

PrivateBus::~PrivateBus() {
    connection_.reset();
    stopChildren();
    // The daemon forked away from us: it is not our child, so only signal it.
    if (daemon_ > 0)
        ::kill(daemon_, SIGTERM);
}

std::shared_ptr<DBusConnection> PrivateBus::connection() {
    if (!connection_)
        connection_ = DBusConnection::open(address_);
    return connection_;
}

bool PrivateBus::spawn(const std::vector<std::string>& arguments) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (text.rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) == 0 ||
            text.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) {
            continue;
        }
        environment.push_back(text);
    }
    environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address_);
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + address_);
    std::vector<char*> argv, envp;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int result = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        return false;
    children_.push_back(pid);
    return true;
}

bool PrivateBus::waitForName(const std::string& busName, std::chrono::milliseconds timeout) {
    auto bus = connection();
    if (!bus)
        return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (bus->nameHasOwner(busName))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool PrivateBus::startTemplate(const std::string& templateName, const std::string& busName,
                               const std::string& parameters) {
    return spawn({kPython, "-m", "dbusmock", "--system", "--template", templateName, "-p",
                  parameters}) &&
           waitForName(busName);
}

bool PrivateBus::startMock(const std::string& busName, const std::string& path,
                           const std::string& interface, bool objectManager) {
    std::vector<std::string> arguments = {kPython, "-m", "dbusmock", "--system"};
    if (objectManager)
        arguments.push_back("-m");
    arguments.insert(arguments.end(), {busName, path, interface});
    return spawn(arguments) && waitForName(busName);
}

}  // namespace vk::test
