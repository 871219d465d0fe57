// vornctl's command registry: each command lives in its own file and registers itself with
// VORNCTL_COMMAND(name, summary, function). main() dispatches on the first argument.
//
// Thread rule: commands run on the program's main thread, which also services the main run loop
// when a command waits for asynchronous work.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vornctl {

/// Arguments after the command name. Returns the process exit status.
using CommandFunction = std::function<int(const std::vector<std::string>& args)>;

struct Command {
    std::string name;
    std::string summary;  ///< one line for --help: "NAME ARGS  what it does"
    CommandFunction run;
};

std::map<std::string, Command>& commands();

struct Registration {
    Registration(std::string name, std::string summary, CommandFunction run);
};

}  // namespace vornctl

#define VORNCTL_CONCAT2(a, b) a##b
#define VORNCTL_CONCAT(a, b) VORNCTL_CONCAT2(a, b)
#define VORNCTL_COMMAND(name, summary, function)                                     \
    static const ::vornctl::Registration VORNCTL_CONCAT(vornctlCommand_, __LINE__) { \
        name, summary, function                                                      \
    }
