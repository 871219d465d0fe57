// Real desktop services for tests: commands run through the shell, a private D-Bus session bus,
// python3-dbusmock templates and a private PulseAudio server, each stopped with its owner.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vk::test {

struct CommandResult {
    int status = -1;
    std::string output;  ///< standard output, trailing white space removed
};
/// Runs `command` with /bin/sh; standard error goes to the test's log.
CommandResult runCommand(const std::string& command);

/// A child process started with execvp, killed (SIGTERM) and reaped with its owner.
class ChildProcess {
  public:
    ChildProcess() = default;
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    pid_t pid() const { return pid_; }
    bool running();
    void stop();

  private:
    pid_t pid_ = -1;
};

/// A dbus-daemon of the test's own; while it lives, DBUS_SESSION_BUS_ADDRESS names it.
class PrivateSessionBus {
  public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    bool ready() const { return !address_.empty(); }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    std::string previous_;
    bool hadPrevious_ = false;
    pid_t pid_ = -1;
};

/// Waits up to 20 s for `name` to have an owner on the session bus.
bool waitForBusName(const std::string& name);

/// python3-dbusmock's notification daemon on the session bus; its calls go to log().
class MockNotificationDaemon {
  public:
    MockNotificationDaemon();
    bool ready() const { return ready_; }
    /// The call log dbusmock writes (one line per call: time, method, arguments).
    std::string log() const;

  private:
    std::filesystem::path logFile_;
    ChildProcess process_;
    bool ready_ = false;
};

/// A PulseAudio server of the test's own (one null sink); pactl() runs against it.
class PrivatePulseServer {
  public:
    PrivatePulseServer();
    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }
    CommandResult pactl(const std::string& arguments) const;

  private:
    std::filesystem::path dir_;
    std::string address_;
    ChildProcess process_;
    bool ready_ = false;
};

}  // namespace vk::test
