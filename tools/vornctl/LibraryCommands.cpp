// The library commands of vornctl: queries, favourites, image and stream URLs and playback
// reports of ApiClient against any server (the server options of `resolve`). Lists print one
// item per line (id, type, name); --json prints the decoded records instead.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/ServerOptions.h"

namespace {

constexpr std::chrono::seconds kWait{120};

int fail(const std::string& message) {
    std::printf("error: %s\n", message.c_str());
    return 1;
}

// A command's own options, taken out of the arguments before the server options are read.
struct CommandArgs {
    std::map<std::string, std::vector<std::string>> values;  // "--parent" -> its values
    std::set<std::string> flags;                             // "--json"
    vornctl::ServerOptions server;

    bool has(const std::string& flag) const { return flags.count(flag) > 0; }
    std::optional<std::string> value(const std::string& name) const {
        auto found = values.find(name);
        if (found == values.end() || found->second.empty())
            return std::nullopt;
        return found->second.back();
    }
    std::vector<std::string> all(const std::string& name) const {
        auto found = values.find(name);
        return found == values.end() ? std::vector<std::string>{} : found->second;
    }
};

/// Splits `args` into the command's options (`valued` take a value, `flags` none) and the server
/// options with the positional words. Absent with `error` set when something does not parse.
std::optional<CommandArgs> parseArgs(const std::vector<std::string>& args,
                                     const std::set<std::string>& valued,
                                     const std::set<std::string>& flags, std::string& error) {
    CommandArgs out;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (flags.count(args[i])) {
            out.flags.insert(args[i]);
        } else if (valued.count(args[i])) {
            if (i + 1 >= args.size()) {
                error = "option " + args[i] + " needs a value";
                return std::nullopt;
            }
            out.values[args[i]].push_back(args[i + 1]);
            ++i;
        } else {
            rest.push_back(args[i]);
        }
    }
    auto server = vornctl::ServerOptions::parse(rest, error);
    if (!server)
        return std::nullopt;
    out.server = std::move(*server);
    return out;
}

std::optional<std::int64_t> number(const std::optional<std::string>& text, const char* what,
                                   std::string& error) {
    if (!text)
        return std::nullopt;
    char* end = nullptr;
    long long value = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0') {
        error = std::string(what) + " must be a number";
        return std::nullopt;
    }
    return value;
}

/// Starts `start` with a completion and services the main queue until it is called.
template <class T>
std::optional<std::optional<T>> wait(
    const std::function<void(std::function<void(std::optional<T>)>)>& start) {
    auto result = std::make_shared<std::optional<std::optional<T>>>();
    start([result](std::optional<T> value) {
        vk::DispatchQueue::main()->async(
            [result, value = std::move(value)]() mutable { *result = std::move(value); });
    });
    if (!vk::RunLoop::main().runUntil([&] { return result->has_value(); }, kWait))
        return std::nullopt;
    return *result;
}

template <class T>
int printJson(const T& value) {
    auto json = vk::JsonEncoder().encode(value);
    if (!json)
        return fail("the answer cannot be written as JSON");
    std::printf("%s\n", json->c_str());
    return 0;
}

int printItems(const vk::ApiClient::ItemList& items, bool json) {
    if (json)
        return printJson(items);
    for (const auto& item : items) {
        std::printf("%s  %-16s %s\n", item->Id.str().c_str(), item->Type.str().c_str(),
                    item->Name.str().c_str());
    }
    return 0;
}

// The client with a resolved address, or absent after printing why.
std::shared_ptr<vk::ApiClient> connect(const vornctl::ServerOptions& options) {
    auto client = options.makeClient();
    std::string error;
    if (!vornctl::resolveAddress(*client, error)) {
        fail(error);
        return nullptr;
    }
    return client;
}

int usage(const char* text) {
    std::fprintf(stderr, "usage: vornctl [server options] %s\n%s", text,
                 vornctl::ServerOptions::usage());
    return 2;
}

template <class T>
int listCommand(const std::vector<std::string>& args, const char* usageText,
                const std::set<std::string>& valued, std::size_t positional,
                const std::function<void(const CommandArgs&, vk::ApiClient&,
                                         std::function<void(std::optional<T>)>)>& run,
                const std::function<int(const T&, bool json)>& print) {
    std::string error;
    auto parsed = parseArgs(args, valued, {"--json", "--help"}, error);
    if (!parsed)
        return fail(error);
    if (parsed->has("--help") || parsed->server.positional.size() < positional)
        return usage(usageText);
    vornctl::StderrLog log;
    auto client = connect(parsed->server);
    if (!client)
        return 1;
    auto answer = wait<T>([&](auto done) { run(*parsed, *client, std::move(done)); });
    if (!answer)
        return fail("no answer");
    if (!*answer)
        return fail("request failed (see the log above)");
    return print(**answer, parsed->has("--json"));
}

