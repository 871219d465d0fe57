// The frames of a watch-session stream and what they carry.
//
// On the stream every frame is a 4-byte big-endian length followed by that many bytes: a binary
// property list (on a paired TCP link, its sealed form; see WatchPairing.h). The list is a
// dictionary whose "type" names the frame:
//
//   "hello"        "session": the sender's session id, "version": 1 (the first frame each way)
//   "message"      "number", "expectsReply", "body": an interactive message
//   "delivered"    "number": a message without reply reached the receiving session
//   "reply"        "number", "body": the answer to a message that expected one
//   "replyFailed"  "number": the receiver will not answer (no handler, or it gave up)
//   "context"      "version", "body": the sender's latest application context
//   "contextAck"   "version": the receiver has handed that context over
//   "userInfo"     "sequence", "body": one queued user-info transfer
//   "userInfoAck"  "sequence": the receiver has handed that transfer over
//
// Bodies are dictionaries, so dates stay dates and data stays data end to end.
//
// Thread rule: a reader belongs to one connection and is externally synchronised; the functions
// are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Coding/PropertyList.h"

namespace vk {

/// Cuts a received byte stream into frame bodies without ever buffering more than one frame of
/// at most `maxFrameSize` bytes (plus the bytes of one append).
class VK_EXPORT WatchFrameReader {
  public:
    /// A reader that refuses frames longer than `maxFrameSize` bytes.
    explicit WatchFrameReader(std::size_t maxFrameSize) : maxFrameSize_(maxFrameSize) {}

    /// What next() found.
    enum class Status {
        NeedMore,  ///< no complete frame buffered
        Frame,     ///< `body` holds the next frame
        TooLarge,  ///< a frame announced more than the limit: the stream is unusable
    };

    /// Adds bytes read from the stream.
    void append(const std::uint8_t* bytes, std::size_t size);
    /// The next complete frame, in order. After TooLarge every call returns TooLarge.
    Status next(std::vector<std::uint8_t>& body);
    /// Whether an unfinished frame (or part of its length) is buffered.
    bool midFrame() const { return buffered() > 0; }
    /// The current limit.
    std::size_t maxFrameSize() const { return maxFrameSize_; }
    /// Changes the limit for the frames not yet returned (a link raises it once authenticated).
    void setMaxFrameSize(std::size_t maxFrameSize) { maxFrameSize_ = maxFrameSize; }

  private:
    std::size_t buffered() const { return buffer_.size() - start_; }

    std::size_t maxFrameSize_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  ///< where the unread bytes begin
    bool broken_ = false;
};

/// Appends the 4-byte length and `body` to `out`.
VK_EXPORT void appendFrame(std::vector<std::uint8_t>& out, const std::uint8_t* body,
                           std::size_t size);

/// One frame's meaning.
struct VK_EXPORT WatchWireFrame {
    /// Which frame it is (the "type" key, see the top of this file).
    enum class Type {
        Hello,
        Message,
        Delivered,
        Reply,
        ReplyFailed,
        Context,
        ContextAck,
        UserInfo,
        UserInfoAck,
    };

    /// Which frame it is.
    Type type = Type::Hello;
    /// Hello: the sender's session id (32 lower-case hexadecimal digits).
    std::string session;
    /// Message, Delivered, Reply, ReplyFailed: the message number; Context, ContextAck: the
    /// context version; UserInfo, UserInfoAck: the transfer's sequence number.
    std::uint64_t number = 0;
    /// Message: whether the sender waits for a reply.
    bool expectsReply = false;
    /// Message, Reply, Context, UserInfo.
    PlistDictionary body;

    /// The frame as a dictionary (the form written on the stream).
    PlistValue toValue() const;
    /// The frame a received dictionary describes, or absent when a key is missing, of the wrong
    /// kind or out of range, or the type is unknown (unknown extra keys are ignored).
    static std::optional<WatchWireFrame> fromValue(const PlistValue& value);

    /// The protocol version written in hello frames.
    static constexpr std::int64_t kVersion = 1;
};

/// Whether `text` is a session id: 32 lower-case hexadecimal digits.
VK_EXPORT bool isWatchSessionId(const std::string& text);

}  // namespace vk
