#include "VornKit/Platform/Media/FreedesktopNotificationCenter.h"

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <map>
#include <vector>

#include "VornKit/Platform/Bus/DBusText.h"

namespace vk {

namespace {
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

std::string escapeMarkup(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}
}  // namespace

/// Used only on `queue`.
struct FreedesktopNotificationCenter::State {
    std::string appName;
    std::optional<std::string> desktopEntry;
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::makeSerial("FreedesktopNotifications");
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
    std::map<std::string, std::uint32_t> ids;  // request identifier -> server's id

    sdbus::IProxy& server() {
        if (!proxy) {
            connection = sdbus::createSessionBusConnection();
            proxy = sdbus::createProxy(*connection, kService, kPath);
            proxy->finishRegistration();
        }
        return *proxy;
    }
    void forget() {
        proxy.reset();
        connection.reset();
    }
    /// The server's capabilities; absent (and the error) when there is no server.
    std::optional<std::vector<std::string>> capabilities(std::string* error) {
        try {
            std::vector<std::string> caps;
            server().callMethod("GetCapabilities").onInterface(kInterface).storeResultsTo(caps);
            return caps;
        } catch (const std::exception& e) {
            if (error)
                *error = e.what();
            forget();
            return std::nullopt;
        }
    }
    NotificationError notify(const NotificationRequest& request) {
        std::string error;
        const auto caps = capabilities(&error);
        if (!caps)
            return error;
        const bool markup = std::find(caps->begin(), caps->end(), "body-markup") != caps->end();
        std::string body = request.subtitle;
        if (!request.body.empty())
            body += (body.empty() ? "" : "\n") + request.body;
        body = dbusSafeText(body);
        if (markup)
            body = escapeMarkup(body);
        std::map<std::string, sdbus::Variant> hints;
        if (!request.attachments.empty())
            hints["image-path"] =
                sdbus::Variant(dbusSafeText("file://" + request.attachments[0].file.string()));
        if (desktopEntry)
            hints["desktop-entry"] = sdbus::Variant(dbusSafeText(*desktopEntry));
        const auto previous = ids.find(request.identifier);
        const std::uint32_t replaces = previous == ids.end() ? 0 : previous->second;
        try {
            std::uint32_t id = 0;
            server()
                .callMethod("Notify")
                .onInterface(kInterface)
                .withArguments(dbusSafeText(appName), replaces, std::string(),
                               dbusSafeText(request.title), body, std::vector<std::string>{}, hints,
                               std::int32_t{-1})
                .storeResultsTo(id);
            ids[request.identifier] = id;
            return std::nullopt;
        } catch (const std::exception& e) {
            forget();
            return std::string(e.what());
        }
    }
};

std::shared_ptr<FreedesktopNotificationCenter> FreedesktopNotificationCenter::make(
    std::string appName, std::optional<std::string> desktopEntry) {
    auto state = std::make_shared<State>();
    state->appName = std::move(appName);
    state->desktopEntry = std::move(desktopEntry);
    return std::shared_ptr<FreedesktopNotificationCenter>(
        new FreedesktopNotificationCenter(std::move(state)));
}

FreedesktopNotificationCenter::FreedesktopNotificationCenter(std::shared_ptr<State> state)
    : state_(std::move(state)) {}

FreedesktopNotificationCenter::~FreedesktopNotificationCenter() = default;

void FreedesktopNotificationCenter::notificationSettings(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        completion(state->capabilities(nullptr) ? NotificationAuthorizationStatus::Authorized
                                                : NotificationAuthorizationStatus::Denied);
    });
}

void FreedesktopNotificationCenter::requestAuthorization(
    std::function<void(bool, NotificationError)> completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        completion(state->capabilities(nullptr).has_value(), std::nullopt);
    });
}

void FreedesktopNotificationCenter::add(NotificationRequest request,
                                        std::function<void(NotificationError)> completion) {
    auto state = state_;
    const auto delay = request.delay;
    state->queue->asyncAfter(
        delay, [state, request = std::move(request), completion = std::move(completion)] {
            NotificationError error = state->notify(request);
            if (completion)
                completion(error);
        });
}

}  // namespace vk
