// The application's places on disk: the documents directory and the application-group container
// (shared by the application and its extensions), both under the XDG data home, and a temporary
// directory of this user's own inside the system's. Directories are created on demand.
//
// Thread rule: thread-safe. A directory that cannot be created is reported as absent.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

/// The application's places on disk, created on demand. Thread-safe; a directory that cannot be
/// created is reported as absent.
class VK_EXPORT Directories {
  public:
    /// The application-group identifier shared by the application and its extensions (keychain
    /// access group, store container, first-run flag).
    static constexpr std::string_view kApplicationGroupIdentifier = "group.app.vorn";

    /// `<data home>/<bundle identifier>/Documents`.
    static std::optional<std::filesystem::path> documents();
    /// `<data home>/<group identifier>`.
    static std::optional<std::filesystem::path> applicationGroupContainer(
        std::string_view groupIdentifier = kApplicationGroupIdentifier);
    /// `<temporary directory>/<bundle identifier>`, a folder only this user may enter (mode
    /// 0700). When that name is taken by something that is not this user's folder (another
    /// user's folder, a link), a new private folder `<bundle identifier>-XXXXXX` beside it,
    /// made once per process and temporary directory. Absent when neither can be made.
    static std::optional<std::filesystem::path> temporary();
};

}  // namespace vk
