// The transport options `vornctl companion` and `vornctl watch-sim` share:
//   --socket PATH         the Unix socket (default $XDG_RUNTIME_DIR/vornkit/watch.sock)
//   --tcp HOST:PORT       TCP instead, paired with --pairing-key
//   --pairing-key FILE    the 32-byte key file both sides hold (mode 0600)
//   --state-dir DIR       where the session keeps its context and queue
//
// Thread rule: main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VornKit/Platform/Watch/SocketWatchSession.h"

namespace vornctl {

/// Takes the transport options out of `args` into `configuration` (whose role is already set).
/// False with `error` on a malformed option.
bool parseWatchLinkOptions(std::vector<std::string>& args,
                           vk::WatchSessionConfiguration& configuration, std::string& error);

/// One line for --help.
const char* watchLinkOptionsUsage();

}  // namespace vornctl
