// PipedProcess: a program a test starts and talks to while it runs: its standard output and error
// read, through one pipe, as they come.
//
// Thread rule: used on one thread. Ownership: the test owns it; a program still running when it is
// destroyed is killed (SIGKILL) and waited for.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "Support/CommandRun.h"

namespace vk::test {

/// A program the test reads as it runs (ChildProcess in DesktopServices.h is for services whose
/// output nobody reads).
class PipedProcess {
  public:
    /// Starts `program` with `arguments`, in the test's environment with `environment` set over
    /// it, `input` written to its standard input (which is then closed).
    PipedProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment = {},
                 const std::string& input = {});
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;

    /// The next line of the output (without its line feed); false when the output ends or
    /// `timeout` passes first.
    bool readLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// Whether the output has a line starting with `prefix` (read so far, or read until `timeout`).
    bool waitForLine(const std::string& prefix,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// Sends SIGTERM and waits; the exit status (-1 when it did not exit normally).
    int stop();
    /// Reads the output to its end (two minutes at most a line) and waits for the exit: the status
    /// and, in `out`, both outputs as they came (`err` stays empty).
    CommandOutcome finish();
    /// Everything the program wrote so far (read by the calls above).
    const std::string& output() const { return all_; }

  private:
    /// Reads what has come, waiting until `deadline` for some; false at the end of the output or
    /// when nothing came in time.
    bool readMore(std::chrono::steady_clock::time_point deadline);
    int wait();

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;  ///< read but not yet returned by readLine()
    std::string all_;
};

}  // namespace vk::test
