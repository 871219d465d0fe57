#include "VornKit/Watch/WCCommands.h"

#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Logger log("WCCommands");
    return log;
}

}  // namespace

std::shared_ptr<WatchSession> WCCommands::activeSession() const {
    auto session = session_ ? session_ : WatchSession::defaultSession();
    if (!session || session->activationState() != WatchActivationState::activated)
        return nullptr;
    return session;
}

std::optional<WCCommandError> WCCommands::sendMessage(const WCMessage& message,
                                                      WCReplyHandler replyHandler) {
    auto session = activeSession();
    if (!session)
        return WCCommandError::SessionNotActive;
    PlistDictionary dictionary = message.dictionary();
    // The reply and error handlers share the caller's handler: the session runs exactly one.
    auto handler = replyHandler ? std::make_shared<WCReplyHandler>(std::move(replyHandler))
                                : std::shared_ptr<WCReplyHandler>();
    WatchReplyHandler onReply;
    if (handler) {
        onReply = [handler, command = message.command](const PlistDictionary& reply) {
            auto parsed = WCMessage::fromMessage(reply);
            if (!parsed) {
                logger().log("[WCCommands] Warning: Invalid reply message data for command " +
                             std::string(rawValue(command)));
            }
            (*handler)(std::move(parsed));
        };
    }
    auto onError = [handler, dictionary](const WatchSessionError& error) {
        if (handler)
            (*handler)(std::nullopt);
        logger().log("Error sending WCSession message: " + error.description());
        logger().log(LogMessage("Failing message: ") << Private{describePlist(dictionary)});
    };
    session->sendMessage(dictionary, std::move(onReply), std::move(onError));
    return std::nullopt;
}

std::optional<WCCommandError> WCCommands::updateApplicationContext(const WCMessage& message) {
    auto session = activeSession();
    if (!session)
        return WCCommandError::SessionNotActive;
    PlistDictionary dictionary = message.dictionary();
    if (auto error = session->updateApplicationContext(dictionary)) {
        logger().log("Failed to update WCSession applicationContext: " + error->description());
        logger().log(LogMessage("Failing applicationContext: ")
                     << Private{describePlist(dictionary)});
    }
    return std::nullopt;
}

std::optional<WCCommandError> WCCommands::sendUserInfo(const WCMessage& message) {
    auto session = activeSession();
    if (!session)
        return WCCommandError::SessionNotActive;
    (void)session->transferUserInfo(message.dictionary());
    return std::nullopt;
}

}  // namespace vk
