// DesktopApplication's messages from the page (docs/desktop-messages.md): who may send which, and
// the answers to those about playback and downloads. The server and credentials messages are in
// DesktopCredentials.cpp.
#include <cmath>
#include <map>

#include "DesktopApplication.h"
#include "JsonMembers.h"
#include "PageMessage.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Platform/Coding/JsonWriter.h"

namespace desktop {

DesktopApplication::Sender DesktopApplication::senderOf(const std::string& pageUri) const {
    if (pageUri.rfind(std::string(DesktopWindow::kScheme) + "://app/", 0) == 0)
        return Sender::ownPage;
    if (server_ && !pageUri.empty() && originOf(pageUri) == originOf(server_->address))
        return Sender::serverInterface;
    return Sender::other;
}

void DesktopApplication::onMessage(const std::string& json, const std::string& pageUri,
                                   std::shared_ptr<MessageReply> reply) {
    std::string error;
    auto message = PageMessage::parse(json, error);
    if (!message) {
        reply->fail(error);
        return;
    }
    const Sender sender = senderOf(pageUri);
    const std::string& type = message->type();
    // What each page may ask: the start and offline pages are the application's own; the
    // server's interface hands over credentials and plays; other pages get nothing.
    static const std::map<std::string, std::pair<bool, bool>> allowed = {
        // type                  own page, server interface
        {"connect", {true, false}},     {"retry", {true, false}},
        {"credentials", {false, true}}, {"getCredentials", {false, true}},
        {"playAudio", {false, true}},   {"pagePlayer", {false, true}},
        {"download", {false, true}},    {"command", {true, true}},
        {"setVolume", {true, true}},    {"getState", {true, true}},
        {"getDownloads", {true, true}}, {"playDownloaded", {true, true}},
    };
    auto rule = allowed.find(type);
    if (rule == allowed.end()) {
        reply->fail("no message " + type);
        return;
    }
    const bool permitted = (sender == Sender::ownPage && rule->second.first) ||
                           (sender == Sender::serverInterface && rule->second.second);
    if (!permitted) {
        reply->fail(type + " is not taken from this page");
        return;
    }
    if (type == "connect") {
        connect(*message, std::move(reply));
    } else if (type == "retry") {
        retry(*reply);
    } else if (type == "credentials") {
        storeCredentials(*message, pageUri, *reply);
    } else if (type == "getCredentials") {
        giveCredentials(pageUri, *reply);
    } else if (type == "playAudio") {
        playAudio(*message, *reply);
    } else if (type == "command") {
        if (!playbackReady(*reply))
            return;
        const auto command = message->text("command");
        if (!command) {
            reply->fail("command needs a text \"command\"");
            return;
        }
        const bool done = playback_->command(*command, message->number("positionMs"), error);
        reply->settle(done, error);
    } else if (type == "setVolume") {
        if (!playbackReady(*reply))
            return;
        const auto volume = message->number("volume");
        if (!volume || !std::isfinite(*volume)) {
            reply->fail("setVolume needs a number \"volume\"");
            return;
        }
        reply->settle(playback_->setVolume(std::llround(*volume), error), error);
    } else if (type == "getState") {
        giveState(*reply);
    } else if (type == "pagePlayer") {
        pagePlayer(*message, *reply);
    } else if (type == "download") {
        download(*message, std::move(reply));
    } else if (type == "getDownloads") {
        giveDownloads(*reply);
    } else if (type == "playDownloaded") {
        playDownloaded(*message, *reply);
    }
}

void DesktopApplication::playAudio(const PageMessage& message, MessageReply& reply) {
    if (!playbackReady(reply))
        return;
    auto itemsJson = message.json("items", simdjson::dom::element_type::ARRAY);
    if (!itemsJson) {
        reply.fail("playAudio needs a list \"items\" of queue items");
        return;
    }
    auto items = vk::MediaItem::mediaItemsFromJson(*itemsJson);
    if (items.empty()) {
        reply.fail("playAudio needs at least one queue item");
        return;
    }
    // The page's queues stream from servers; local files play only through playDownloaded.
    for (const auto& item : items) {
        if (!item->Path || !isWebAddress(*item->Path)) {
            reply.fail("a queue item's Path is an http:// or https:// address");
            return;
        }
    }
    std::optional<vk::MediaSourceInfo> source;
    if (auto sourceJson = message.json("mediaSource", simdjson::dom::element_type::OBJECT)) {
        auto decoded = vk::JsonDecoder().decode<vk::MediaSourceInfo>(*sourceJson);
        if (!decoded) {
            reply.fail("mediaSource does not read: " + decoded.error().description());
            return;
        }
        source = *decoded;
    }
    const double startIndex = message.number("startIndex").value_or(0);
    const double startPosition = message.number("startPositionMs").value_or(0);
    std::string error;
    if (!std::isfinite(startIndex) || !std::isfinite(startPosition) ||
        startIndex != std::floor(startIndex) || startIndex < 0 || startIndex > 1e9) {
        reply.fail("startIndex is a whole number inside the queue");
        return;
    }
    const bool done = playback_->playAudio(items, static_cast<std::int32_t>(startIndex),
                                           static_cast<std::int64_t>(startPosition), source, error);
    reply.settle(done, error);
}

void DesktopApplication::giveState(MessageReply& reply) {
    reply.succeedWithObject([this](vk::JsonWriter& writer) {
        if (playback_) {
            const auto state = playback_->state();
            writeText(writer, "player", state.player);
            writeFlag(writer, "playing", state.playing);
            writeFlag(writer, "paused", state.paused);
            writeInteger(writer, "positionMs", state.positionMs);
            writeInteger(writer, "durationMs", state.durationMs);
            writeInteger(writer, "volume", state.volume);
            writeInteger(writer, "index", state.index);
            writeInteger(writer, "queueLength", static_cast<std::int64_t>(state.queueLength));
            if (state.itemId)
                writeText(writer, "itemId", *state.itemId);
            if (state.title)
                writeText(writer, "title", *state.title);
        } else {
            writeText(writer, "player", "none");
        }
        writer.key("serverReachable");
        const auto reachable = monitor_->reachable();
        if (reachable)
            writer.boolean(*reachable);
        else
            writer.null();
        if (server_) {
            writeText(writer, "serverId", server_->id);
            writeText(writer, "serverName", server_->name);
        }
    });
}

void DesktopApplication::pagePlayer(const PageMessage& message, MessageReply& reply) {
    if (!playbackReady(reply))
        return;
    const auto state = message.text("state");
    if (!state) {
        reply.fail("pagePlayer needs a text \"state\"");
        return;
    }
    std::shared_ptr<vk::MediaItem> item;
    if (auto itemJson = message.json("item", simdjson::dom::element_type::OBJECT))
        item = vk::MediaItem::initWithJson(*itemJson);
    if (*state == "loading" && !item) {
        reply.fail("pagePlayer \"loading\" needs the \"item\"");
        return;
    }
    std::string error;
    const bool done =
        playback_->pagePlayerChanged(*state, item, message.number("positionMs").value_or(0),
                                     message.number("durationMs").value_or(0), error);
    reply.settle(done, error);
}

void DesktopApplication::download(const PageMessage& message, std::shared_ptr<MessageReply> reply) {
    const auto itemId = message.text("itemId");
    if (!itemId || itemId->empty()) {
        reply->fail("download needs a text \"itemId\"");
        return;
    }
    auto client = serverClient();
    if (!client || !client->getServerCredentials()) {
        reply->fail("sign in to download");
        return;
    }
    offline_.download(client, *itemId, [reply](vk::SyncDownloadResult result) {
        if (!result.jobCreated) {
            reply->fail("the server made no download job (see the log)");
            return;
        }
        reply->succeedWithObject([&](vk::JsonWriter& writer) {
            writer.key("downloaded");
            writer.beginArray();
            for (const auto& local : result.downloaded)
                writer.string(local->itemId);
            writer.endArray();
            writer.key("failed");
            writer.beginArray();
            for (const auto& id : result.failed)
                writer.string(id);
            writer.endArray();
        });
    });
}

void DesktopApplication::giveDownloads(MessageReply& reply) {
    reply.succeedWithObject([this](vk::JsonWriter& writer) {
        writer.key("items");
        writer.beginArray();
        if (server_) {
            for (const auto& item : offline_.downloads(server_->id)) {
                writer.beginObject();
                writeText(writer, "ItemId", item.itemId);
                writeText(writer, "Name", item.name);
                writeText(writer, "Album", item.album);
                writeText(writer, "Artist", item.artist);
                writeInteger(writer, "RunTimeTicks", item.runTimeTicks);
                writer.endObject();
            }
        }
        writer.endArray();
    });
}

void DesktopApplication::playDownloaded(const PageMessage& message, MessageReply& reply) {
    if (!playbackReady(reply))
        return;
    const auto ids = message.texts("itemIds");
    if (!ids || ids->empty() || !server_) {
        reply.fail(server_ ? "playDownloaded needs a list \"itemIds\"" : "no server in use");
        return;
    }
    std::string error;
    auto items = offline_.queue(server_->id, *ids, error);
    if (items.empty()) {
        reply.fail(error);
        return;
    }
    const double startIndex = message.number("startIndex").value_or(0);
    if (!std::isfinite(startIndex) || startIndex < 0 ||
        startIndex >= static_cast<double>(items.size())) {
        reply.fail("startIndex lies outside the queue");
        return;
    }
    const bool done =
        playback_->playAudio(items, static_cast<std::int32_t>(startIndex), 0, std::nullopt, error);
    reply.settle(done, error);
}

bool DesktopApplication::playbackReady(MessageReply& reply) {
    if (!playback_)
        reply.fail(playbackError_);
    return playback_ != nullptr;
}

void DesktopApplication::retry(MessageReply& reply) {
    if (!server_) {
        openStartPage();
        reply.succeed();
        return;
    }
    // The interface again; should it still fail to load, the offline page comes back.
    showInterface();
    reply.succeed();
}

}  // namespace desktop
