// Pairing of a watch-session link that runs over TCP: the 32-byte key both ends share out of band
// (a file readable by its owner only) and the link's handshake and sealing, on libsodium.
//
// Handshake (each side is a WatchLinkCipher; the connecting side is the initiator):
//   1. each side sends hello(): "VKW1" and a fresh X25519 public key (36 bytes);
//   2. each derives its two session keys from the key exchange, then mixes the pairing key into
//      both (keyed BLAKE2b over the exchanged key and both public keys), so only holders of the
//      pairing key share the stream keys;
//   3. each starts a secretstream (XChaCha20-Poly1305) and sends its 24-byte header, and then
//      sealed frames only. The first sealed frame each way is the session's hello: a side that
//      cannot open it is talking to a peer without the pairing key and closes the link. The
//      listening side sends its header and anything sealed only after it has opened the
//      connecting side's first frame, so an unpaired peer learns nothing but a public key.
// Fresh key pairs per connection give each link its own keys; a replayed or tampered frame fails
// to open.
//
// Thread rule: a cipher belongs to one connection and is externally synchronised; the key file
// functions are thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// The secret both ends of a paired TCP link hold.
struct VK_EXPORT WatchPairingKey {
    /// Bytes in a key.
    static constexpr std::size_t kSize = 32;
    /// The key.
    std::array<std::uint8_t, kSize> bytes{};
};

/// Reads a pairing key file: exactly 32 bytes, a regular file not readable or writable by group
/// or others. Absent, with `error` set, otherwise.
VK_EXPORT std::optional<WatchPairingKey> readWatchPairingKey(const std::filesystem::path& path,
                                                             std::string& error);
/// Writes a new random pairing key to `path` (mode 0600); never replaces an existing file.
VK_EXPORT bool createWatchPairingKey(const std::filesystem::path& path, std::string& error);

/// One side of a paired link's handshake and sealing (see the top of this file). Externally
/// synchronised: one per connection, used by the session's I/O thread.
class VK_EXPORT WatchLinkCipher {
  public:
    /// Bytes of a hello: "VKW1" and an X25519 public key.
    static constexpr std::size_t kHelloSize = 36;
    /// Bytes of a secretstream header.
    static constexpr std::size_t kHeaderSize = 24;
    /// Bytes a sealed frame adds to its plain text.
    static constexpr std::size_t kSealOverhead = 17;

    /// A cipher for a new connection with a fresh key pair; `initiator` is true on the connecting
    /// side.
    WatchLinkCipher(const WatchPairingKey& key, bool initiator);
    ~WatchLinkCipher();
    WatchLinkCipher(const WatchLinkCipher&) = delete;
    WatchLinkCipher& operator=(const WatchLinkCipher&) = delete;

    /// This side's hello.
    std::vector<std::uint8_t> hello() const;
    /// Takes the peer's hello (kHelloSize bytes) and derives the stream keys. False when it is
    /// malformed or its public key is unusable.
    bool acceptPeerHello(const std::uint8_t* hello);
    /// This side's stream header; call once, after acceptPeerHello.
    std::vector<std::uint8_t> header();
    /// Takes the peer's stream header (kHeaderSize bytes).
    bool acceptPeerHeader(const std::uint8_t* header);

    /// The sealed form of `plain`, for the peer to open(); after header().
    std::vector<std::uint8_t> seal(const std::uint8_t* plain, std::size_t size);
    /// Opens the peer's next sealed frame; false when it was not sealed with this link's key,
    /// was altered, replayed or reordered. After acceptPeerHeader.
    bool open(const std::uint8_t* sealed, std::size_t size, std::vector<std::uint8_t>& plain);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vk
