// Library's routes: what the server answers for the library (the table in Library.h), with the
// images and the playback reports.
#include <simdjson.h>

#include <algorithm>
#include <cmath>

#include "refserver/ErrorAnswer.h"
#include "refserver/Library.h"
#include "refserver/QueryParameters.h"
#include "refserver/SampleMedia.h"

namespace refserver {

namespace {

const std::string kPngType = "image/png";

}  // namespace

void Library::answerImage(const Request& request, Response& response) {
    const LibraryItem* item = find(request.captures.at(0));
    if (!item)
        return fail(response, 404, "item not found");
    const std::string type = lower(request.captures.at(1));
    const std::string& index = request.captures.at(2);
    int width = item->coverWidth;
    int height = item->coverHeight;
    std::uint64_t seed = item->seed;
    if (type == "backdrop" && item->hasBackdrop && (index.empty() || index == "0")) {
        width = item->coverHeight * 16 / 9;
        seed = mix(seed ^ 0xBAC);
    } else if (type != "primary" || (!index.empty() && index != "0")) {
        return fail(response, 404, "no such image");
    }
    const QueryParameters params(request.recorded.query);
    std::optional<std::int64_t> given[4];
    const char* names[4] = {"Width", "Height", "MaxWidth", "MaxHeight"};
    for (int i = 0; i < 4; ++i) {
        if (auto value = params.get(names[i])) {
            given[i] = parseCount(*value);
            if (!given[i] || *given[i] == 0 || *given[i] > 4096)
                return fail(response, 400, std::string(names[i]) + " must be 1-4096");
        }
    }
    double w = width;
    double h = height;
    if (given[0] && given[1]) {
        w = static_cast<double>(*given[0]);
        h = static_cast<double>(*given[1]);
    } else if (given[0]) {
        h = h * static_cast<double>(*given[0]) / w;
        w = static_cast<double>(*given[0]);
    } else if (given[1]) {
        w = w * static_cast<double>(*given[1]) / h;
        h = static_cast<double>(*given[1]);
    }
    if (given[2] && w > static_cast<double>(*given[2])) {
        h = h * static_cast<double>(*given[2]) / w;
        w = static_cast<double>(*given[2]);
    }
    if (given[3] && h > static_cast<double>(*given[3])) {
        w = w * static_cast<double>(*given[3]) / h;
        h = static_cast<double>(*given[3]);
    }
    auto side = [](double value) {
        return static_cast<int>(std::clamp<long>(std::lround(value), 1, 4096));
    };
    response.body = coverPng(seed, side(w), side(h));
    response.contentType = kPngType;
    response.headers.emplace_back("ETag", "\"" + item->imageTag + "\"");
}

void Library::answerReport(const Request& request, Response& response,
                           const std::string& endpoint) {
    auto type = request.recorded.header("Content-Type");
    if (!type || lower(*type).find("application/json") == std::string::npos)
        return fail(response, 415, "reports are JSON");
    const std::string& body = request.recorded.body;
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(body).get(root) != simdjson::SUCCESS || !root.is_object())
        return fail(response, 400, "the body is no JSON object");
    PlaybackReport report;
    report.endpoint = endpoint;
    report.body = body;
    std::string_view text;
    if (root["ItemId"].get(text) != simdjson::SUCCESS)
        return fail(response, 400, "ItemId is required");
    report.itemId = std::string(text);
    if (root["PlaySessionId"].get(text) == simdjson::SUCCESS)
        report.playSessionId = std::string(text);
    if (root["EventName"].get(text) == simdjson::SUCCESS)
        report.eventName = std::string(text);
    std::int64_t ticks = 0;
    if (root["PositionTicks"].get(ticks) == simdjson::SUCCESS)
        report.positionTicks = ticks;

    const LibraryItem* item = find(report.itemId);
    std::lock_guard lock(mutex_);
    if (item) {
        UserItemState& state = states_[index_.at(item->id)];
        const bool stopped = endpoint == "Sessions/Playing/Stopped";
        if (stopped && report.positionTicks && item->runTimeTicks > 0 &&
            *report.positionTicks * 10 >= item->runTimeTicks * 9) {
            state.played = true;
            ++state.playCount;
            state.playbackPositionTicks = 0;
            state.lastPlayed = ++playOrder_;
        } else if (report.positionTicks) {
            state.playbackPositionTicks = *report.positionTicks;
        }
        refreshUserJson(index_.at(item->id));
    }
    if (reportObserver_)
        reportObserver_(report);
    reports_.push_back(std::move(report));
    response.status = 204;
}

