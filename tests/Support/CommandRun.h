// Running a command-line program from a test: its exit status and both outputs.
#pragma once

#include <filesystem>
#include <map>
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

/// `text` in single quotes for the shell.
std::string shellQuoted(const std::string& text);

/// The environment of a program run as its user runs it, in a home of the test's own: HOME is
/// `home`, XDG_DATA_HOME and XDG_CONFIG_HOME its "data" and "config", and the keychain the file
/// store (VORNKIT_SECRET_STORE=file). What `extra` sets wins.
std::map<std::string, std::string> userEnvironment(const std::filesystem::path& home,
                                                   std::map<std::string, std::string> extra = {});

/// The shell command line that runs `command` with `environment` set (through env).
std::string withEnvironment(const std::map<std::string, std::string>& environment,
                            const std::string& command);

}  // namespace vk::test
