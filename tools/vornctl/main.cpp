// vornctl: the command-line host of VornKit. Sets up the bundle like a host application would,
// then runs one command (see `vornctl --help`). Whatever a command lets escape ends as a message
// and exit status 1, never as an abort.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/HelpText.h"

namespace vornctl {

std::map<std::string, Command>& commands() {
    static std::map<std::string, Command> registry;
    return registry;
}

Registration::Registration(std::string name, std::string summary, CommandFunction run) {
    auto key = name;
    commands().emplace(std::move(key),
                       Command{std::move(name), std::move(summary), std::move(run)});
}

}  // namespace vornctl

namespace {

void printHelp() {
    std::printf(
        "vornctl: the VornKit command-line host.\n\n"
        "usage: vornctl [server options] <command> [arguments]\n\ncommands:\n");
    for (const auto& [name, command] : vornctl::commands()) {
        std::printf("  %s\n", command.summary.c_str());
    }
    std::printf("\n`vornctl <command> --help` says more where a command has options.\n");
    std::printf("Commands that print records take --json to print them as JSON.\n\n%s",
                vornctl::kExitCodes);
    std::printf(
        "\nvornctl --man prints the man page, vornctl --bash-completion the completion "
        "script.\n");
}

/// Runs `command`; an exception that escapes it is reported as a failure.
int run(const vornctl::Command& command, const std::vector<std::string>& args) {
    try {
        return command.run(args);
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "error: %s failed: %s\n", command.name.c_str(), failure.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "error: %s failed\n", command.name.c_str());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.vornctl";
    bundle.path = argc > 0 ? std::filesystem::path(argv[0]).parent_path() : std::filesystem::path();
    bundle.info = {{"CFBundleShortVersionString", "0.1.0"},
                   {"CFBundleVersion", "1"},
                   {"CFBundleName", "vornctl"}};
    vk::Bundle::setMain(bundle);

    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printHelp();
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "--man") {
        vornctl::printManPage();
        return 0;
    }
    if (args[0] == "--bash-completion") {
        vornctl::printBashCompletion();
        return 0;
    }
    // Server options (--local URL ...) may come before the command; commands that take them read
    // them from the full argument list, so find the first word that names a command.
    for (size_t i = 0; i < args.size(); ++i) {
        auto it = vornctl::commands().find(args[i]);
        if (it != vornctl::commands().end()) {
            std::vector<std::string> rest(args.begin(), args.begin() + static_cast<long>(i));
            rest.insert(rest.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            for (const auto& arg : rest) {
                if (arg == "--help" || arg == "-h") {
                    if (vornctl::printCommandHelp(it->second)) {
                        std::printf("\n");
                        std::fflush(stdout);
                        run(it->second, {"--help"});
                    }
                    return 0;
                }
            }
            return run(it->second, rest);
        }
        if (args[i].rfind("--", 0) == 0 && i + 1 < args.size()) {
            ++i;  // skip an option's value
        }
    }
    std::fprintf(stderr, "error: unknown command; see vornctl --help\n");
    return 2;
}
