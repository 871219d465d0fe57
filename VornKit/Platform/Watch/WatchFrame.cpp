#include "VornKit/Platform/Watch/WatchFrame.h"

#include <array>
#include <string_view>
#include <utility>

namespace vk {

void WatchFrameReader::append(const std::uint8_t* bytes, std::size_t size) {
    if (broken_ || size == 0)
        return;
    // Drop what was read before growing, so the buffer stays near one frame.
    if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + size);
}

WatchFrameReader::Status WatchFrameReader::next(std::vector<std::uint8_t>& body) {
    if (broken_)
        return Status::TooLarge;
    if (buffered() < 4)
        return Status::NeedMore;
    const std::uint8_t* p = buffer_.data() + start_;
    std::size_t length = (std::size_t{p[0]} << 24) | (std::size_t{p[1]} << 16) |
                         (std::size_t{p[2]} << 8) | std::size_t{p[3]};
    if (length > maxFrameSize_) {
        broken_ = true;
        buffer_.clear();
        buffer_.shrink_to_fit();
        start_ = 0;
        return Status::TooLarge;
    }
    if (buffered() - 4 < length)
        return Status::NeedMore;
    body.assign(p + 4, p + 4 + length);
    start_ += 4 + length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Status::Frame;
}

void appendFrame(std::vector<std::uint8_t>& out, const std::uint8_t* body, std::size_t size) {
    auto n = static_cast<std::uint32_t>(size);
    std::uint8_t length[4] = {static_cast<std::uint8_t>(n >> 24),
                              static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                              static_cast<std::uint8_t>(n)};
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), body, body + size);
}

namespace {

constexpr std::array<std::pair<WatchWireFrame::Type, std::string_view>, 9> kTypeNames{{
    {WatchWireFrame::Type::Hello, "hello"},
    {WatchWireFrame::Type::Message, "message"},
    {WatchWireFrame::Type::Delivered, "delivered"},
    {WatchWireFrame::Type::Reply, "reply"},
    {WatchWireFrame::Type::ReplyFailed, "replyFailed"},
    {WatchWireFrame::Type::Context, "context"},
    {WatchWireFrame::Type::ContextAck, "contextAck"},
    {WatchWireFrame::Type::UserInfo, "userInfo"},
    {WatchWireFrame::Type::UserInfoAck, "userInfoAck"},
}};

// The key a frame type keeps its number under.
const char* numberKey(WatchWireFrame::Type type) {
    switch (type) {
        case WatchWireFrame::Type::Context:
        case WatchWireFrame::Type::ContextAck:
            return "version";
        case WatchWireFrame::Type::UserInfo:
        case WatchWireFrame::Type::UserInfoAck:
            return "sequence";
        default:
            return "number";
    }
}

bool hasBody(WatchWireFrame::Type type) {
    return type == WatchWireFrame::Type::Message || type == WatchWireFrame::Type::Reply ||
           type == WatchWireFrame::Type::Context || type == WatchWireFrame::Type::UserInfo;
}

}  // namespace

bool isWatchSessionId(const std::string& text) {
    if (text.size() != 32)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

PlistValue WatchWireFrame::toValue() const {
    PlistDictionary dict;
    for (const auto& [t, name] : kTypeNames) {
        if (t == type)
            dict["type"] = name;
    }
    if (type == Type::Hello) {
        dict["session"] = session;
        dict["version"] = kVersion;
        return dict;
    }
    // Numbers travel as signed 64-bit integers; ours stay far below 2^63.
    dict[numberKey(type)] = static_cast<std::int64_t>(number);
    if (type == Type::Message)
        dict["expectsReply"] = expectsReply;
    if (hasBody(type))
        dict["body"] = body;
    return dict;
}

std::optional<WatchWireFrame> WatchWireFrame::fromValue(const PlistValue& value) {
    const PlistDictionary* dict = value.dictionary();
    if (dict == nullptr)
        return std::nullopt;
    auto find = [&](const char* key) -> const PlistValue* {
        auto it = dict->find(key);
        return it == dict->end() ? nullptr : &it->second;
    };
    const PlistValue* typeValue = find("type");
    if (typeValue == nullptr || typeValue->string() == nullptr)
        return std::nullopt;
    WatchWireFrame frame;
    bool known = false;
    for (const auto& [t, name] : kTypeNames) {
        if (name == *typeValue->string()) {
            frame.type = t;
            known = true;
        }
    }
    if (!known)
        return std::nullopt;
    if (frame.type == Type::Hello) {
        const PlistValue* session = find("session");
        const PlistValue* version = find("version");
        if (session == nullptr || session->string() == nullptr ||
            !isWatchSessionId(*session->string()) || version == nullptr ||
            version->integer() == nullptr || *version->integer() != kVersion) {
            return std::nullopt;
        }
        frame.session = *session->string();
        return frame;
    }
    const PlistValue* number = find(numberKey(frame.type));
    if (number == nullptr || number->integer() == nullptr || *number->integer() < 0)
        return std::nullopt;
    frame.number = static_cast<std::uint64_t>(*number->integer());
    if (frame.type == Type::Message) {
        const PlistValue* expects = find("expectsReply");
        if (expects == nullptr || expects->boolean() == nullptr)
            return std::nullopt;
        frame.expectsReply = *expects->boolean();
    }
    if (hasBody(frame.type)) {
        const PlistValue* body = find("body");
        if (body == nullptr || body->dictionary() == nullptr)
            return std::nullopt;
        frame.body = *body->dictionary();
    }
    return frame;
}

}  // namespace vk
