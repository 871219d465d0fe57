#include "DesktopOptions.h"

#include <cstdlib>

namespace desktop {

namespace {

std::optional<long long> number(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || value < 0)
        return std::nullopt;
    return value;
}

}  // namespace

const char* DesktopOptions::usage() {
    return "usage: vornkit-desktop [--server URL] [--audio-output LIST] [--mpv-option "
           "NAME=VALUE]...\n"
           "                       [--probe-interval-ms MS] [--size WIDTHxHEIGHT] [--background]\n"
           "                       [--trace] [--script FILE]\n"
           "\n"
           "VornKit Desktop shows your media server's web interface and plays what you pick in\n"
           "it with the desktop's player (MPRIS, notifications, downloads for offline use).\n"
           "\n"
           "  --server URL              connect to this server when none is stored yet\n"
           "  --audio-output LIST       libmpv's audio outputs, tried in order (null: silent)\n"
           "  --mpv-option NAME=VALUE   a further libmpv option (repeatable)\n"
           "  --probe-interval-ms MS    how often the server is checked (default 5000)\n"
           "  --size WIDTHxHEIGHT       the window's size (default 1180x780)\n"
           "  --background              start without a window (search provider activation)\n"
           "  --trace                   print each statement for the page (js: ...) and each one\n"
           "                            the page rejects (js-rejected: ...)\n"
           "  --script FILE             run the steps of FILE in the window, then quit; exit\n"
           "                            status 0 when every step passed\n";
}

std::optional<DesktopOptions> DesktopOptions::parse(const std::vector<std::string>& arguments,
                                                    std::string& error, bool& help) {
    DesktopOptions options;
    help = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return options;
        }
        if (arg == "--background") {
            options.background = true;
            continue;
        }
        if (arg == "--trace") {
            options.trace = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unknown argument " + arg;
            return std::nullopt;
        }
        const std::string& value = arguments[++i];
        if (arg == "--server") {
            options.server = value;
        } else if (arg == "--audio-output") {
            options.audioOutput = value;
        } else if (arg == "--mpv-option") {
            const auto eq = value.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--mpv-option needs NAME=VALUE";
                return std::nullopt;
            }
            options.mpvOptions.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else if (arg == "--probe-interval-ms") {
            const auto ms = number(value);
            if (!ms || *ms < 100) {
                error = "--probe-interval-ms needs a number of at least 100";
                return std::nullopt;
            }
            options.probeInterval = std::chrono::milliseconds(*ms);
        } else if (arg == "--size") {
            const auto x = value.find('x');
            const auto w = x == std::string::npos ? std::nullopt : number(value.substr(0, x));
            const auto h = x == std::string::npos ? std::nullopt : number(value.substr(x + 1));
            if (!w || !h || *w < 200 || *h < 200 || *w > 10000 || *h > 10000) {
                error = "--size needs WIDTHxHEIGHT (200 to 10000 each)";
                return std::nullopt;
            }
            options.width = static_cast<int>(*w);
            options.height = static_cast<int>(*h);
        } else if (arg == "--script") {
            options.script = value;
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace desktop
