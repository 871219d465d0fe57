#include "VornKit/Platform/Watch/SocketWatchSession.h"

#include "VornKit/Platform/Watch/WatchPairing.h"

#include "SocketWatchSessionTestSupport.h"

namespace vk::test::watch_session {
namespace {

TEST_F(SocketWatchSessionTest, PairedTcpLinkCarriesMessagesAndRefusesAnUnpairedPeer) {
    std::string error;
    auto key = dir_ / "pair.key";
    auto otherKey = dir_ / "other.key";
    ASSERT_TRUE(createWatchPairingKey(key, error)) << error;
    ASSERT_TRUE(createWatchPairingKey(otherKey, error)) << error;

    auto listen = config(Role::listener, "phone");
    listen.tcpHost = "127.0.0.1";
    listen.tcpPort = 0;
    listen.pairingKeyFile = key;
    Side phone;
    phone.start(listen);
    std::uint16_t port = phone.session->boundPort();
    ASSERT_NE(port, 0);

    // A peer with another key: refused, nothing delivered, never reachable.
    auto wrong = config(Role::connector, "stranger");
    wrong.tcpHost = "127.0.0.1";
    wrong.tcpPort = port;
    wrong.pairingKeyFile = otherKey;
    wrong.reconnectInterval = 200ms;
    Side stranger;
    stranger.start(wrong);
    stranger.session->transferUserInfo({{"n", 1}});
    EXPECT_FALSE(stranger.events->waitUntil([&] { return stranger.session->isReachable(); }, 1s));
    EXPECT_FALSE(phone.session->isReachable());
    EXPECT_TRUE(phone.events->userInfos.empty());
    stranger.session.reset();

    // A raw client that speaks the handshake without the key hears a public key and nothing
    // more: the listener never sends it a stream header or a sealed frame.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    WatchPairingKey guess;
    WatchLinkCipher cipher(guess, true);
    sendBytes(fd, cipher.hello());
    Bytes heard;
    std::uint8_t buffer[256];
    while (heard.size() < WatchLinkCipher::kHelloSize) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        heard.insert(heard.end(), buffer, buffer + n);
    }
    ASSERT_TRUE(cipher.acceptPeerHello(heard.data()));
    Bytes opening = cipher.header();
    WatchWireFrame hello;
    hello.session = "00112233445566778899aabbccddeeff";
    auto body = encodeBinaryPlist(hello.toValue()).value();
    auto sealed = cipher.seal(body.data(), body.size());
    appendFrame(opening, sealed.data(), sealed.size());
    sendBytes(fd, opening);
    std::size_t more = 0;
    EXPECT_TRUE(closedByPeer(fd, &more));
    EXPECT_EQ(heard.size(), WatchLinkCipher::kHelloSize);
    EXPECT_EQ(more, 0u);
    ::close(fd);

    // The paired watch.
    auto paired = config(Role::connector, "watch");
    paired.tcpHost = "127.0.0.1";
    paired.tcpPort = port;
    paired.pairingKeyFile = key;
    Side watch;
    watch.start(paired);
    ASSERT_TRUE(bothReachable(phone, watch));
    Outcome outcome;
    PlistDictionary request{{"command", "getCredentials"}, {"data", PlistValue::Data(100000, 7)}};
    watch.session->sendMessage(request, outcome.replyHandler(), outcome.errorHandler());
    ASSERT_TRUE(outcome.waitForAny());
    ASSERT_EQ(outcome.replies, 1);
    EXPECT_EQ(outcome.reply, request);
    phone.session->transferUserInfo({{"n", 2}});
    ASSERT_TRUE(watch.events->waitUntil([&] { return watch.events->userInfos.size() == 1; }));
}

// Connections that open and then say nothing fill the listener's handshake slots; the paired
// watch still gets in, and the idlers it displaces (oldest first) are closed.
TEST_F(SocketWatchSessionTest, IdleUnprovenConnectionsCannotKeepAPairedPeerOut) {
    std::string error;
    auto key = dir_ / "pair.key";
    ASSERT_TRUE(createWatchPairingKey(key, error)) << error;
    auto listen = config(Role::listener, "phone");
    listen.tcpHost = "127.0.0.1";
    listen.pairingKeyFile = key;
    listen.handshakeTimeout = 120s;  // the idlers would hold their slots for the whole test
    Side phone;
    phone.start(listen);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(phone.session->boundPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> idlers;
    for (int i = 0; i < 12; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval timeout{0, 200000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        idlers.push_back(fd);
    }

    auto paired = config(Role::connector, "watch");
    paired.tcpHost = "127.0.0.1";
    paired.tcpPort = phone.session->boundPort();
    paired.pairingKeyFile = key;
    Side watch;
    watch.start(paired);
    ASSERT_TRUE(bothReachable(phone, watch));

    // Twelve idlers and the watch through eight slots: at least the five oldest idlers were
    // closed, oldest first, and the newest still waits.
    std::vector<bool> closed;
    for (int fd : idlers) {
        closed.push_back(closedByPeer(fd));
        ::close(fd);
    }
    const auto evicted = std::count(closed.begin(), closed.end(), true);
    EXPECT_GE(evicted, 5);
    EXPECT_FALSE(closed.back());
    for (std::size_t i = 0; i < closed.size(); ++i)
        EXPECT_EQ(closed[i], static_cast<long>(i) < evicted) << "idler " << i;
}

}  // namespace
}  // namespace vk::test::watch_session
