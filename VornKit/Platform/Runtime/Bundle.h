// The host application's bundle: identifier, path and info values ("CFBundleShortVersionString",
// "CFBundleVersion", ...). The host sets it once at start-up, before any other framework call.
//
// Thread rule: setMain() before other threads use the framework (later calls are still safe but
// racy by nature); main() is thread-safe and returns a copy.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "VornKit/Export.h"

namespace vk {

/// The host application's identity and info values (a value; see the file comment).
class VK_EXPORT Bundle {
  public:
    /// The bundle identifier (absent until set), the application's directory and its info values
    /// by key.
    /// @{
    std::optional<std::string> identifier;
    std::filesystem::path path;
    std::map<std::string, std::string> info;
    /// @}

    /// The info value under `key`, absent when there is none.
    std::optional<std::string> infoValue(const std::string& key) const;

    /// Sets the host's bundle; call once at start-up, before any other framework call.
    static void setMain(Bundle bundle);
    /// The bundle set by the host; an empty bundle (no identifier) when none was set.
    static Bundle main();
};

}  // namespace vk
