// WebViewBridge: the window's web view seen from both sides.
//
// To the framework it is the WebViewMessageDelegate: every statement handed to respondToWebview()
// is evaluated in the page with webkit_web_view_evaluate_javascript, on the GTK thread, in the
// order handed over. A statement the page rejects (it throws, or does not parse) is logged (log
// category "WebViewBridge": "The page rejected a statement: <error> in <statement>") and counted.
//
// To the page it is the script message handler "vornkit": window.webkit.messageHandlers.vornkit
// .postMessage(message) hands a message to the host's MessageHandler and returns a promise that
// resolves with the reply's JSON value, or rejects with the refusal's message (docs/
// desktop-messages.md lists the messages).
//
// Thread rule: respondToWebview() may be called from any thread (off the GTK thread it is carried
// there through the main queue, which runs on the GTK thread); everything else runs on the GTK
// thread. Ownership: the window owns the bridge (shared: the framework keeps it weakly); the bridge
// refers to the view without keeping it, until close().
#pragma once

#include <webkit/webkit.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Playback/WebViewMessageDelegate.h"

namespace desktop {

/// The answer to one message of the page; answered exactly once (a reply dropped unanswered
/// refuses the message with "the host gave no answer"). Used on the GTK thread.
class MessageReply {
  public:
    MessageReply(WebKitScriptMessageReply* reply, JSCContext* context);
    ~MessageReply();
    MessageReply(const MessageReply&) = delete;
    MessageReply& operator=(const MessageReply&) = delete;

    /// Resolves the page's promise with the JSON value `json` (an object, usually).
    void succeed(const std::string& json);
    /// Resolves the page's promise with {"ok":true}.
    void succeed();
    /// Resolves the page's promise with the object whose members `writeMembers` writes.
    void succeedWithObject(const std::function<void(vk::JsonWriter&)>& writeMembers);
    /// Resolves the page's promise with {"ok":true} when `done`; rejects it with `error` when not.
    void settle(bool done, const std::string& error);
    /// Rejects the page's promise with an error carrying `message`.
    void fail(const std::string& message);

  private:
    WebKitScriptMessageReply* reply_;
    JSCContext* context_;
    bool answered_ = false;
};

class WebViewBridge : public vk::WebViewMessageDelegate,
                      public std::enable_shared_from_this<WebViewBridge> {
  public:
    /// Gets one message of the page as JSON text, the URI of the page that sent it, and the reply.
    using MessageHandler = std::function<void(const std::string& json, const std::string& pageUri,
                                              std::shared_ptr<MessageReply> reply)>;
    /// Gets each statement handed to the page and, when it was rejected, the page's error.
    using StatementObserver =
        std::function<void(const std::string& statement, const std::string* error)>;

    /// Registers the "vornkit" message handler on `view`'s content manager.
    static std::shared_ptr<WebViewBridge> create(WebKitWebView* view);
    ~WebViewBridge() override;

    /// Where the page's messages go (replaces the earlier handler).
    void setMessageHandler(MessageHandler handler);
    /// Sees every statement once it was evaluated (the --trace lines).
    void setStatementObserver(StatementObserver observer);

    /// Evaluates one statement in the page (any thread; see the file comment).
    void respondToWebview(const std::string& javaScript) override;
    /// How many statements the page rejected so far.
    std::uint64_t rejectedCount() const { return rejected_.load(); }
    /// Unregisters the handler and lets go of the view; later statements are dropped.
    void close();

  private:
    explicit WebViewBridge(WebKitWebView* view);
    void evaluate(const std::string& javaScript);
    static gboolean onMessage(WebKitUserContentManager* manager, JSCValue* value,
                              WebKitScriptMessageReply* reply, gpointer self);

    WebKitWebView* view_;
    WebKitUserContentManager* manager_;
    gulong signal_ = 0;
    MessageHandler handler_;
    StatementObserver observer_;
    std::atomic<std::uint64_t> rejected_{0};
};

/// Whether the calling thread runs GLib's default main context (the GTK thread).
bool onGtkThread();

}  // namespace desktop
