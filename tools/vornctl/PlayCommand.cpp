// `vornctl play ITEM...`: plays library items through the event bridge and prints what the web
// user interface and the server receive (see Playthrough.h).
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tools/vornctl/Command.h"
#include "tools/vornctl/Playthrough.h"
#include "tools/vornctl/ServerOptions.h"

namespace {

const char* const kUsage =
    "usage: vornctl play ITEM... [--audio] [--speed X] [server options]\n"
    "       vornctl play --simulate [--fast] ITEM... [--speed X] [server options]\n";

int help() {
    std::printf(
        "%s\n"
        "Plays the library items ITEM... (ids) of the server, in order, with the event bridge\n"
        "attached, and prints one line per JavaScript statement handed to the web view\n"
        "(\"js: <statement>\") and per playback report sent (\"report: <start|progress|stop>\n"
        "<JSON body>\"). Log lines go to standard error. Ctrl-C stops playback (with its stop\n"
        "report).\n\n"
        "  --audio     play to the sound server (otherwise libmpv's null audio output)\n"
        "  --simulate  drive a scripted player instead of libmpv: start, a time update a second,\n"
        "              a pause and an unpause, the end of each item, in real time\n"
        "  --fast      with --simulate: skip the waiting\n"
        "  --speed X   playback speed factor (default 1)\n\n%s",
        kUsage, vornctl::ServerOptions::usage());
    return 0;
}

int play(const std::vector<std::string>& args) {
    const std::set<std::string> flags = {"--audio", "--simulate", "--fast", "--help", "-h"};
    std::vector<std::string> rest;
    std::set<std::string> given;
    vornctl::PlaythroughOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (flags.count(args[i])) {
            given.insert(args[i]);
        } else if (args[i] == "--speed" && i + 1 < args.size()) {
            char* end = nullptr;
            options.speed = std::strtod(args[i + 1].c_str(), &end);
            if (*end != '\0' || !(options.speed > 0) || options.speed > 100) {
                std::printf("error: --speed needs a number above 0 and up to 100\n");
                return 2;
            }
            ++i;
        } else {
            rest.push_back(args[i]);
        }
    }
    if (given.count("--help") || given.count("-h"))
        return help();
    std::string error;
    auto server = vornctl::ServerOptions::parse(rest, error);
    if (!server) {
        std::printf("error: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (server->positional.empty()) {
        std::printf("%s", kUsage);
        return 2;
    }
    options.simulate = given.count("--simulate") > 0;
    options.fast = given.count("--fast") > 0;
    options.audio = given.count("--audio") > 0;
    options.userId = server->userId;

    vornctl::StderrLog log;
    // The server record and device of the stored client when --server-id stands alone, else
    // the ones the options give; the client made from them prints every report it sends.
    auto source = server->makeClient();
    vk::ServerInfo record = source->serverInfo();
    record.AccessToken = source->getServerCredentials();
    auto client = vornctl::makeReportingClient(std::move(record), source->deviceInfo());
    if (!vornctl::resolveAddress(*client, error)) {
        std::printf("error: %s\n", error.c_str());
        return 1;
    }
    return vornctl::playThrough(client, server->positional, options);
}

}  // namespace

VORNCTL_COMMAND("play",
                "play ITEM... [--audio] [--simulate [--fast]] [--speed X]  play items through the "
                "event bridge, printing js: and report: lines",
                play);
