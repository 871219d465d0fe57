#include "VornKit/Platform/Watch/WatchFrame.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace vk {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes framed(const Bytes& body) {
    Bytes out;
    appendFrame(out, body.data(), body.size());
    return out;
}

TEST(WatchFrameReader, CutsAStreamIntoFramesWhateverTheChunking) {
    Bytes stream;
    std::vector<Bytes> bodies = {Bytes{1, 2, 3}, Bytes{}, Bytes(70000, 9), Bytes{4}};
    for (const auto& body : bodies) {
        Bytes f = framed(body);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
        WatchFrameReader reader(100000);
        std::vector<Bytes> got;
        Bytes body;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            reader.append(stream.data() + at, std::min(chunk, stream.size() - at));
            while (reader.next(body) == WatchFrameReader::Status::Frame)
                got.push_back(body);
        }
        EXPECT_EQ(got, bodies) << "chunk " << chunk;
        EXPECT_FALSE(reader.midFrame());
    }
}

TEST(WatchFrameReader, RefusesAFrameAboveTheLimitBeforeBufferingIt) {
    WatchFrameReader reader(1024);
    Bytes header = {0x7F, 0xFF, 0xFF, 0xFF};  // announces 2 GiB
    reader.append(header.data(), header.size());
    Bytes body;
    EXPECT_EQ(reader.next(body), WatchFrameReader::Status::TooLarge);
    // The stream stays refused; later bytes are not kept.
    Bytes more(4096, 0);
    reader.append(more.data(), more.size());
    EXPECT_EQ(reader.next(body), WatchFrameReader::Status::TooLarge);
    EXPECT_FALSE(reader.midFrame());

    WatchFrameReader exact(3);
    Bytes ok = framed(Bytes{1, 2, 3});
    exact.append(ok.data(), ok.size());
    EXPECT_EQ(exact.next(body), WatchFrameReader::Status::Frame);
}

TEST(WatchFrameReader, ReportsAnUnfinishedFrame) {
    WatchFrameReader reader(100);
    Bytes f = framed(Bytes{1, 2, 3, 4});
    reader.append(f.data(), f.size() - 1);
    Bytes body;
    EXPECT_EQ(reader.next(body), WatchFrameReader::Status::NeedMore);
    EXPECT_TRUE(reader.midFrame());
}

TEST(WatchWireFrame, EveryTypeRoundTripsThroughItsDictionary) {
    using Type = WatchWireFrame::Type;
    PlistDictionary body{{"command", "getCredentials"}, {"blob", PlistValue::Data{1, 2}}};
    for (Type type : {Type::Message, Type::Delivered, Type::Reply, Type::ReplyFailed, Type::Context,
                      Type::ContextAck, Type::UserInfo, Type::UserInfoAck}) {
        WatchWireFrame frame;
        frame.type = type;
        frame.number = 77;
        frame.expectsReply = type == Type::Message;
        if (type == Type::Message || type == Type::Reply || type == Type::Context ||
            type == Type::UserInfo) {
            frame.body = body;
        }
        auto back = WatchWireFrame::fromValue(frame.toValue());
        ASSERT_TRUE(back) << static_cast<int>(type);
        EXPECT_EQ(back->type, type);
        EXPECT_EQ(back->number, 77u);
        EXPECT_EQ(back->expectsReply, frame.expectsReply);
        EXPECT_EQ(back->body, frame.body);
    }
    WatchWireFrame hello;
    hello.session = "0123456789abcdef0123456789abcdef";
    auto back = WatchWireFrame::fromValue(hello.toValue());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->session, hello.session);
}

TEST(WatchWireFrame, RefusesMissingKeysWrongKindsAndStrangeSessions) {
    auto parse = [](PlistDictionary dict) { return WatchWireFrame::fromValue(PlistValue(dict)); };
    EXPECT_FALSE(WatchWireFrame::fromValue(PlistValue("message")));
    EXPECT_FALSE(parse({}));
    EXPECT_FALSE(parse({{"type", "shout"}, {"number", 1}}));
    EXPECT_FALSE(parse({{"type", "message"}, {"number", 1}, {"expectsReply", false}}));
    EXPECT_FALSE(parse({{"type", "message"},
                        {"number", "1"},
                        {"expectsReply", false},
                        {"body", PlistDictionary{}}}));
    EXPECT_FALSE(parse({{"type", "message"},
                        {"number", -1},
                        {"expectsReply", false},
                        {"body", PlistDictionary{}}}));
    EXPECT_FALSE(parse({{"type", "reply"}, {"number", 1}, {"body", PlistValue::Array{}}}));
    EXPECT_FALSE(parse({{"type", "userInfo"}, {"number", 1}, {"body", PlistDictionary{}}}));
    EXPECT_TRUE(parse(
        {{"type", "userInfo"}, {"sequence", 1}, {"body", PlistDictionary{}}, {"extra", true}}));
    // A session id names a file on the receiving side: nothing but 32 hexadecimal digits.
    EXPECT_FALSE(parse({{"type", "hello"}, {"session", "../../etc/passwd"}, {"version", 1}}));
    EXPECT_FALSE(parse(
        {{"type", "hello"}, {"session", "0123456789ABCDEF0123456789ABCDEF"}, {"version", 1}}));
    EXPECT_FALSE(parse(
        {{"type", "hello"}, {"session", "0123456789abcdef0123456789abcdef"}, {"version", 2}}));
}

}  // namespace
}  // namespace vk
