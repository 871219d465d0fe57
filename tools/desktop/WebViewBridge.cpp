#include "WebViewBridge.h"

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace desktop {

namespace {

const vk::Logger& logger() {
    static const vk::Logger log("WebViewBridge");
    return log;
}

constexpr const char* kHandlerName = "vornkit";

}  // namespace

bool onGtkThread() {
    return g_main_context_is_owner(g_main_context_default()) != FALSE;
}

// ---- MessageReply ----

MessageReply::MessageReply(WebKitScriptMessageReply* reply, JSCContext* context)
    : reply_(webkit_script_message_reply_ref(reply)),
      context_(JSC_CONTEXT(g_object_ref(context))) {}

MessageReply::~MessageReply() {
    if (!answered_)
        webkit_script_message_reply_return_error_message(reply_, "the host gave no answer");
    webkit_script_message_reply_unref(reply_);
    g_object_unref(context_);
}

void MessageReply::succeed(const std::string& json) {
    if (answered_)
        return;
    answered_ = true;
    JSCValue* value = jsc_value_new_from_json(context_, json.c_str());
    if (!value) {
        webkit_script_message_reply_return_error_message(reply_, "the host's answer is not JSON");
        return;
    }
    webkit_script_message_reply_return_value(reply_, value);
    g_object_unref(value);
}

void MessageReply::succeed() {
    succeed("{\"ok\":true}");
}

void MessageReply::succeedWithObject(const std::function<void(vk::JsonWriter&)>& writeMembers) {
    std::string json;
    vk::JsonWriter writer(json);
    writer.beginObject();
    writeMembers(writer);
    writer.endObject();
    succeed(json);
}

void MessageReply::settle(bool done, const std::string& error) {
    if (done)
        succeed();
    else
        fail(error);
}

void MessageReply::fail(const std::string& message) {
    if (answered_)
        return;
    answered_ = true;
    webkit_script_message_reply_return_error_message(reply_, message.c_str());
}

// ---- WebViewBridge ----

std::shared_ptr<WebViewBridge> WebViewBridge::create(WebKitWebView* view) {
    std::shared_ptr<WebViewBridge> bridge(new WebViewBridge(view));
    webkit_user_content_manager_register_script_message_handler_with_reply(bridge->manager_,
                                                                           kHandlerName, nullptr);
    bridge->signal_ =
        g_signal_connect(bridge->manager_, "script-message-with-reply-received::vornkit",
                         G_CALLBACK(&WebViewBridge::onMessage), bridge.get());
    return bridge;
}

WebViewBridge::WebViewBridge(WebKitWebView* view)
    : view_(view), manager_(webkit_web_view_get_user_content_manager(view)) {
    g_object_ref(manager_);
}

WebViewBridge::~WebViewBridge() {
    close();
}

void WebViewBridge::close() {
    if (!manager_)
        return;
    if (signal_ != 0)
        g_signal_handler_disconnect(manager_, signal_);
    webkit_user_content_manager_unregister_script_message_handler(manager_, kHandlerName, nullptr);
    g_object_unref(manager_);
    manager_ = nullptr;
    view_ = nullptr;
    signal_ = 0;
}

void WebViewBridge::setMessageHandler(MessageHandler handler) {
    handler_ = std::move(handler);
}

void WebViewBridge::setStatementObserver(StatementObserver observer) {
    observer_ = std::move(observer);
}

gboolean WebViewBridge::onMessage(WebKitUserContentManager*, JSCValue* value,
                                  WebKitScriptMessageReply* reply, gpointer data) {
    auto* self = static_cast<WebViewBridge*>(data);
    auto answer = std::make_shared<MessageReply>(reply, jsc_value_get_context(value));
    char* json = jsc_value_to_json(value, 0);
    const std::string text = json ? json : "";
    g_free(json);
    const char* uri = self->view_ ? webkit_web_view_get_uri(self->view_) : nullptr;
    if (!self->handler_ || text.empty()) {
        answer->fail(text.empty() ? "a message is a JSON object" : "the host takes no messages");
        return TRUE;
    }
    self->handler_(text, uri ? uri : "", std::move(answer));
    return TRUE;
}

void WebViewBridge::respondToWebview(const std::string& javaScript) {
    if (onGtkThread()) {
        evaluate(javaScript);
        return;
    }
    std::weak_ptr<WebViewBridge> weak = weak_from_this();
    vk::DispatchQueue::main()->async([weak, javaScript] {
        if (auto self = weak.lock())
            self->evaluate(javaScript);
    });
}

namespace {

/// What one evaluation needs when WebKit answers: the statement, and the bridge if it still lives.
struct Evaluation {
    std::weak_ptr<WebViewBridge> bridge;
    std::string statement;
};

}  // namespace

void WebViewBridge::evaluate(const std::string& javaScript) {
    if (!view_)
        return;
    auto* evaluation = new Evaluation{weak_from_this(), javaScript};
    webkit_web_view_evaluate_javascript(
        view_, javaScript.data(), static_cast<gssize>(javaScript.size()), nullptr, nullptr, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Evaluation> done(static_cast<Evaluation*>(data));
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(object), result, &error);
            if (value)
                g_object_unref(value);
            auto self = done->bridge.lock();
            const bool rejected = error != nullptr;
            std::string message;
            if (rejected) {
                message = error->message;
                g_error_free(error);
                logger().log(vk::LogMessage("The page rejected a statement: ")
                             << message << " in " << done->statement);
                if (self)
                    ++self->rejected_;
            }
            if (self && self->observer_)
                self->observer_(done->statement, rejected ? &message : nullptr);
        },
        evaluation);
}

}  // namespace desktop
