#include "VornKit/Platform/Watch/WatchPairing.h"

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

using Bytes = std::vector<std::uint8_t>;

WatchPairingKey keyOf(std::uint8_t fill) {
    WatchPairingKey key;
    key.bytes.fill(fill);
    return key;
}

// Runs the handshake between two ciphers; true when both ends hold the same stream keys.
bool handshake(WatchLinkCipher& initiator, WatchLinkCipher& responder) {
    Bytes a = initiator.hello();
    Bytes b = responder.hello();
    if (!responder.acceptPeerHello(a.data()) || !initiator.acceptPeerHello(b.data()))
        return false;
    Bytes ha = initiator.header();
    Bytes hb = responder.header();
    return responder.acceptPeerHeader(ha.data()) && initiator.acceptPeerHeader(hb.data());
}

TEST(WatchPairing, PairedEndsOpenEachOthersFramesInOrder) {
    WatchLinkCipher phone(keyOf(7), false);
    WatchLinkCipher watch(keyOf(7), true);
    ASSERT_TRUE(handshake(watch, phone));
    Bytes plain;
    for (int i = 0; i < 3; ++i) {
        Bytes message = {'h', 'i', static_cast<std::uint8_t>(i)};
        Bytes sealed = watch.seal(message.data(), message.size());
        EXPECT_EQ(sealed.size(), message.size() + WatchLinkCipher::kSealOverhead);
        ASSERT_TRUE(phone.open(sealed.data(), sealed.size(), plain));
        EXPECT_EQ(plain, message);
        Bytes answer = phone.seal(plain.data(), plain.size());
        ASSERT_TRUE(watch.open(answer.data(), answer.size(), plain));
        EXPECT_EQ(plain, message);
    }
}

TEST(WatchPairing, AnotherKeyATamperedOrReplayedFrameDoesNotOpen) {
    WatchLinkCipher phone(keyOf(7), false);
    WatchLinkCipher stranger(keyOf(8), true);
    ASSERT_TRUE(handshake(stranger, phone));  // the exchange itself reveals nothing
    Bytes hello = {1, 2, 3};
    Bytes sealed = stranger.seal(hello.data(), hello.size());
    Bytes plain;
    EXPECT_FALSE(phone.open(sealed.data(), sealed.size(), plain));

    WatchLinkCipher a(keyOf(1), false);
    WatchLinkCipher b(keyOf(1), true);
    ASSERT_TRUE(handshake(b, a));
    Bytes first = b.seal(hello.data(), hello.size());
    Bytes tampered = first;
    tampered[5] ^= 1;
    EXPECT_FALSE(a.open(tampered.data(), tampered.size(), plain));

    WatchLinkCipher c(keyOf(1), false);
    WatchLinkCipher d(keyOf(1), true);
    ASSERT_TRUE(handshake(d, c));
    Bytes once = d.seal(hello.data(), hello.size());
    ASSERT_TRUE(c.open(once.data(), once.size(), plain));
    EXPECT_FALSE(c.open(once.data(), once.size(), plain));  // replayed
    Bytes shortFrame(5, 0);
    EXPECT_FALSE(c.open(shortFrame.data(), shortFrame.size(), plain));

    Bytes notHello(WatchLinkCipher::kHelloSize, 0);
    WatchLinkCipher e(keyOf(1), false);
    EXPECT_FALSE(e.acceptPeerHello(notHello.data()));
}

TEST(WatchPairing, KeyFilesAreCreatedPrivateAndCheckedOnRead) {
    auto dir = test::makeTempDir("pairing");
    auto path = dir / "watch.key";
    std::string error;
    ASSERT_TRUE(createWatchPairingKey(path, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    auto key = readWatchPairingKey(path, error);
    ASSERT_TRUE(key) << error;
    EXPECT_NE(key->bytes, WatchPairingKey{}.bytes);
    EXPECT_FALSE(createWatchPairingKey(path, error));  // never replaced
    EXPECT_EQ(readWatchPairingKey(path, error)->bytes, key->bytes);

    ::chmod(path.c_str(), 0644);
    EXPECT_FALSE(readWatchPairingKey(path, error));
    EXPECT_NE(error.find("0600"), std::string::npos) << error;

    auto shortKey = dir / "short.key";
    std::ofstream(shortKey) << "only sixteen byt";
    ::chmod(shortKey.c_str(), 0600);
    EXPECT_FALSE(readWatchPairingKey(shortKey, error));
    EXPECT_FALSE(readWatchPairingKey(dir / "missing.key", error));
}

}  // namespace
}  // namespace vk
