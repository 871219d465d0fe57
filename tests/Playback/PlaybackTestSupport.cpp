#include "PlaybackTestSupport.h"

#include <simdjson.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Support/TestSupport.h"
#include "VornKit/Model/JsonCoding.h"
#include "gtest/gtest.h"

namespace vk::test {

namespace {

// Runs the statements of the file named by argv[2], each in the same context, and prints one
// result per statement. Stand-ins record every method call made on them.
constexpr const char* kHarness = R"JS(
'use strict';
const vm = require('vm');
const fs = require('fs');
const statements = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
let calls = [];
function encode(v) {
  if (v === undefined) return {k: 'undefined'};
  if (v === null) return {k: 'null'};
  if (typeof v === 'boolean') return {k: 'boolean', v};
  if (typeof v === 'number')
    return {k: 'number', v: Number.isFinite(v) ? v : String(v), nz: Object.is(v, -0)};
  if (typeof v === 'string') return {k: 'string', v};
  if (Array.isArray(v)) return {k: 'array', v: v.map(encode)};
  return {k: 'object'};
}
function standIn(name) {
  return new Proxy({}, {
    get(target, method) {
      return (...args) => { calls.push({object: name, method: String(method), args: args.map(encode)}); };
    },
  });
}
const sandbox = {
  MpvAudioPlayer: standIn('MpvAudioPlayer'),
  MpvVideoPlayer: standIn('MpvVideoPlayer'),
  navigator: {mediaSession: standIn('navigator.mediaSession')},
  require: (modules, callback) => {
    calls.push({object: 'require', method: 'require', args: [encode(modules)]});
    callback(standIn(modules[0]));
  },
};
vm.createContext(sandbox);
const results = statements.map((statement) => {
  calls = [];
  try {
    vm.runInContext(statement, sandbox);
    return {ok: true, calls};
  } catch (e) {
    return {ok: false, error: String(e), calls};
  }
});
process.stdout.write(JSON.stringify(results));
)JS";

JsValue toValue(simdjson::dom::element element) {
    JsValue value;
    std::string_view kind = element["k"].get_string().value();
    if (kind == "null") {
        value.kind = JsValue::Kind::Null;
    } else if (kind == "boolean") {
        value.kind = JsValue::Kind::Boolean;
        value.boolean = element["v"].get_bool().value();
    } else if (kind == "number") {
        value.kind = JsValue::Kind::Number;
        auto v = element["v"];
        if (v.is_string()) {
            std::string_view text = v.get_string().value();
            value.number = text == "NaN" ? std::nan("") : text == "Infinity" ? HUGE_VAL : -HUGE_VAL;
        } else {
            value.number = v.get_double().value();
        }
        value.negativeZero = element["nz"].get_bool().value();
    } else if (kind == "string") {
        value.kind = JsValue::Kind::String;
        value.string = std::string(element["v"].get_string().value());
    } else if (kind == "array") {
        value.kind = JsValue::Kind::Array;
        for (auto item : element["v"].get_array())
            value.items.push_back(toValue(item));
    } else if (kind == "object") {
        value.kind = JsValue::Kind::Object;
    }
    return value;
}

}  // namespace

std::vector<JsStatementResult> runInNode(const std::vector<std::string>& statements) {
    const auto dir = makeTempDir("node");
    {
        std::ofstream(dir / "harness.js") << kHarness;
        auto json = JsonEncoder().encode(statements);
        EXPECT_TRUE(json.has_value());
        std::ofstream(dir / "statements.json", std::ios::binary) << json.value_or("[]");
    }
    const std::string command =
        "node " + (dir / "harness.js").string() + " " + (dir / "statements.json").string();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run node";
        return {};
    }
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != 0) {
        ADD_FAILURE() << "node failed (" << status << "): " << output;
        return {};
    }
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(output).get(root) != simdjson::SUCCESS) {
        ADD_FAILURE() << "unreadable node output: " << output;
        return {};
    }
    std::vector<JsStatementResult> results;
    for (auto entry : root.get_array()) {
        JsStatementResult result;
        result.ok = entry["ok"].get_bool().value();
        if (!result.ok)
            result.error = std::string(entry["error"].get_string().value());
        for (auto call : entry["calls"].get_array()) {
            JsCall c;
            c.object = std::string(call["object"].get_string().value());
            c.method = std::string(call["method"].get_string().value());
            for (auto arg : call["args"].get_array())
                c.args.push_back(toValue(arg));
            result.calls.push_back(std::move(c));
        }
        results.push_back(std::move(result));
    }
    EXPECT_EQ(results.size(), statements.size());
    return results;
}

