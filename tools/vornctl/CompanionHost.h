// The application side of the watch link, shared by `vornctl companion` and `vornctl demo`: it
// answers getCredentials with an updateCredentials message carrying the stored credentials (on
// the session's queue), starts playback of the items a startPlayback names through the event
// bridge (libmpv, or the simulated player when asked or built without libmpv), obeys
// sendPlayerCommand, and forwards the player's state as plyabackStateUpdate messages (as the
// application context, and as a message while the watch is reachable).
//
// Thread rule: receive() and the reply delegate may be called on any thread; drain(), pending()
// and stopPlayer() belong to the main thread, whose run loop must be served for playback to go
// on. Every line it has to say goes to `print`, from the thread that says it: "watch: <command>
// <payloads>", "reply: ...", "player: <what it did>", "sent: plyabackStateUpdate <event>".
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "VornKit/Platform/Watch/WatchSession.h"
#include "VornKit/Watch/WCMessages.h"
#include "VornKit/Watch/WCSessionDelegater.h"

namespace vornctl {

class CompanionHost {
  public:
    /// `session` is the listening session whose messages it answers and sends on.
    static std::shared_ptr<CompanionHost> make(std::shared_ptr<vk::WatchSession> session,
                                               bool simulate, bool fast,
                                               std::function<void(const std::string&)> print);
    virtual ~CompanionHost() = default;

    /// For the session's WCSessionDelegater: answers the messages that expect a reply.
    virtual std::shared_ptr<vk::WCMessageReplyDelegate> replyDelegate() = 0;
    /// Any thread: queues a message for the main thread and wakes its run loop.
    virtual void receive(vk::WCMessage message) = 0;
    /// Main thread: handles the queued messages.
    virtual void drain() = 0;
    virtual bool pending() = 0;
    /// Main thread: stops the player, if one was started.
    virtual void stopPlayer() = 0;
};

}  // namespace vornctl
