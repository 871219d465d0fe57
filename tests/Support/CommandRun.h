// Running a command-line program from a test: its exit status and both outputs.
#pragma once

#include <filesystem>
#include <string>

namespace vk::test {

/// A shell command's exit status (-1 when it did not exit normally) and what it wrote.
struct CommandOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

/// Runs `command` through the shell with `input` as its standard input; the outputs pass through
/// files in a fresh directory under the test root.
CommandOutcome runCommand(const std::string& command, const std::string& input = {});

/// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace vk::test
