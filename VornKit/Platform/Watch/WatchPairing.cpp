#include "VornKit/Platform/Watch/WatchPairing.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace vk {

namespace {

static_assert(WatchLinkCipher::kSealOverhead == crypto_secretstream_xchacha20poly1305_ABYTES);
static_assert(WatchLinkCipher::kHeaderSize == crypto_secretstream_xchacha20poly1305_HEADERBYTES);
static_assert(WatchLinkCipher::kHelloSize == 4 + crypto_kx_PUBLICKEYBYTES);

constexpr std::uint8_t kMagic[4] = {'V', 'K', 'W', '1'};
constexpr char kMixLabel[] = "vornkit watch link";

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

std::optional<WatchPairingKey> readWatchPairingKey(const std::filesystem::path& path,
                                                   std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = systemError("cannot open the pairing key", path);
        return std::nullopt;
    }
    struct stat st {};
    WatchPairingKey key;
    bool ok = false;
    if (::fstat(fd, &st) != 0) {
        error = systemError("cannot read the pairing key", path);
    } else if (!S_ISREG(st.st_mode)) {
        error = "the pairing key " + path.string() + " is not a regular file";
    } else if ((st.st_mode & 077) != 0) {
        error =
            "the pairing key " + path.string() + " is open to other users (its mode must be 0600)";
    } else if (st.st_size != static_cast<off_t>(WatchPairingKey::kSize)) {
        error = "the pairing key " + path.string() + " does not hold exactly 32 bytes";
    } else {
        std::size_t got = 0;
        while (got < WatchPairingKey::kSize) {
            ssize_t n = ::read(fd, key.bytes.data() + got, WatchPairingKey::kSize - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        ok = got == WatchPairingKey::kSize;
        if (!ok)
            error = systemError("cannot read the pairing key", path);
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return key;
}

bool createWatchPairingKey(const std::filesystem::path& path, std::string& error) {
    if (!sodiumReady()) {
        error = "libsodium could not be initialised";
        return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = systemError("cannot create the pairing key", path);
        return false;
    }
    WatchPairingKey key;
    randombytes_buf(key.bytes.data(), key.bytes.size());
    bool ok =
        ::write(fd, key.bytes.data(), key.bytes.size()) == static_cast<ssize_t>(key.bytes.size()) &&
        ::fsync(fd) == 0;
    if (!ok)
        error = systemError("cannot write the pairing key", path);
    ::close(fd);
    sodium_memzero(key.bytes.data(), key.bytes.size());
    if (!ok)
        ::unlink(path.c_str());
    return ok;
}

struct WatchLinkCipher::State {
    bool initiator = false;
    bool ready = false;
    std::uint8_t pairingKey[WatchPairingKey::kSize] = {};
    std::uint8_t publicKey[crypto_kx_PUBLICKEYBYTES] = {};
    std::uint8_t secretKey[crypto_kx_SECRETKEYBYTES] = {};
    std::uint8_t rxKey[crypto_secretstream_xchacha20poly1305_KEYBYTES] = {};
    std::uint8_t txKey[crypto_secretstream_xchacha20poly1305_KEYBYTES] = {};
    crypto_secretstream_xchacha20poly1305_state push{};
    crypto_secretstream_xchacha20poly1305_state pull{};
    bool pushing = false;
    bool pulling = false;

    ~State() { sodium_memzero(this, sizeof *this); }
};

WatchLinkCipher::WatchLinkCipher(const WatchPairingKey& key, bool initiator)
    : state_(std::make_unique<State>()) {
    state_->ready = sodiumReady();
    state_->initiator = initiator;
    std::memcpy(state_->pairingKey, key.bytes.data(), key.bytes.size());
    if (state_->ready)
        crypto_kx_keypair(state_->publicKey, state_->secretKey);
}

WatchLinkCipher::~WatchLinkCipher() = default;

std::vector<std::uint8_t> WatchLinkCipher::hello() const {
    std::vector<std::uint8_t> out(kHelloSize);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    std::memcpy(out.data() + sizeof kMagic, state_->publicKey, sizeof state_->publicKey);
    return out;
}

bool WatchLinkCipher::acceptPeerHello(const std::uint8_t* hello) {
    State& s = *state_;
    if (!s.ready || std::memcmp(hello, kMagic, sizeof kMagic) != 0)
        return false;
    const std::uint8_t* peerKey = hello + sizeof kMagic;
    std::uint8_t rx[crypto_kx_SESSIONKEYBYTES];
    std::uint8_t tx[crypto_kx_SESSIONKEYBYTES];
    int status = s.initiator
                     ? crypto_kx_client_session_keys(rx, tx, s.publicKey, s.secretKey, peerKey)
                     : crypto_kx_server_session_keys(rx, tx, s.publicKey, s.secretKey, peerKey);
    sodium_memzero(s.secretKey, sizeof s.secretKey);
    if (status != 0)
        return false;
    // Both sides hash the same transcript: the initiator's public key first.
    const std::uint8_t* initiatorKey = s.initiator ? s.publicKey : peerKey;
    const std::uint8_t* responderKey = s.initiator ? peerKey : s.publicKey;
    auto mix = [&](const std::uint8_t* sessionKey, std::uint8_t* out) {
        crypto_generichash_state h;
        crypto_generichash_init(&h, s.pairingKey, sizeof s.pairingKey,
                                crypto_secretstream_xchacha20poly1305_KEYBYTES);
        crypto_generichash_update(&h, reinterpret_cast<const unsigned char*>(kMixLabel),
                                  sizeof kMixLabel - 1);
        crypto_generichash_update(&h, sessionKey, crypto_kx_SESSIONKEYBYTES);
        crypto_generichash_update(&h, initiatorKey, crypto_kx_PUBLICKEYBYTES);
        crypto_generichash_update(&h, responderKey, crypto_kx_PUBLICKEYBYTES);
        crypto_generichash_final(&h, out, crypto_secretstream_xchacha20poly1305_KEYBYTES);
    };
    mix(rx, s.rxKey);
    mix(tx, s.txKey);
    sodium_memzero(rx, sizeof rx);
    sodium_memzero(tx, sizeof tx);
    return true;
}

std::vector<std::uint8_t> WatchLinkCipher::header() {
    std::vector<std::uint8_t> out(crypto_secretstream_xchacha20poly1305_HEADERBYTES);
    crypto_secretstream_xchacha20poly1305_init_push(&state_->push, out.data(), state_->txKey);
    state_->pushing = true;
    return out;
}

bool WatchLinkCipher::acceptPeerHeader(const std::uint8_t* header) {
    state_->pulling =
        crypto_secretstream_xchacha20poly1305_init_pull(&state_->pull, header, state_->rxKey) == 0;
    return state_->pulling;
}

std::vector<std::uint8_t> WatchLinkCipher::seal(const std::uint8_t* plain, std::size_t size) {
    std::vector<std::uint8_t> out(size + kSealOverhead);
    if (!state_->pushing)
        return {};
    unsigned long long length = 0;
    crypto_secretstream_xchacha20poly1305_push(&state_->push, out.data(), &length, plain, size,
                                               nullptr, 0,
                                               crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

bool WatchLinkCipher::open(const std::uint8_t* sealed, std::size_t size,
                           std::vector<std::uint8_t>& plain) {
    if (!state_->pulling || size < kSealOverhead)
        return false;
    plain.resize(size - kSealOverhead);
    unsigned long long length = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(&state_->pull, plain.data(), &length, &tag,
                                                   sealed, size, nullptr, 0) != 0 ||
        tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) {
        plain.clear();
        return false;
    }
    plain.resize(static_cast<std::size_t>(length));
    return true;
}

}  // namespace vk
