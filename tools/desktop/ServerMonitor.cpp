#include "ServerMonitor.h"

#include <simdjson.h>

#include <algorithm>
#include <cctype>

#include "VornKit/Net/DefaultSession.h"
#include "VornKit/Net/Reachability.h"
#include "VornKit/Platform/Http/Url.h"
#include "VornKit/Platform/Http/UrlRequest.h"
#include "VornKit/Platform/Http/UrlSession.h"

namespace desktop {

std::string trimmedAddress(std::string address) {
    while (!address.empty() && address.back() == '/')
        address.pop_back();
    return address;
}

std::string originOf(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos || scheme == 0)
        return {};
    const auto end = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, end);
}

bool isWebAddress(const std::string& text) {
    auto lower = text.substr(0, 8);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

std::shared_ptr<ServerMonitor> ServerMonitor::create(std::chrono::milliseconds interval,
                                                     Changed changed) {
    std::shared_ptr<ServerMonitor> monitor(new ServerMonitor(interval, std::move(changed)));
    std::weak_ptr<ServerMonitor> weak = monitor;
    monitor->reachabilityObserver_ = vk::NotificationCenter::defaultCenter().addObserver(
        std::string(vk::Reachability::kNetworkReachabilityChangedNotification), nullptr,
        vk::DispatchQueue::main(), [weak](const vk::Notification&) {
            if (auto self = weak.lock())
                self->probeNow();
        });
    monitor->timer_ = vk::RepeatingTimer::schedule(vk::DispatchQueue::main(), interval, [weak] {
        if (auto self = weak.lock())
            self->probeNow();
    });
    return monitor;
}

ServerMonitor::ServerMonitor(std::chrono::milliseconds interval, Changed changed)
    : interval_(interval), changed_(std::move(changed)) {}

ServerMonitor::~ServerMonitor() {
    vk::NotificationCenter::defaultCenter().removeObserver(reachabilityObserver_);
    if (timer_)
        timer_->invalidate();
}

void ServerMonitor::watch(std::optional<std::string> address) {
    if (address)
        address = trimmedAddress(*address);
    if (address == address_)
        return;
    address_ = std::move(address);
    reachable_.reset();
    probeNow();
}

void ServerMonitor::probeNow() {
    const std::uint64_t generation = ++generation_;
    if (!address_)
        return;
    std::weak_ptr<ServerMonitor> weak = weak_from_this();
    // A server that takes longer than the interval to answer counts as gone.
    identify(*address_, interval_, [weak, generation](std::optional<ServerIdentity> identity) {
        if (auto self = weak.lock())
            self->answered(generation, identity.has_value());
    });
}

void ServerMonitor::answered(std::uint64_t generation, bool reachable) {
    if (generation != generation_)
        return;  // superseded by a later question, or another address
    if (reachable_ == reachable)
        return;
    reachable_ = reachable;
    if (changed_)
        changed_(reachable);
}

void ServerMonitor::identify(const std::string& address, std::chrono::milliseconds timeout,
                             std::function<void(std::optional<ServerIdentity>)> done) {
    const std::string base = trimmedAddress(address);
    auto url = vk::Url::parse(base + "/vorn/System/Info/Public");
    if (!url || (url->scheme() != "http" && url->scheme() != "https")) {
        vk::DispatchQueue::main()->async([done] { done(std::nullopt); });
        return;
    }
    vk::UrlRequest request(*url, vk::UrlRequestCachePolicy::reloadIgnoringLocalCacheData, timeout);
    auto task = vk::defaultSession()->dataTask(
        request,
        [done, base](std::optional<std::string> data, std::optional<vk::UrlResponse> response,
                     std::optional<vk::UrlError> error) {
            std::optional<ServerIdentity> identity;
            if (!error && data && response && response->statusCode >= 200 &&
                response->statusCode < 300) {
                simdjson::dom::parser parser;
                simdjson::dom::element root;
                std::string_view id;
                std::string_view name;
                if (parser.parse(*data).get(root) == simdjson::SUCCESS &&
                    root["Id"].get(id) == simdjson::SUCCESS && !id.empty()) {
                    if (root["ServerName"].get(name) != simdjson::SUCCESS)
                        name = id;
                    identity = ServerIdentity{std::string(id), std::string(name), base};
                }
            }
            vk::DispatchQueue::main()->async([done, identity] { done(identity); });
        });
    task->resume();
}

}  // namespace desktop
