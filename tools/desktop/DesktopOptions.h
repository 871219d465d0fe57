// The command line of vornkit-desktop.
//
//   vornkit-desktop [--server URL] [--audio-output LIST] [--mpv-option NAME=VALUE]...
//                   [--probe-interval-ms MS] [--size WIDTHxHEIGHT] [--background] [--trace]
//                   [--script FILE]
//
// Thread rule: plain values.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace desktop {

struct DesktopOptions {
    /// Connects to this server at start when no server is stored yet (as the start page would).
    std::optional<std::string> server;
    /// libmpv's audio outputs, in the order tried ("null" plays silently).
    std::string audioOutput = "pipewire,pulse,alsa,";
    /// Further libmpv options ("speed=4").
    std::vector<std::pair<std::string, std::string>> mpvOptions;
    /// How often the server in use is asked whether it is there.
    std::chrono::milliseconds probeInterval{5'000};
    /// The window's first size.
    int width = 1180;
    int height = 780;
    /// Starts without showing the window (D-Bus activation of the search provider); the window
    /// appears when the application is activated or a search result is opened.
    bool background = false;
    /// Prints every statement handed to the page ("js: ...") and every one it rejects
    /// ("js-rejected: ...") on standard output.
    bool trace = false;
    /// Runs the steps of this file in the window, then quits (see TestScript.h).
    std::optional<std::filesystem::path> script;

    /// The options of `arguments` (without the program name); absent with `error` set for a
    /// command line it cannot use. `help` is set for --help.
    static std::optional<DesktopOptions> parse(const std::vector<std::string>& arguments,
                                               std::string& error, bool& help);
    /// The usage text.
    static const char* usage();
};

}  // namespace desktop
