#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "gtest/gtest.h"

namespace {

struct HelperRun {
    int status = -1;
    std::string output;
};

// Runs the helper with `mode`, stdout and stderr together, killed after a minute if it hangs.
HelperRun runHelper(const std::string& mode) {
    HelperRun run;
    std::string command = std::string("timeout -k 5 60 ") + VK_EXIT_HELPER + " " + mode + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        run.output.append(buffer.data(), n);
    run.status = ::pclose(pipe);
    return run;
}

// A host returns from main() while transfers run, observers are registered and timers are due:
// statics are destroyed while worker threads still use them. The process must end cleanly,
// without a crash, a hang or a sanitizer report.
TEST(ProcessExit, ReturningFromMainWithWorkInFlightExitsCleanly) {
    for (int round = 0; round < 3; ++round) {
        for (const char* mode : {"hang", "stop"}) {
            HelperRun run = runHelper(mode);
            SCOPED_TRACE(std::string(mode) + " round " + std::to_string(round));
            ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
            EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.output;
            EXPECT_EQ(run.output.find("Sanitizer"), std::string::npos) << run.output;
            EXPECT_EQ(run.output.find("runtime error"), std::string::npos) << run.output;
        }
    }
}

}  // namespace
