#include "tools/vornctl/WatchLinkOptions.h"

#include <charconv>

namespace vornctl {

bool parseWatchLinkOptions(std::vector<std::string>& args,
                           vk::WatchSessionConfiguration& configuration, std::string& error) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool takesValue =
            arg == "--socket" || arg == "--tcp" || arg == "--pairing-key" || arg == "--state-dir";
        if (!takesValue) {
            rest.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) {
            error = arg + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        if (arg == "--socket") {
            configuration.socketPath = value;
        } else if (arg == "--pairing-key") {
            configuration.pairingKeyFile = value;
        } else if (arg == "--state-dir") {
            configuration.stateDirectory = value;
        } else {
            auto colon = value.rfind(':');
            unsigned port = 0;
            const char* end = value.data() + value.size();
            if (colon == std::string::npos || colon == 0 ||
                std::from_chars(value.data() + colon + 1, end, port).ptr != end || port > 65535) {
                error = "--tcp needs HOST:PORT";
                return false;
            }
            configuration.tcpHost = value.substr(0, colon);
            configuration.tcpPort = static_cast<std::uint16_t>(port);
        }
    }
    if (configuration.tcpHost && configuration.pairingKeyFile.empty()) {
        error = "--tcp needs --pairing-key FILE";
        return false;
    }
    args = std::move(rest);
    return true;
}

const char* watchLinkOptionsUsage() {
    return "link options: --socket PATH (default $XDG_RUNTIME_DIR/vornkit/watch.sock) | --tcp "
           "HOST:PORT --pairing-key FILE; --state-dir DIR\n";
}

}  // namespace vornctl
