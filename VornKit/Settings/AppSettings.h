// Typed reading of the user's settings from the application's standard user-defaults store:
// lists, Booleans and integers with fixed defaults, the subtitle appearance, a generic text
// setter/remover and the "syncActive" flag. Nothing is cached: every read goes to the store, so a
// change by any writer (the web user interface, another process) is seen by the next read. No
// operation fails; missing or malformed entries read as their defaults.
//
// Thread rule: thread-safe (the store is). Returned values are owned by the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/UserDefaults.h"
#include "VornKit/Settings/SubtitleStyles.h"

namespace vk {

class VK_EXPORT AppSettings {
  public:
    /// Reads and writes the standard store.
    AppSettings();
    /// Reads and writes `store` (tests, tools).
    explicit AppSettings(std::shared_ptr<UserDefaults> store);

    const std::shared_ptr<UserDefaults> userDefault;

    void set(const std::string& key, const std::string& value);
    void remove(const std::string& key);

    std::vector<std::string> getCameraUploadServers() const;
    std::vector<std::string> getCameraUploadFolders() const;
    bool getCameraUploadAllFolders() const;
    bool getSyncOnlyOnWifi() const;
    bool getUploadOnlyOnWifi() const;
    bool getCameraUploadProgressEnabled() const;
    bool getDownloadProgressEnabled() const;
    std::vector<std::string> getSaveStreamServers() const;
    std::int64_t getSkipForwardLength() const;
    std::int64_t getSkipBackLength() const;
    /// A fresh object each call; changing it does not write back.
    std::shared_ptr<SubtitleStyles> getSubtitleStyles() const;
    bool getSyncActive() const;
    void setSyncActive(bool active);
};

/// The two settings entries a host can observe on the store itself: each is the optional text
/// under the key of the same name. Observers run on `queue` (inline when null) after a change.
class VK_EXPORT ObservableSettings {
  public:
    static std::optional<std::string> cameraUploadServers(UserDefaults& store);
    static std::optional<std::string> cameraUploadProgressEnabled(UserDefaults& store);
    static std::uint64_t observeCameraUploadServers(
        UserDefaults& store, std::shared_ptr<DispatchQueue> queue,
        std::function<void(std::optional<std::string>)> observer);
    static std::uint64_t observeCameraUploadProgressEnabled(
        UserDefaults& store, std::shared_ptr<DispatchQueue> queue,
        std::function<void(std::optional<std::string>)> observer);
};

}  // namespace vk
