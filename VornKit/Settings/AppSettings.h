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
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Settings/SubtitleStyles.h"

namespace vk {

/// Typed reads of the user's settings (see the file comment); cheap to make, thread-safe.
class VK_EXPORT AppSettings {
  public:
    /// Reads and writes the standard store.
    AppSettings();
    /// Reads and writes `store` (tests, tools).
    explicit AppSettings(std::shared_ptr<UserDefaults> store);

    /// The user defaults the settings are read from and written to.
    const std::shared_ptr<UserDefaults> userDefault;

    /// Stores `value` as text under `key`; a write failure is logged by the store.
    void set(const std::string& key, const std::string& value);
    /// Removes `key`; a write failure is logged by the store.
    void remove(const std::string& key);

    /// "cameraUploadServers" split at commas; empty when absent.
    std::vector<std::string> getCameraUploadServers() const;
    /// "cameraUploadFolders" split at "||"; empty when absent or empty.
    std::vector<std::string> getCameraUploadFolders() const;
    /// Whether "cameraUploadAllFolders" is the text "true".
    bool getCameraUploadAllFolders() const;
    /// True unless "syncOnlyOnWifi" is the text "false".
    bool getSyncOnlyOnWifi() const;
    /// True unless "cameraUploadOnlyOnWifi" is the text "false".
    bool getUploadOnlyOnWifi() const;
    /// Whether "cameraUploadProgressEnabled" is the text "true".
    bool getCameraUploadProgressEnabled() const;
    /// Whether "downloadProgressEnabled" is the text "true".
    bool getDownloadProgressEnabled() const;
    /// "saveStreamServers" split at commas (absent gives one empty piece).
    std::vector<std::string> getSaveStreamServers() const;
    /// "skipForwardLength" as a decimal integer; 10000 when absent or not one.
    std::int64_t getSkipForwardLength() const;
    /// "skipBackLength" as a decimal integer; 10000 when absent or not one.
    std::int64_t getSkipBackLength() const;
    /// A fresh object each call; changing it does not write back.
    std::shared_ptr<SubtitleStyles> getSubtitleStyles() const;
    /// The "syncActive" flag, read as UserDefaults::boolean() reads (false when absent).
    bool getSyncActive() const;
    /// Stores the "syncActive" flag as a Boolean.
    void setSyncActive(bool active);
};

/// The two settings entries a host can observe on the store itself: each is the optional text
/// under the key of the same name. Observers run on `queue` (inline when null) after a change.
class VK_EXPORT ObservableSettings {
  public:
    /// The text under "cameraUploadServers", absent when none.
    static std::optional<std::string> cameraUploadServers(UserDefaults& store);
    /// The text under "cameraUploadProgressEnabled", absent when none.
    static std::optional<std::string> cameraUploadProgressEnabled(UserDefaults& store);
    /// Observes "cameraUploadServers"; the token is for UserDefaults::removeObserver().
    static std::uint64_t observeCameraUploadServers(
        UserDefaults& store, std::shared_ptr<DispatchQueue> queue,
        std::function<void(std::optional<std::string>)> observer);
    /// Observes "cameraUploadProgressEnabled"; the token is for UserDefaults::removeObserver().
    static std::uint64_t observeCameraUploadProgressEnabled(
        UserDefaults& store, std::shared_ptr<DispatchQueue> queue,
        std::function<void(std::optional<std::string>)> observer);
};

}  // namespace vk