int printResponse(const vk::GetItemsResponse& response, bool json) {
    if (json)
        return printItems(response.Items, true);
    printItems(response.Items, false);
    std::printf("(%zu of %lld)\n", response.Items.size(),
                static_cast<long long>(response.TotalRecordCount));
    return 0;
}

int viewsCommand(const std::vector<std::string>& args) {
    return listCommand<vk::GetItemsResponse>(
        args, "views [--json]", {}, 0,
        [](const CommandArgs&, vk::ApiClient& client, auto done) {
            client.getUserViews(std::nullopt, {}, std::move(done));
        },
        printResponse);
}

int itemsCommand(const std::vector<std::string>& args) {
    return listCommand<vk::GetItemsResponse>(
        args, "items [--parent ID] [NAME=VALUE ...] [--json]", {"--parent"}, 0,
        [](const CommandArgs& parsed, vk::ApiClient& client, auto done) {
            vk::ApiClient::QueryParams params;
            for (const std::string& pair : parsed.server.positional) {
                std::size_t eq = pair.find('=');
                params[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
            }
            if (auto parent = parsed.value("--parent"))
                params["ParentId"] = *parent;
            // Under the user when one is given, else the plain items path.
            client.getItems(parsed.server.userId, params, std::move(done));
        },
        printResponse);
}

int itemCommand(const std::vector<std::string>& args) {
    return listCommand<std::shared_ptr<vk::BaseItemDto>>(
        args, "item ID [--json]", {}, 1,
        [](const CommandArgs& parsed, vk::ApiClient& client, auto done) {
            client.getItem(parsed.server.userId, parsed.server.positional.front(),
                           vk::JsonDecoder(), std::move(done));
        },
        [](const std::shared_ptr<vk::BaseItemDto>& item, bool json) {
            return printItems({item}, json);
        });
}

int latestCommand(const std::vector<std::string>& args) {
    return listCommand<vk::ApiClient::ItemList>(
        args, "latest [NAME=VALUE ...] [--json]", {}, 0,
        [](const CommandArgs& parsed, vk::ApiClient& client, auto done) {
            vk::ApiClient::QueryParams params;
            for (const std::string& pair : parsed.server.positional) {
                std::size_t eq = pair.find('=');
                params[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
            }
            client.getLatestItems(std::nullopt, params, std::move(done));
        },
        printItems);
}

int artistsCommand(const std::vector<std::string>& args) {
    return listCommand<vk::GetItemsResponse>(
        args, "artists [NAME=VALUE ...] [--json]", {}, 0,
        [](const CommandArgs& parsed, vk::ApiClient& client, auto done) {
            vk::ApiClient::QueryParams params;
            for (const std::string& pair : parsed.server.positional) {
                std::size_t eq = pair.find('=');
                params[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
            }
            client.getArtistItems(params, std::move(done));
        },
        printResponse);
}

int favoriteCommand(const std::vector<std::string>& args) {
    const char* text = "favorite ID on|off [--json]";
    std::string error;
    auto parsed = parseArgs(args, {}, {"--json", "--help"}, error);
    if (!parsed)
        return fail(error);
    const auto& words = parsed->server.positional;
    if (parsed->has("--help") || words.size() != 2 || (words[1] != "on" && words[1] != "off"))
        return usage(text);
    return listCommand<vk::UserItemDataDto>(
        args, text, {}, 2,
        [](const CommandArgs& p, vk::ApiClient& client, auto done) {
            client.favoriteItem(p.server.positional[0], p.server.positional[1] == "on",
                                std::move(done));
        },
        [](const vk::UserItemDataDto& data, bool json) {
            if (json)
                return printJson(data);
            std::printf("%s IsFavorite=%s\n", data.ItemId.value_or("?").data(),
                        data.IsFavorite.value_or(false) ? "true" : "false");
            return 0;
        });
}

int streamUrlCommand(const std::vector<std::string>& args) {
    const char* text =
        "stream-url ID [--max-bitrate N] [--container C ...] [--transcoding-container C]\n"
        "                  [--transcoding-protocol P] [--audio-codec C] [--max-sample-rate N]\n"
        "                  [--max-bit-depth N] [--start-ticks N] [--remote-media]";
    std::string error;
    auto parsed = parseArgs(
        args,
        {"--max-bitrate", "--container", "--transcoding-container", "--transcoding-protocol",
         "--audio-codec", "--max-sample-rate", "--max-bit-depth", "--start-ticks"},
        {"--remote-media", "--help"}, error);
    if (!parsed)
        return fail(error);
    if (parsed->has("--help") || parsed->server.positional.size() != 1)
        return usage(text);
    auto bitrate = number(parsed->value("--max-bitrate"), "--max-bitrate", error);
    auto sampleRate = number(parsed->value("--max-sample-rate"), "--max-sample-rate", error);
    auto bitDepth = number(parsed->value("--max-bit-depth"), "--max-bit-depth", error);
    auto start = number(parsed->value("--start-ticks"), "--start-ticks", error);
    if (!error.empty())
        return fail(error);
    std::optional<std::string> containers;
    for (const std::string& container : parsed->all("--container"))
        containers = containers ? *containers + "," + container : container;

    vornctl::StderrLog log;
    auto client = connect(parsed->server);
    if (!client)
        return 1;
    vk::BaseItemDto item;
    item.Id = parsed->server.positional.front();
    auto url = client->getAudioStreamURL(
        item, parsed->value("--transcoding-container"), parsed->value("--transcoding-protocol"),
        parsed->value("--audio-codec"), containers, bitrate, sampleRate, bitDepth,
        start.value_or(0), parsed->has("--remote-media"));
    if (!url)
        return fail("no stream URL (a token is needed: --token T)");
    std::printf("%s\n", url->absoluteString().c_str());
    return 0;
}

int imageUrlCommand(const std::vector<std::string>& args) {
    const char* text = "image-url ID [--type T] [--index N] [--max-width N] [--tag TAG]";
    std::string error;
    auto parsed = parseArgs(args, {"--type", "--index", "--max-width", "--tag"}, {"--help"}, error);
    if (!parsed)
        return fail(error);
    if (parsed->has("--help") || parsed->server.positional.size() != 1)
        return usage(text);
    vk::ImageOptions options(vk::ImageType::Primary);
    if (auto type = parsed->value("--type")) {
        std::optional<vk::ImageType> found;
        for (int raw = 0; raw <= 11; ++raw) {
            auto candidate = vk::imageTypeFromRaw(raw);
            std::string name(vk::imageTypeName(*candidate));
            if (strcasecmp(name.c_str(), type->c_str()) == 0)
                found = candidate;
        }
        if (!found)
            return fail("unknown image type " + *type +
                        " (Primary, Art, Backdrop, Banner, Logo, "
                        "Thumb, Disc, Box, Screenshot, Menu, Chapter, BoxRear)");
        options.ImageType = *found;
    }
    options.ImageIndex = number(parsed->value("--index"), "--index", error);
    options.MaxWidth = number(parsed->value("--max-width"), "--max-width", error);
    options.Tag = parsed->value("--tag");
    if (!error.empty())
        return fail(error);

    vornctl::StderrLog log;
    auto client = connect(parsed->server);
    if (!client)
        return 1;
    // Image views send no header: the token travels in the URL, as the browsing code does it.
    vk::ApiClient::QueryParams params;
    if (auto token = client->getServerCredentials())
        params["api_key"] = *token;
    auto url = client->getScaledImageUrl(parsed->server.positional.front(), options, params);
    if (!url)
        return fail("no image URL");
    std::printf("%s\n", url->absoluteString().c_str());
    return 0;
}

// Keeps showing log lines on stderr and notes the answer line of a report.
class ReportLog : public vk::LogSink {
  public:
    explicit ReportLog(std::string operation) : operation_(std::move(operation)) {}
    void write(const vk::LogRecord& record) override {
        std::fprintf(stderr, "[%s] %s\n", record.category.c_str(), record.message.c_str());
        const std::string& line = record.message;
        std::lock_guard lock(mutex_);
        if (line.rfind(operation_, 0) == 0 && line.find(" response: ") != std::string::npos) {
            answer_ = line.substr(line.find(" response: ") + 11);
        } else if (line.rfind("Error: " + operation_, 0) == 0) {
            answer_ = "";  // no URL or no encoding: nothing was sent
        }
    }
    std::optional<std::string> answer() const {
        std::lock_guard lock(mutex_);
        return answer_;
    }

  private:
    const std::string operation_;
    mutable std::mutex mutex_;
    std::optional<std::string> answer_;
};

int reportCommand(const std::vector<std::string>& args) {
    const char* text =
        "report start|progress|stop --item ID --media-source ID --play-session ID\n"
        "                  [--position-ticks N] [--event E] [--paused]";
    std::string error;
    auto parsed = parseArgs(
        args, {"--item", "--media-source", "--play-session", "--position-ticks", "--event"},
        {"--paused", "--help"}, error);
    if (!parsed)
        return fail(error);
    const auto& words = parsed->server.positional;
    if (parsed->has("--help") || words.size() != 1 ||
        (words[0] != "start" && words[0] != "progress" && words[0] != "stop") ||
        !parsed->value("--item") || !parsed->value("--media-source") ||
        !parsed->value("--play-session")) {
        return usage(text);
    }
    auto position = number(parsed->value("--position-ticks"), "--position-ticks", error);
    if (!error.empty())
        return fail(error);
    std::optional<vk::ProgressEvent> event;
    if (auto name = parsed->value("--event")) {
        std::string lowered = *name;
        for (char& c : lowered)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        event = vk::progressEventFromString(lowered);
        if (!event)
            return fail("unknown event " + *name + " (timeupdate, pause, unpause, ...)");
    }
    const std::string kind = words[0];
    const std::string operation = kind == "start"      ? "reportPlaybackStart"
                                  : kind == "progress" ? "reportPlaybackProgress"
                                                       : "reportPlaybackStopped";
    auto sink = std::make_shared<ReportLog>(operation);
    auto previous = vk::Log::setSink(sink);
    auto client = parsed->server.makeClient();
    if (!vornctl::resolveAddress(*client, error)) {
        vk::Log::setSink(previous);
        return fail(error);
    }
    if (kind == "stop") {
        vk::PlaybackStopInfo info(0, 1, *parsed->value("--item"), *parsed->value("--media-source"),
                                  *parsed->value("--play-session"));
        info.PositionTicks = position;
        client->reportPlaybackStopped(info);
    } else {
        vk::PlaybackProgressInfo info(true, *parsed->value("--item"),
                                      *parsed->value("--media-source"), parsed->has("--paused"), 0,
                                      1, false, *parsed->value("--play-session"),
                                      vk::RepeatMode::RepeatNone, 0);
        info.PositionTicks = position;
        if (event)
            info.EventName = *event;
        else if (kind == "progress")
            info.EventName = vk::ProgressEvent::TimeUpdate;
        // A new client lets its first progress report through the throttle.
        if (kind == "start")
            client->reportPlaybackStart(info);
        else
            client->reportPlaybackProgress(info);
    }
    bool answered = vk::RunLoop::main().runUntil([&] { return sink->answer().has_value(); }, kWait);
    vk::Log::setSink(previous);
    if (!answered)
        return fail("no answer");
    std::string answer = *sink->answer();
    if (answer.empty())
        return fail("nothing was sent (see the log above)");
    if (answer == "nil")
        return fail("the server did not accept the report (see the log above)");
    std::printf("server answer: %s\n", answer.c_str());
    return 0;
}

VORNCTL_COMMAND("views", "views [--json]             the user's views (--user ID)", viewsCommand);
VORNCTL_COMMAND("items",
                "items [--parent ID] [NAME=VALUE...] [--json]  items (under --user when given)",
                itemsCommand);
VORNCTL_COMMAND("item", "item ID [--json]           one item (under --user when given)",
                itemCommand);
VORNCTL_COMMAND("latest", "latest [NAME=VALUE...] [--json]  the user's latest items",
                latestCommand);
VORNCTL_COMMAND("artists", "artists [NAME=VALUE...] [--json]  the artists", artistsCommand);
VORNCTL_COMMAND("favorite", "favorite ID on|off [--json]  mark or unmark a favourite (--user ID)",
                favoriteCommand);
VORNCTL_COMMAND("stream-url",
                "stream-url ID [--max-bitrate N] [--container C...]  the universal audio URL",
                streamUrlCommand);
VORNCTL_COMMAND("image-url", "image-url ID [--type T] [--max-width N]  a scaled image URL",
                imageUrlCommand);
VORNCTL_COMMAND("report",
                "report start|progress|stop --item ID --media-source ID --play-session ID "
                "[--position-ticks N] [--event E]  send one playback report",
                reportCommand);

}  // namespace
