// The player-control commands MpvPlayer::execute() takes, as libmpv command words; not installed.
//
// Thread rule: a pure function; callable from any thread.
#pragma once

#include <any>
#include <optional>
#include <string>
#include <vector>

namespace vk::mpv_detail {

/// The libmpv command words for one of the player-control commands execute() takes (see
/// MpvPlayer::execute), or absent for anything else or an argument of the wrong kind (libmpv's
/// own commands run programs, load scripts and write files).
std::optional<std::vector<std::string>> controlCommand(const std::string& command,
                                                       const std::any& argument);

}  // namespace vk::mpv_detail
