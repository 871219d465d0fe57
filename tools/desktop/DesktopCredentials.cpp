// DesktopApplication's server and credentials messages: connecting to a server by its address,
// and the credentials the server's interface hands over and asks for, kept by the framework's
// credentials manager.
#include <algorithm>
#include <chrono>

#include "DesktopApplication.h"
#include "JsonMembers.h"
#include "PageMessage.h"
#include "VornKit/Connection/ConnectionManager.h"
#include "VornKit/Connection/NativeCredentialsManager.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace desktop {

namespace {

const vk::Logger& logger() {
    static const vk::Logger log("DesktopApplication");
    return log;
}

/// Whether one of the record's addresses lies at `origin`.
bool recordAt(const vk::ServerInfo& info, const std::string& origin) {
    for (const auto* address : {&info.ManualAddress, &info.LocalAddress, &info.RemoteAddress})
        if (*address && originOf(**address) == origin)
            return true;
    return false;
}

}  // namespace

void DesktopApplication::connect(const PageMessage& message, std::shared_ptr<MessageReply> reply) {
    auto address = message.text("address");
    if (!address || !isWebAddress(*address)) {
        reply->fail("The address is an http:// or https:// address.");
        return;
    }
    const std::string base = trimmedAddress(*address);
    ServerMonitor::identify(base, std::chrono::seconds(10),
                            [this, base, reply](std::optional<ServerIdentity> identity) {
                                if (identity)
                                    connected(*identity, *reply);
                                else
                                    reply->fail("No media server answers at " + base + ".");
                            });
}

void DesktopApplication::connected(const ServerIdentity& identity, MessageReply& reply) {
    // A server not known yet is remembered (without a token), so that the next start opens its
    // interface; a known one keeps its record, token included.
    auto stored =
        vk::ConnectionManager::sharedInstance()->credentialsManager()->getCurrentCredentials();
    const bool known = stored && std::any_of(stored->Servers.begin(), stored->Servers.end(),
                                             [&](const vk::ServerInfo& server) {
                                                 return server.Id == identity.id;
                                             });
    if (!known) {
        vk::ServerInfo info;
        info.Id = identity.id;
        info.Name = identity.name;
        info.ManualAddress = identity.address;
        info.LastConnectionMode = vk::ConnectionMode::manual;
        std::string error;
        if (!mergeCredentials({info}, error))
            logger().log(vk::LogMessage("The server was not remembered: ") << error);
    }
    server_ = Server{identity.id, identity.name, identity.address};
    reply.succeedWithObject([&](vk::JsonWriter& writer) {
        writeFlag(writer, "ok", true);
        writeText(writer, "Id", identity.id);
        writeText(writer, "Name", identity.name);
    });
    showInterface();
}

bool DesktopApplication::mergeCredentials(std::vector<vk::ServerInfo> servers, std::string& error) {
    auto manager = vk::ConnectionManager::sharedInstance()->credentialsManager();
    vk::NativeCredentials stored =
        manager->getCurrentCredentials().value_or(vk::NativeCredentials{});
    const auto now = std::chrono::system_clock::now();
    for (auto& server : servers) {
        server.DateLastAccessed = now;
        auto same = std::find_if(stored.Servers.begin(), stored.Servers.end(),
                                 [&](const vk::ServerInfo& s) { return s.Id == server.Id; });
        if (same == stored.Servers.end()) {
            stored.Servers.push_back(server);
            continue;
        }
        // A record without an address keeps the stored ones; one without a user keeps the user.
        if (!server.LocalAddress && !server.ManualAddress && !server.RemoteAddress) {
            server.LocalAddress = same->LocalAddress;
            server.ManualAddress = same->ManualAddress;
            server.RemoteAddress = same->RemoteAddress;
        }
        if (!server.UserId)
            server.UserId = same->UserId;
        *same = server;
    }
    vk::JsonEncoder encoder;
    encoder.dateEncodingStrategy = vk::DateCodingStrategy::MillisecondsSince1970;
    auto text = encoder.encode(stored);
    if (!text) {
        error = "the credentials cannot be written as JSON";
        return false;
    }
    manager->updateCredentials(*text);
    // Stored is what reads back: a keychain that took nothing is a failure to report.
    auto readBack = manager->getCurrentCredentials();
    for (const auto& server : servers) {
        const bool there =
            readBack && std::any_of(readBack->Servers.begin(), readBack->Servers.end(),
                                    [&](const vk::ServerInfo& s) {
                                        return s.Id == server.Id &&
                                               s.AccessToken == server.AccessToken;
                                    });
        if (!there) {
            error = "the credentials could not be stored (see the log)";
            return false;
        }
    }
    return true;
}

void DesktopApplication::storeCredentials(const PageMessage& message, const std::string& pageUri,
                                          MessageReply& reply) {
    auto json = message.json("credentials", simdjson::dom::element_type::OBJECT);
    if (!json) {
        reply.fail("credentials needs an object \"credentials\"");
        return;
    }
    auto decoded = vk::NativeCredentialsManager::decode(*json);
    if (!decoded) {
        reply.fail("the credentials do not read: " + decoded.error().description());
        return;
    }
    const std::string origin = originOf(pageUri);
    for (const auto& server : decoded->Servers) {
        if (!recordAt(server, origin)) {
            reply.fail("a page hands over the credentials of its own server only");
            return;
        }
    }
    std::string error;
    if (!mergeCredentials(decoded->Servers, error)) {
        reply.fail(error);
        return;
    }
    for (const auto& server : decoded->Servers) {
        if (server_ && server.Id != server_->id && recordAt(server, originOf(server_->address))) {
            // The page's server under its own id (the start page knew only the address).
            server_->id = server.Id;
        }
        if (server_ && server.Id == server_->id && !server.Name.empty()) {
            server_->name = server.Name;
            window_->setSubtitle(server.Name);
        }
    }
    serverClient();
    reply.succeed();
}

void DesktopApplication::giveCredentials(const std::string& pageUri, MessageReply& reply) {
    auto manager = vk::ConnectionManager::sharedInstance();
    auto device = manager->deviceInfoManager();
    const std::string origin = originOf(pageUri);
    std::optional<vk::ServerInfo> found;
    if (auto stored = manager->credentialsManager()->getCurrentCredentials()) {
        // The page's own server: the one in use, else any record at the page's origin.
        for (const auto& server : stored->Servers)
            if (recordAt(server, origin) && (!found || (server_ && server.Id == server_->id)))
                found = server;
    }
    reply.succeedWithObject([&](vk::JsonWriter& writer) {
        writer.key("server");
        if (found) {
            writer.beginObject();
            writeText(writer, "Id", found->Id);
            writeText(writer, "Name", found->Name);
            if (found->UserId)
                writeText(writer, "UserId", *found->UserId);
            if (found->AccessToken)
                writeText(writer, "AccessToken", *found->AccessToken);
            writer.endObject();
        } else {
            writer.null();
        }
        writer.key("device");
        writer.beginObject();
        writeText(writer, "id", device->getDeviceId());
        writeText(writer, "name", device->getDeviceName().value_or("Desktop"));
        writeText(writer, "app", device->getAppName());
        writeText(writer, "version", device->getAppVersion().value_or(""));
        writer.endObject();
    });
}

}  // namespace desktop
