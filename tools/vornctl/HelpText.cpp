// vornctl's generated help: see HelpText.h.
#include "tools/vornctl/HelpText.h"

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "tools/vornctl/ServerOptions.h"

namespace vornctl {

const char* const kExitCodes =
    "exit status: 0 success, 1 failure (the server, the network or the data), 2 usage error\n";

namespace {

struct HelpEntry {
    const char* example;
    bool ownHelp;        ///< the command prints its own option help for --help
    bool serverOptions;  ///< the command takes the server options
};

// One example per command; a command missing here gets a generic one.
const std::map<std::string, HelpEntry>& entries() {
    static const std::map<std::string, HelpEntry> table = {
        {"demo", {"vornctl demo", false, false}},
        {"views",
         {"vornctl --local http://127.0.0.1:8096 --token T --user U views --json", true, true}},
        {"items", {"vornctl --local URL --token T --user U items --parent ID Limit=5", true, true}},
        {"item", {"vornctl --local URL --token T --user U item ID --json", true, true}},
        {"latest", {"vornctl --local URL --token T --user U latest Limit=3", true, true}},
        {"artists", {"vornctl --local URL --token T artists Limit=10 --json", true, true}},
        {"favorite", {"vornctl --local URL --token T --user U favorite ID on", true, true}},
        {"stream-url",
         {"vornctl --local URL --token T --user U stream-url ID --container mp3", true, true}},
        {"image-url",
         {"vornctl --local URL --token T image-url ID --type Primary --max-width 300", true, true}},
        {"report",
         {"vornctl --local URL --token T report start --item ID --media-source ID --play-session 1",
          true, true}},
        {"play", {"vornctl --local URL --token T --user U play ID --simulate --fast", true, true}},
        {"inspect", {"vornctl inspect json BaseItemDto < item.json", false, false}},
        {"resolve",
         {"vornctl --local http://127.0.0.1:8096 --remote https://example.org resolve", true,
          true}},
        {"get", {"vornctl --local URL --token T get System/Info/Public", true, true}},
        {"browse",
         {"vornctl --local URL --token T --user U browse children ID --json", false, true}},
        {"search",
         {"vornctl --local URL --token T --user U search 'Morning Light' --json", false, true}},
        {"login", {"vornctl login --credentials credentials.json", false, false}},
        {"logout", {"vornctl logout", false, false}},
        {"servers", {"vornctl servers --json", false, false}},
        {"device", {"vornctl device", false, false}},
        {"reachability", {"vornctl reachability", false, false}},
        {"download", {"vornctl --server-id ID download ALBUM-ID", false, true}},
        {"offline", {"vornctl --server-id ID offline play ITEM-ID", false, true}},
        {"companion", {"vornctl companion --simulate", false, false}},
        {"watch-sim", {"vornctl watch-sim --send getCredentials --json", false, false}},
    };
    return table;
}

// The options a summary line names ("--json", "--parent", ...).
std::set<std::string> optionsOf(const Command& command) {
    std::set<std::string> options = {"--help"};
    static const std::regex option("--[a-z][a-z-]*");
    for (std::sregex_iterator it(command.summary.begin(), command.summary.end(), option), end;
         it != end; ++it) {
        options.insert(it->str());
    }
    return options;
}

}  // namespace

bool printCommandHelp(const Command& command) {
    auto found = entries().find(command.name);
    const bool serverOptions = found == entries().end() || found->second.serverOptions;
    std::printf("usage: vornctl %s%s\n\n", serverOptions ? "[server options] " : "",
                command.summary.c_str());
    std::printf("example:\n  %s\n\n", found != entries().end()
                                          ? found->second.example
                                          : ("vornctl " + command.name).c_str());
    if (serverOptions)
        std::printf("%s\n", ServerOptions::usage());
    std::printf("%s", kExitCodes);
    return found != entries().end() && found->second.ownHelp;
}

void printManPage() {
    std::printf(
        ".TH VORNCTL 1 \"\" \"VornKit\" \"User Commands\"\n"
        ".SH NAME\nvornctl \\- the VornKit command-line host\n"
        ".SH SYNOPSIS\n.B vornctl\n[\\fIserver options\\fR] \\fIcommand\\fR [\\fIarguments\\fR]\n"
        ".SH DESCRIPTION\nvornctl talks to a media server through VornKit, the way a player "
        "application does. Commands that print records take \\fB\\-\\-json\\fR to print the "
        "decoded records as JSON. \\fBvornctl\\fR \\fIcommand\\fR \\fB\\-\\-help\\fR describes "
        "one command.\n.SH COMMANDS\n");
    for (const auto& [name, command] : commands()) {
        auto found = entries().find(name);
        std::printf(".TP\n.B %s\n",
                    std::regex_replace(command.summary, std::regex("-"), "\\-").c_str());
        if (found != entries().end())
            std::printf("Example: %s\n", std::regex_replace(std::string(found->second.example),
                                                            std::regex("-"), "\\-")
                                             .c_str());
    }
    std::printf(".SH SERVER OPTIONS\n.nf\n%s.fi\n", ServerOptions::usage());
    std::printf(
        ".SH EXIT STATUS\n0 success, 1 failure (the server, the network or the data), "
        "2 usage error.\n.SH SEE ALSO\n.BR refserver (1)\n");
}

void printBashCompletion() {
    std::printf(
        "# bash completion for vornctl (generated by vornctl --bash-completion)\n"
        "_vornctl() {\n"
        "    local all='--local --manual --remote --server-id --name --user --token "
        "--device-id --device-name'\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} cmd='' opts='' server='' w\n"
        "    for w in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
        "        case $w in\n");
    std::string names;
    for (const auto& [name, command] : commands()) {
        std::string options;
        for (const auto& option : optionsOf(command))
            options += (options.empty() ? "" : " ") + option;
        auto found = entries().find(name);
        const bool serverOptions = found == entries().end() || found->second.serverOptions;
        std::printf("            %s) cmd=%s; opts='%s'%s ;;\n", name.c_str(), name.c_str(),
                    options.c_str(), serverOptions ? "; server=$all" : "");
        names += (names.empty() ? "" : " ") + name;
    }
    std::printf(
        "        esac\n"
        "    done\n"
        "    if [[ -z $cmd ]]; then\n"
        "        COMPREPLY=($(compgen -W \"%s --help $all\" -- \"$cur\"))\n"
        "    else\n"
        "        COMPREPLY=($(compgen -W \"$opts $server\" -- \"$cur\"))\n"
        "    fi\n"
        "}\n"
        "complete -F _vornctl vornctl\n",
        names.c_str());
}

}  // namespace vornctl
