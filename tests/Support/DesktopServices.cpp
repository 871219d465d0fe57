#include "Support/DesktopServices.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "Support/TestSupport.h"

namespace vk::test {

namespace {
bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return condition();
}
}  // namespace

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[512];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    while (!result.output.empty() && std::isspace(static_cast<unsigned char>(result.output.back())))
        result.output.pop_back();
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        for (const auto& [key, value] : env) {
            if (value.empty())
                ::unsetenv(key.c_str());
            else
                ::setenv(key.c_str(), value.c_str(), 1);
        }
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess() {
    stop();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

bool ChildProcess::running() {
    if (pid_ <= 0)
        return false;
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

PrivateSessionBus::PrivateSessionBus() {
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        hadPrevious_ = true;
        previous_ = previous;
    }
    const auto out = runCommand(
        "dbus-daemon --session --fork --nopidfile --print-address=1 "
        "--print-pid=1");
    std::istringstream lines(out.output);
    std::string address, pid;
    std::getline(lines, address);
    std::getline(lines, pid);
    if (out.status != 0 || address.empty() || pid.empty())
        return;
    address_ = address;
    pid_ = static_cast<pid_t>(std::stol(pid));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateSessionBus::~PrivateSessionBus() {
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);  // forked by dbus-daemon itself: not our child to reap
    if (hadPrevious_)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", previous_.c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

bool waitForBusName(const std::string& name) {
    return waitUntil(
        [&] {
            return runCommand(
                       "gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus "
                       "-m org.freedesktop.DBus.NameHasOwner " +
                       name + " 2>/dev/null")
                       .output == "(true,)";
        },
        std::chrono::seconds(20));
}

MockNotificationDaemon::MockNotificationDaemon() {
    logFile_ = makeTempDir("notify") / "calls.log";
    process_ = ChildProcess({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t",
                             "notification_daemon", "-l", logFile_.string()});
    ready_ = waitForBusName("org.freedesktop.Notifications");
}

std::string MockNotificationDaemon::log() const {
    std::stringstream text;
    text << std::ifstream(logFile_).rdbuf();
    return text.str();
}

PrivatePulseServer::PrivatePulseServer() {
    dir_ = makeTempDir("pulse");
    std::filesystem::create_directories(dir_ / "home");
    std::filesystem::create_directories(dir_ / "run");
    ::chmod((dir_ / "run").c_str(), 0700);
    address_ = "unix:" + (dir_ / "native").string();
    process_ = ChildProcess(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "-L",
         "module-null-sink", "-L",
         "module-native-protocol-unix auth-anonymous=1 socket=" + (dir_ / "native").string()},
        {{"HOME", (dir_ / "home").string()},
         {"XDG_RUNTIME_DIR", (dir_ / "run").string()},
         {"DBUS_SESSION_BUS_ADDRESS", ""}});
    ready_ = waitUntil([&] { return !process_.running() || pactl("info").status == 0; },
                       std::chrono::seconds(30)) &&
             process_.running();
}

CommandResult PrivatePulseServer::pactl(const std::string& arguments) const {
    return runCommand("PULSE_SERVER='" + address_ + "' pactl " + arguments + " 2>/dev/null");
}

}  // namespace vk::test
