#include "VornKit/Settings/AppSettings.h"

#include <charconv>

namespace vk {

namespace {

constexpr const char* kCameraUploadServers = "cameraUploadServers";
constexpr const char* kCameraUploadFolders = "cameraUploadFolders";
constexpr const char* kCameraUploadAllFolders = "cameraUploadAllFolders";
constexpr const char* kSyncOnlyOnWifi = "syncOnlyOnWifi";
constexpr const char* kCameraUploadOnlyOnWifi = "cameraUploadOnlyOnWifi";
constexpr const char* kCameraUploadProgressEnabled = "cameraUploadProgressEnabled";
constexpr const char* kDownloadProgressEnabled = "downloadProgressEnabled";
constexpr const char* kSaveStreamServers = "saveStreamServers";
constexpr const char* kSkipForwardLength = "skipForwardLength";
constexpr const char* kSkipBackLength = "skipBackLength";
constexpr const char* kSubtitleAppearance = "localplayersubtitleappearance3";
constexpr const char* kSyncActive = "syncActive";

constexpr std::string_view kFolderSeparator = "||";
constexpr std::int64_t kDefaultSkipLength = 10000;

/// Splits at every separator; empty pieces stay.
std::vector<std::string> split(std::string_view text, std::string_view separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

/// A base-10 integer that is the whole text (an optional sign first).
std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

AppSettings::AppSettings() : AppSettings(UserDefaults::standard()) {}

AppSettings::AppSettings(std::shared_ptr<UserDefaults> store) : userDefault(std::move(store)) {}

void AppSettings::set(const std::string& key, const std::string& value) {
    userDefault->set(key, value);
}

void AppSettings::remove(const std::string& key) {
    userDefault->remove(key);
}

std::vector<std::string> AppSettings::getCameraUploadServers() const {
    auto text = userDefault->string(kCameraUploadServers);
    return text ? split(*text, ",") : std::vector<std::string>{};
}

std::vector<std::string> AppSettings::getCameraUploadFolders() const {
    auto text = userDefault->string(kCameraUploadFolders);
    if (!text || text->empty()) {
        return {};
    }
    return split(*text, kFolderSeparator);
}

bool AppSettings::getCameraUploadAllFolders() const {
    return userDefault->string(kCameraUploadAllFolders) == "true";
}

bool AppSettings::getSyncOnlyOnWifi() const {
    return userDefault->string(kSyncOnlyOnWifi) != "false";
}

bool AppSettings::getUploadOnlyOnWifi() const {
    return userDefault->string(kCameraUploadOnlyOnWifi) != "false";
}

bool AppSettings::getCameraUploadProgressEnabled() const {
    return userDefault->string(kCameraUploadProgressEnabled) == "true";
}

bool AppSettings::getDownloadProgressEnabled() const {
    return userDefault->string(kDownloadProgressEnabled) == "true";
}

std::vector<std::string> AppSettings::getSaveStreamServers() const {
    return split(userDefault->string(kSaveStreamServers).value_or(""), ",");
}

std::int64_t AppSettings::getSkipForwardLength() const {
    return parseInteger(userDefault->string(kSkipForwardLength).value_or(""))
        .value_or(kDefaultSkipLength);
}

std::int64_t AppSettings::getSkipBackLength() const {
    return parseInteger(userDefault->string(kSkipBackLength).value_or(""))
        .value_or(kDefaultSkipLength);
}

std::shared_ptr<SubtitleStyles> AppSettings::getSubtitleStyles() const {
    auto text = userDefault->string(kSubtitleAppearance);
    if (!text) {
        return std::make_shared<SubtitleStyles>();
    }
    auto styles = SubtitleStyles::decode(*text);
    return styles ? styles : std::make_shared<SubtitleStyles>();
}

bool AppSettings::getSyncActive() const {
    return userDefault->boolean(kSyncActive);
}

void AppSettings::setSyncActive(bool active) {
    userDefault->set(kSyncActive, active);
}

std::optional<std::string> ObservableSettings::cameraUploadServers(UserDefaults& store) {
    return store.string(kCameraUploadServers);
}

std::optional<std::string> ObservableSettings::cameraUploadProgressEnabled(UserDefaults& store) {
    return store.string(kCameraUploadProgressEnabled);
}

namespace {
std::uint64_t observeText(UserDefaults& store, const char* key,
                          std::shared_ptr<DispatchQueue> queue,
                          std::function<void(std::optional<std::string>)> observer) {
    return store.addObserver(key, std::move(queue),
                             [observer = std::move(observer)](const auto& value) {
                                 std::optional<std::string> text;
                                 if (value) {
                                     if (auto* s = std::get_if<std::string>(&value->value)) {
                                         text = *s;
                                     }
                                 }
                                 observer(text);
                             });
}
}  // namespace

std::uint64_t ObservableSettings::observeCameraUploadServers(
    UserDefaults& store, std::shared_ptr<DispatchQueue> queue,
    std::function<void(std::optional<std::string>)> observer) {
    return observeText(store, kCameraUploadServers, std::move(queue), std::move(observer));
}

std::uint64_t ObservableSettings::observeCameraUploadProgressEnabled(
    UserDefaults& store, std::shared_ptr<DispatchQueue> queue,
    std::function<void(std::optional<std::string>)> observer) {
    return observeText(store, kCameraUploadProgressEnabled, std::move(queue), std::move(observer));
}

}  // namespace vk
