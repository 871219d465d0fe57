// TestScript: steps run in the window, for tests and demonstrations (`--script FILE`).
//
// A script is a text file of steps separated by lines holding only "---". A step is either
//   - JavaScript: the body of an async function run in the page
//     (webkit_web_view_call_async_javascript_function); it may await, and what it returns is
//     printed. It has these helpers:
//         waitFor(predicate, what, timeoutMs = 30000)  polls the predicate (every 50 ms) until it
//                                                      gives a true value, which it returns;
//                                                      throws "timed out waiting for <what>"
//         $(selector)                                  document.querySelector
//         click(selector), type(selector, text)        act on an element (throw when missing)
//   - "@wait-page PREFIX": waits (up to 45 s) until a page whose URI starts with PREFIX has
//     finished loading;
//   - "@snapshot FILE": writes a PNG of the whole window.
// The first step runs once the first page has loaded. Each step prints one line on standard
// output, "step <n> ok: <result as JSON>" or "step <n> failed: <reason>"; the first failure ends
// the script. At the end "script passed" or "script failed" is printed.
//
// Thread rule: the GTK thread. Ownership: the application keeps the running script.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

class DesktopWindow;

class TestScript : public std::enable_shared_from_this<TestScript> {
  public:
    struct Step {
        enum class Kind { javaScript, waitPage, snapshot };
        Kind kind = Kind::javaScript;
        std::string text;  ///< the code, the URI prefix or the file
    };

    /// The steps of `file`; absent with `error` set when it cannot be read or holds none.
    static std::shared_ptr<TestScript> load(const std::filesystem::path& file, std::string& error);
    /// The steps of a script's text.
    static std::vector<Step> parse(const std::string& text);

    /// Runs the steps in `window`; `finished` gets whether all passed.
    void start(DesktopWindow& window, std::function<void(bool passed)> finished);

  private:
    void next();
    void finish(bool passed);
    void passed(const std::string& result);
    void failed(const std::string& reason);
    void runJavaScript(const std::string& body);
    void waitPage(const std::string& prefix);

    std::vector<Step> steps_;
    std::size_t index_ = 0;
    DesktopWindow* window_ = nullptr;
    std::function<void(bool)> finished_;
    std::uint64_t listener_ = 0;
    std::uint64_t waitGeneration_ = 0;
    bool done_ = false;
};

}  // namespace desktop
