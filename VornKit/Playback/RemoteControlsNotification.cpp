// RemoteControls' notification of the item that starts: asked for once per item when the user has
// not decided yet, with the cover (when cached) as an attachment.
#include <filesystem>

#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Playback/RemoteControls.h"

namespace vk {

namespace {

constexpr const char* kCategory = "RemoteControls";

bool blank(const std::optional<std::string>& text) {
    if (!text)
        return true;
    return text->find_first_not_of(" \t\n\r\f\v") == std::string::npos;
}

/// A file name for an item id: a separator or a leading dot cannot lead out of the directory.
std::string safeFileName(const std::string& id) {
    std::string name;
    for (char c : id)
        name += (c == '/' || c == '\0') ? '_' : c;
    if (name.empty() || name[0] == '.')
        name.insert(name.begin(), '_');
    return name;
}

}  // namespace

void RemoteControls::showNotificationForCurrentItem(std::shared_ptr<MediaItem> item,
                                                    bool askedAlready) {
    auto center = services_.notificationCenter;
    if (!center)
        return;
    std::weak_ptr<RemoteControls> weak = weak_from_this();
    center->notificationSettings([weak, center, item,
                                  askedAlready](NotificationAuthorizationStatus status) {
        auto self = weak.lock();
        if (!self)
            return;
        switch (status) {
            case NotificationAuthorizationStatus::Denied:
                return;
            case NotificationAuthorizationStatus::NotDetermined:
                if (askedAlready)
                    return;  // asked once for this item: no second request
                center->requestAuthorization([weak, item](bool granted, NotificationError error) {
                    if (error) {
                        consoleLog(kCategory,
                                   "[UNUserNotificationCenter requestAuthorizationWithOptions] "
                                   "failed: %s",
                                   error->c_str());
                        return;
                    }
                    consoleLog(
                        kCategory,
                        "[UNUserNotificationCenter requestAuthorizationWithOptions] Result: %s",
                        granted ? "Granted" : "Denied");
                    if (granted)
                        if (auto self = weak.lock())
                            self->showNotificationForCurrentItem(item, true);
                });
                return;
            default:
                self->notify(item);
        }
    });
}

void RemoteControls::notify(const std::shared_ptr<MediaItem>& item) {
    NotificationRequest request;
    request.identifier = "VORN_MUSIC";
    request.title = item->Title.value_or("");
    std::string subtitle = blank(item->Artist) ? std::string() : *item->Artist;
    if (!blank(item->Album)) {
        if (!subtitle.empty())
            subtitle += " - ";
        subtitle += *item->Album;
    }
    request.subtitle = blank(subtitle) ? "Now Playing" : subtitle;
    std::shared_ptr<const Image> cover;
    if (item->CoverUrl) {
        std::lock_guard lock(mutex_);
        cover = imageCache_.object(*item->CoverUrl);
    }
    if (cover && item->ItemId) {
        // In this user's own temporary folder, written without following a link: another local
        // user cannot choose where the cover goes.
        const auto folder = Directories::temporary();
        std::string failure = "no private temporary folder";
        std::filesystem::path file;
        if (folder) {
            file = *folder / (safeFileName(*item->ItemId) + ".png");
            auto png = cover->pngData();
            if (!png)
                failure = "cannot encode the cover";
            else if (PrivateFiles::write(file, *png, &failure))
                failure.clear();
        }
        if (failure.empty())
            request.attachments.push_back({*item->ItemId, file});
        else
            consoleLog(kCategory,
                       "UNUserNotificationCenter UNNotificationAttachment creation failed: %s",
                       failure.c_str());
    }
    request.delay = std::chrono::milliseconds(100);
    services_.notificationCenter->add(std::move(request), [](NotificationError error) {
        if (error)
            consoleLog(kCategory, "[UNUserNotificationCenter addNotificationRequest] failed: %s",
                       error->c_str());
    });
}

}  // namespace vk