// Routes ------------------------------------------------------------------------------------

void Library::installRoutes(RefServer& server, std::shared_ptr<Library> self) {
    auto knownUser = [self](const Request& request, Response& response) {
        if (request.captures.at(0) != self->options_.userId) {
            fail(response, 404, "user not found");
            return false;
        }
        return true;
    };
    auto answerList = [self](Response& response, const std::vector<const LibraryItem*>& items) {
        std::string& out = response.body;
        out += "{\"Items\":[";
        for (std::size_t n = 0; n < items.size(); ++n) {
            if (n)
                out += ',';
            out += self->itemJson(*items[n], true);
        }
        out += "],\"TotalRecordCount\":" + std::to_string(items.size()) + "}";
    };
    auto answerItem = [self](Response& response, const std::string& id, bool withUser) {
        const LibraryItem* item = self->find(id);
        if (!item)
            return fail(response, 404, "item not found");
        response.body = self->itemJson(*item, withUser);
    };

    server.route("GET", "Users/([^/]+)/Views",
                 [self, knownUser, answerList](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         answerList(response, self->children(""));
                 });
    server.route("GET", "Users/([^/]+)/Items",
                 [self, knownUser](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         self->answerItems(request, response, request.captures.at(0), false);
                 });
    server.route("GET", "Items", [self](const Request& request, Response& response) {
        self->answerItems(request, response, std::nullopt, false);
    });
    server.route("GET", "Artists", [self](const Request& request, Response& response) {
        self->answerItems(request, response, std::nullopt, true);
    });
    server.route("GET", "Users/([^/]+)/Items/([^/]+)",
                 [knownUser, answerItem](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         answerItem(response, request.captures.at(1), true);
                 });
    server.route(
        "GET", "Items/([^/]+)", [self, answerItem](const Request& request, Response& response) {
            std::optional<std::string> user = QueryParameters(request.recorded.query).get("UserId");
            if (user && *user != self->options_.userId)
                return fail(response, 404, "user not found");
            answerItem(response, request.captures.at(0), user.has_value());
        });
    // After the single-item route, so that it wins for "Latest".
    server.route("GET", "Users/([^/]+)/Items/Latest",
                 [self, knownUser](const Request& request, Response& response) {
                     if (knownUser(request, response))
                         self->answerLatest(request, response);
                 });
    for (const char* method : {"POST", "DELETE"}) {
        const bool favorite = std::string_view(method) == "POST";
        server.route(method, "Users/([^/]+)/FavoriteItems/([^/]+)",
                     [self, knownUser, favorite](const Request& request, Response& response) {
                         if (!knownUser(request, response))
                             return;
                         const LibraryItem* item = self->find(request.captures.at(1));
                         if (!item)
                             return fail(response, 404, "item not found");
                         UserItemState state;
                         {
                             std::lock_guard lock(self->mutex_);
                             const std::size_t index = self->index_.at(item->id);
                             UserItemState& stored = self->states_[index];
                             stored.isFavorite = favorite;
                             state = stored;
                             self->refreshUserJson(index);
                         }
                         response.body = self->userDataJson(*item, state);
                     });
    }
    server.route("GET", "Items/([^/]+)/Images/([^/]+)(?:/([0-9]+))?",
                 [self](const Request& request, Response& response) {
                     self->answerImage(request, response);
                 });
    server.route("GET", "Audio/([^/]+)/universal",
                 [self](const Request& request, Response& response) {
                     const LibraryItem* item = self->find(request.captures.at(0));
                     if (!item || item->type != "Audio")
                         return fail(response, 404, "no audio for this item");
                     response.body = self->audioFile(*item);
                     response.contentType = "audio/wav";
                     response.headers.emplace_back("Accept-Ranges", "bytes");
                 });
    for (const char* endpoint :
         {"Sessions/Playing", "Sessions/Playing/Progress", "Sessions/Playing/Stopped"}) {
        std::string path = endpoint;
        server.route("POST", path, [self, path](const Request& request, Response& response) {
            self->answerReport(request, response, path);
        });
    }
}

}  // namespace refserver
