#include "refserver/WebInterface.h"

#include <simdjson.h>

#include <map>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "refserver/ErrorAnswer.h"
#include "refserverlibEmbeddedFiles.h"

namespace refserver {

namespace {

const std::map<std::string, std::string>& files() {
    static const auto* table = [] {
        auto* made = new std::map<std::string, std::string>;
        for (std::size_t i = 0; i < kEmbeddedFileCount; ++i)
            (*made)[kEmbeddedFiles[i].name] = std::string(kEmbeddedFiles[i].text());
        return made;
    }();
    return *table;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void serveFile(const std::string& name, Response& response) {
    const std::string* body = WebInterface::file(name);
    if (!body) {
        fail(response, 404, "no such page");
        return;
    }
    response.body = *body;
    response.contentType = WebInterface::contentType(name);
    // The interface changes with the server build: never serve a stale copy.
    response.headers.emplace_back("Cache-Control", "no-store");
}

}  // namespace

const std::string* WebInterface::file(const std::string& name) {
    auto found = files().find(name);
    return found == files().end() ? nullptr : &found->second;
}

std::string WebInterface::contentType(const std::string& name) {
    if (endsWith(name, ".html"))
        return "text/html; charset=utf-8";
    if (endsWith(name, ".js"))
        return "text/javascript; charset=utf-8";
    if (endsWith(name, ".css"))
        return "text/css; charset=utf-8";
    if (endsWith(name, ".svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}

void WebInterface::install(RefServer& server, std::shared_ptr<const Library> library,
                           WebOptions options) {
    auto redirect = [](const Request&, Response& response) {
        response.status = 302;
        response.body.clear();
        response.contentType = "text/plain";
        response.headers.emplace_back("Location", "/web/");
    };
    server.page("GET", "", redirect);
    server.page("GET", "web", redirect);
    server.page("GET", "web/",
                [](const Request&, Response& response) { serveFile("index.html", response); });
    server.page("GET", "web/([A-Za-z0-9._-]+)", [](const Request& request, Response& response) {
        serveFile(request.captures[0], response);
    });

    server.route(
        "POST", "Users/AuthenticateByName",
        [library, options](const Request& request, Response& response) {
            simdjson::dom::parser parser;
            simdjson::dom::element root;
            std::string_view name;
            std::string_view password;
            if (parser.parse(request.recorded.body).get(root) != simdjson::SUCCESS ||
                !root.is_object() || root["Username"].get(name) != simdjson::SUCCESS ||
                root["Pw"].get(password) != simdjson::SUCCESS) {
                fail(response, 400, "expected {\"Username\": ..., \"Pw\": ...}");
                return;
            }
            if (name != options.userName || password != options.password) {
                fail(response, 401, "wrong user name or password");
                return;
            }
            vk::JsonWriter writer(response.body);
            writer.beginObject();
            writer.key("User");
            writer.beginObject();
            writer.key("Id");
            writer.string(library->userId());
            writer.key("Name");
            writer.string(options.userName);
            writer.key("ServerId");
            writer.string(library->serverId());
            writer.endObject();
            writer.key("AccessToken");
            writer.string(options.accessToken);
            writer.key("ServerId");
            writer.string(library->serverId());
            writer.endObject();
        },
        Access::open);
}

}  // namespace refserver
