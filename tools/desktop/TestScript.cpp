#include "TestScript.h"

#include <cstdio>
#include <sstream>

#include "DesktopWindow.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace desktop {

namespace {

constexpr std::chrono::seconds kPageWait{45};

const char* const kHelpers = R"JS(
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const waitFor = async (predicate, what = 'the condition', timeoutMs = 30000) => {
    const end = Date.now() + timeoutMs;
    for (;;) {
        let value;
        try { value = await predicate(); } catch (e) { value = undefined; }
        if (value)
            return value;
        if (Date.now() > end)
            throw new Error('timed out waiting for ' + what);
        await sleep(50);
    }
};
const $ = (selector) => document.querySelector(selector);
const click = (selector) => {
    const element = document.querySelector(selector);
    if (!element)
        throw new Error('no element ' + selector);
    element.click();
    return true;
};
const type = (selector, text) => {
    const element = document.querySelector(selector);
    if (!element)
        throw new Error('no element ' + selector);
    element.value = text;
    element.dispatchEvent(new Event('input', { bubbles: true }));
    return true;
};
)JS";

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<TestScript::Step> TestScript::parse(const std::string& text) {
    std::vector<Step> steps;
    std::istringstream in(text);
    std::string line;
    std::string chunk;
    auto flush = [&] {
        const std::string body = trimmed(chunk);
        chunk.clear();
        if (body.empty())
            return;
        Step step;
        if (body.rfind("@wait-page ", 0) == 0) {
            step.kind = Step::Kind::waitPage;
            step.text = trimmed(body.substr(11));
        } else if (body.rfind("@snapshot ", 0) == 0) {
            step.kind = Step::Kind::snapshot;
            step.text = trimmed(body.substr(10));
        } else {
            step.text = body;
        }
        steps.push_back(std::move(step));
    };
    while (std::getline(in, line)) {
        if (trimmed(line) == "---")
            flush();
        else
            chunk += line + "\n";
    }
    flush();
    return steps;
}

std::shared_ptr<TestScript> TestScript::load(const std::filesystem::path& file,
                                             std::string& error) {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in) {
        error = "cannot read " + file.string();
        return nullptr;
    }
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text.append(buffer, n);
    std::fclose(in);
    auto script = std::make_shared<TestScript>();
    script->steps_ = parse(text);
    if (script->steps_.empty()) {
        error = file.string() + " holds no steps";
        return nullptr;
    }
    return script;
}

void TestScript::start(DesktopWindow& window, std::function<void(bool)> finished) {
    window_ = &window;
    finished_ = std::move(finished);
    // The first step waits for the first page.
    std::weak_ptr<TestScript> weak = weak_from_this();
    listener_ = window.addLoadListener([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        self->window_->removeLoadListener(self->listener_);
        self->listener_ = 0;
        self->next();
    });
}

void TestScript::next() {
    if (done_)
        return;
    if (index_ >= steps_.size()) {
        finish(true);
        return;
    }
    const Step& step = steps_[index_];
    switch (step.kind) {
        case Step::Kind::javaScript:
            runJavaScript(step.text);
            break;
        case Step::Kind::waitPage:
            waitPage(step.text);
            break;
        case Step::Kind::snapshot: {
            std::weak_ptr<TestScript> weak = weak_from_this();
            window_->writeSnapshot(
                step.text, [weak](bool written, int width, int height, const std::string& error) {
                    auto self = weak.lock();
                    if (!self)
                        return;
                    if (written)
                        self->passed("\"snapshot " + std::to_string(width) + "x" +
                                     std::to_string(height) + "\"");
                    else
                        self->failed(error);
                });
            break;
        }
    }
}

void TestScript::passed(const std::string& result) {
    printLine("step " + std::to_string(index_ + 1) + " ok: " + result);
    ++index_;
    // The next step starts from the main queue, after whatever this one set going.
    std::weak_ptr<TestScript> weak = weak_from_this();
    vk::DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock())
            self->next();
    });
}

void TestScript::failed(const std::string& reason) {
    printLine("step " + std::to_string(index_ + 1) + " failed: " + reason);
    finish(false);
}

void TestScript::finish(bool passed) {
    if (done_)
        return;
    done_ = true;
    if (listener_ != 0)
        window_->removeLoadListener(listener_);
    listener_ = 0;
    printLine(passed ? "script passed" : "script failed");
    if (finished_)
        finished_(passed);
}

void TestScript::runJavaScript(const std::string& body) {
    const std::string code = std::string(kHelpers) + body;
    auto* call = new std::weak_ptr<TestScript>(weak_from_this());
    webkit_web_view_call_async_javascript_function(
        window_->webView(), code.data(), static_cast<gssize>(code.size()), nullptr, nullptr,
        "vornkit-desktop-script", nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::weak_ptr<TestScript>> weak(
                static_cast<std::weak_ptr<TestScript>*>(data));
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                WEBKIT_WEB_VIEW(object), result, &error);
            auto self = weak->lock();
            std::string text;
            if (value) {
                if (jsc_value_is_undefined(value)) {
                    text = "null";
                } else {
                    char* json = jsc_value_to_json(value, 0);
                    text = json ? json : "null";
                    g_free(json);
                }
                g_object_unref(value);
            }
            std::string message = error ? error->message : "";
            if (error)
                g_error_free(error);
            if (!self)
                return;
            if (!message.empty())
                self->failed(message);
            else
                self->passed(text);
        },
        call);
}

void TestScript::waitPage(const std::string& prefix) {
    auto arrived = [this, prefix] {
        return !window_->isLoading() && window_->uri().rfind(prefix, 0) == 0;
    };
    if (arrived()) {
        passed("\"" + window_->uri() + "\"");
        return;
    }
    std::weak_ptr<TestScript> weak = weak_from_this();
    const std::uint64_t generation = ++waitGeneration_;
    listener_ = window_->addLoadListener([weak, arrived] {
        auto self = weak.lock();
        if (!self || !arrived())
            return;
        self->window_->removeLoadListener(self->listener_);
        self->listener_ = 0;
        self->passed("\"" + self->window_->uri() + "\"");
    });
    vk::DispatchQueue::main()->asyncAfter(kPageWait, [weak, generation, prefix] {
        auto self = weak.lock();
        if (!self || self->done_ || self->waitGeneration_ != generation || self->listener_ == 0)
            return;
        self->failed("no page " + prefix + " loaded (now at " + self->window_->uri() + ")");
    });
}

}  // namespace desktop