std::vector<std::string> nastyTexts() {
    using namespace std::string_literals;
    return {
        "It's \"quoted\"",
        "back\\slash \\' \\\" \\\\",
        "line\nbreak\r\nand\ttab",
        "separators \xE2\x80\xA8 and \xE2\x80\xA9 inside",
        "controls \x01\x02\x1b\x1f\x7f end",
        "nul\0"s
        "1 then \0"s
        "x",
        "\0"s,
        "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB5 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D",
        "'); globalThis.pwned = 1; ('",
        "\"]); pwned(); ([\"",
        "</script><script>alert(1)</script>",
        "${template} `backtick`",
        "",
    };
}

void WebViewRecorder::respondToWebview(const std::string& javaScript) {
    std::lock_guard lock(mutex_);
    statements_.push_back(javaScript);
}

std::vector<std::string> WebViewRecorder::statements() const {
    std::lock_guard lock(mutex_);
    return statements_;
}

void WebViewRecorder::clear() {
    std::lock_guard lock(mutex_);
    statements_.clear();
}

std::shared_ptr<MediaItem> FakePlayer::currentMediaItem() const {
    std::lock_guard lock(mutex);
    return current;
}

std::optional<MediaSourceInfo> FakePlayer::currentMediaSource() const {
    std::lock_guard lock(mutex);
    return source;
}

bool FakePlayer::isPlaying() const {
    std::lock_guard lock(mutex);
    return playing;
}

bool FakePlayer::hasMedia() const {
    std::lock_guard lock(mutex);
    return media;
}

std::vector<std::shared_ptr<MediaItem>> FakePlayer::getCurrentQueue() const {
    std::lock_guard lock(mutex);
    return queue;
}

std::shared_ptr<MediaItem> FakePlayer::getItemAtPosition(std::int32_t i) const {
    std::lock_guard lock(mutex);
    if (i < 0 || static_cast<std::size_t>(i) >= queue.size())
        return nullptr;
    return queue[static_cast<std::size_t>(i)];
}

std::int64_t FakePlayer::getCurrentPlaylistIndex() const {
    std::lock_guard lock(mutex);
    return index;
}

std::int64_t FakePlayer::getCurrentStreamPosition() const {
    std::lock_guard lock(mutex);
    return position;
}

std::shared_ptr<MediaItem> makeStreamItem(const std::string& itemId, const std::string& entryId,
                                          const std::string& serverId) {
    auto item = std::make_shared<MediaItem>(
        "http://127.0.0.1:1/vorn/Audio/" + itemId + "/universal?PlaySessionId=ps-" + itemId,
        "Title " + itemId, "Album", "Artist", std::nullopt, serverId, itemId, entryId);
    item->itemJson = R"({"Id":")" + itemId + R"(","ServerId":")" + serverId + R"("})";
    return item;
}

RecordingClient::RecordingClient(std::string serverId)
    : ApiClient(
          [&] {
              ServerInfo info;
              info.Id = std::move(serverId);
              info.AccessToken = "token-abc";
              return info;
          }(),
          DeviceInfo("device-42", std::string("Test Device"), std::string("1.0"), "Vorn")) {}

void RecordingClient::reportPlaybackStart(const PlaybackProgressInfo& info) {
    std::lock_guard lock(mutex_);
    reports_.push_back({"start", info, std::nullopt});
}

void RecordingClient::reportPlaybackProgress(const PlaybackProgressInfo& info) {
    std::lock_guard lock(mutex_);
    reports_.push_back({"progress", info, std::nullopt});
}

void RecordingClient::reportPlaybackStopped(const PlaybackStopInfo& info) {
    std::lock_guard lock(mutex_);
    reports_.push_back({"stop", std::nullopt, info});
}

std::vector<RecordedReport> RecordingClient::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<RecordedReport> RecordingClient::reports(const std::string& kind,
                                                     std::optional<ProgressEvent> event) const {
    std::vector<RecordedReport> matching;
    for (auto& report : reports()) {
        if (report.kind == kind &&
            (!event || (report.progress && report.progress->EventName == *event)))
            matching.push_back(std::move(report));
    }
    return matching;
}

void RecordingClient::clear() {
    std::lock_guard lock(mutex_);
    reports_.clear();
}

}  // namespace vk::test
