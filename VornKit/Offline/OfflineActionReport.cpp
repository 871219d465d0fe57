// ApiClient::reportOfflineActions (declared in ApiClient.h): defined here, beside the action
// record it sends, so that the client does not depend on the offline store.
#include <cstdio>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Offline/OfflineAction.h"

namespace vk {

namespace {

// The list as the failure log line prints it.
std::string describe(const std::vector<std::shared_ptr<OfflineAction>>& actions) {
    std::string out = "[";
    for (const auto& action : actions) {
        if (out.size() > 1)
            out += ", ";
        if (!action) {
            out += "nil";
            continue;
        }
        char position[32];
        std::snprintf(position, sizeof position, "%g", action->positionTicks);
        out += "OfflineAction(ItemId: " + (action->itemId ? action->itemId.str() : "nil") +
               ", ServerId: " + (action->serverId ? action->serverId.str() : "nil") +
               ", PositionTicks: " + position + ", Type: " + std::to_string(action->type) + ")";
    }
    return out + "]";
}

}  // namespace

void ApiClient::reportOfflineActions(const std::vector<std::shared_ptr<OfflineAction>>& actions,
                                     TextCompletion completion) {
    auto finish = [&completion](std::optional<std::string> answer) {
        if (completion)
            completion(std::move(answer));
    };
    std::optional<Url> url = getUrl("Sync/OfflineActions", {});
    if (!url) {
        logger().log("Error: reportOfflineActions invalid url");
        finish(std::nullopt);
        return;
    }
    std::optional<std::string> body;
    bool complete = true;
    for (const auto& action : actions)
        complete = complete && action != nullptr;
    if (complete)
        body = JsonEncoder().encode(actions);
    if (!body) {
        logger().log("Error: reportOfflineActions error serializing actions " + describe(actions));
        finish(std::nullopt);
        return;
    }
    postContent(*url, std::move(*body),
                [completion = std::move(completion)](std::optional<std::string> answer) {
                    logger().log("reportOfflineActions response: " +
                                 (answer ? *answer : std::string("nil")));
                    if (completion)
                        completion(std::move(answer));
                });
}

}  // namespace vk
