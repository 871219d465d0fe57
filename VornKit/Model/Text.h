// Text: an immutable, possibly absent piece of UTF-8 text, the size of one pointer.
//
// The records that arrive by the thousand (library items, media sources and streams, user data)
// hold their text fields as Text rather than std::optional<std::string>: eight bytes per field
// instead of forty, and one shared block for text that repeats (codec names, server ids), since
// the decoder hands equal strings of one document the same block. Reading mirrors
// std::optional<std::string_view>: has_value(), operator bool, operator*, value_or().
//
// Storage: a Text made on its own owns a counted heap block (of any length, 4 GiB and beyond). The
// JSON decoder makes the texts of one document in a TextArena: blocks carved from shared chunks,
// each chunk counting the Texts that still use it and freed with the last of them. Either way a
// Text lives independently of the decoder, the document and every other Text; a single long-lived
// Text from a large document keeps its chunk (at most 64 KiB) alive, deepCopy() gives one that owns
// a block of its own.
//
// Thread rule: a Text is a value; distinct Text objects may be used from any threads at once even
// when they share a block or a chunk (the counts are atomic). One Text object is externally
// synchronised. A TextArena belongs to one thread and one decode.
// Ownership: the views returned point into the block and live as long as this Text keeps it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

class TextArena;

/// An immutable, possibly absent UTF-8 text the size of a pointer (see the file comment).
class VK_EXPORT Text {
  public:
    Text() noexcept = default;
    /// Implicit conversions, as std::optional has them: std::nullopt, a null `const char*` and an
    /// empty optional give an absent Text; any string gives a present one (possibly empty) that
    /// copies the characters into a block of its own.
    /// @{
    Text(std::nullopt_t) noexcept {}  // NOLINT: absent, like std::optional
    Text(std::string_view text);      // NOLINT: present, may be empty
    Text(const char* text);           // NOLINT: nullptr gives absent
    Text(const std::string& text) : Text(std::string_view(text)) {}  // NOLINT
    Text(const std::optional<std::string>& text);                    // NOLINT
    /// @}
    /// Shares `other`'s block; no characters are copied.
    Text(const Text& other) noexcept : bits_(other.bits_) { retain(); }
    /// Takes `other`'s block; `other` becomes absent.
    Text(Text&& other) noexcept : bits_(other.bits_) { other.bits_ = 0; }
    /// Shares `other`'s block and lets go of this one's.
    Text& operator=(const Text& other) noexcept;
    /// Takes `other`'s block (`other` becomes absent) and lets go of this one's.
    Text& operator=(Text&& other) noexcept {
        if (this != &other) {
            if (bits_)
                release();
            bits_ = other.bits_;
            other.bits_ = 0;
        }
        return *this;
    }
    ~Text() {
        if (bits_)
            release();
    }

    /// Whether there is a text (an empty text is present).
    bool has_value() const noexcept { return bits_ != 0; }
    /// has_value().
    explicit operator bool() const noexcept { return bits_ != 0; }
    /// The text; empty when absent.
    std::string_view operator*() const noexcept { return view(); }
    /// The text; empty when absent. Valid while this Text keeps its block.
    std::string_view view() const noexcept {
        const Block* b = block();
        if (!b)
            return {};
        std::size_t length = b->length;
        if (length == kLongLength) [[unlikely]]
            length = longLength(b);
        return {reinterpret_cast<const char*>(b + 1), length};
    }
    /// The text, or `fallback` when absent.
    std::string_view value_or(std::string_view fallback) const noexcept {
        return bits_ ? view() : fallback;
    }
    /// A std::string copy (empty when absent).
    std::string str() const { return std::string(view()); }
    /// A std::string copy, absent when the text is.
    std::optional<std::string> toOptional() const {
        return bits_ ? std::optional<std::string>(str()) : std::nullopt;
    }
    /// Makes the text absent and lets go of its block.
    void reset() noexcept {
        if (bits_)
            release();
        bits_ = 0;
    }
    /// Whether two Text objects share one block (identical storage, not just equal text).
    bool sharesStorageWith(const Text& other) const noexcept {
        return bits_ != 0 && block() == other.block();
    }
    /// A copy that shares no storage with this one.
    Text deepCopy() const { return bits_ ? Text(view()) : Text(); }
    /// True when the text holds no character that JSON writes escaped (quote, backslash,
    /// control characters): encoders copy it as it stands. Known since construction.
    bool isJsonPlain() const noexcept { return (bits_ & kPlainTag) != 0; }

    /// Equality of characters, as std::optional compares: two absent Texts are equal, an absent one
    /// equals no string (an empty one neither) and equals std::nullopt. A `const char*` must not be
    /// null.
    /// @{
    friend bool operator==(const Text& a, const Text& b) noexcept {
        if (a.has_value() != b.has_value())
            return false;
        return a.view() == b.view();
    }
    friend bool operator==(const Text& a, std::string_view b) noexcept {
        return a.has_value() && a.view() == b;
    }
    friend bool operator==(const Text& a, const std::string& b) noexcept {
        return a.has_value() && a.view() == b;
    }
    friend bool operator==(const Text& a, const char* b) noexcept {
        return a.has_value() && a.view() == std::string_view(b);
    }
    friend bool operator==(const Text& a, std::nullopt_t) noexcept { return !a.has_value(); }
    /// @}

    /// Heap bytes one block of `length` characters takes (for memory accounting in benchmarks).
    static std::size_t blockSize(std::size_t length) noexcept;
    /// Whether JSON writes `text` with escapes.
    static bool needsJsonEscaping(std::string_view text) noexcept;

  private:
    friend class TextArena;
    // A block: a word, the length, the characters and a terminating zero. The word is the
    // reference count of a heap block, or the distance (in 4-byte units) back to the start of
    // an arena block's chunk. The low bits of `bits_` say which, and whether the text is plain.
    // A heap block of kLongLength characters or more has kLongLength as its length and the real
    // length in the eight bytes before it (arena blocks are always short).
    struct Block {
        std::atomic<std::uint32_t> word;
        std::uint32_t length;
    };
    static constexpr std::uint32_t kLongLength = 0xFFFFFFFF;
    static std::size_t longLength(const Block* b) noexcept {
        std::uint64_t length;
        std::memcpy(&length, reinterpret_cast<const char*>(b) - sizeof length, sizeof length);
        return static_cast<std::size_t>(length);
    }
    static constexpr std::uintptr_t kArenaTag = 1;
    static constexpr std::uintptr_t kPlainTag = 2;
    static constexpr std::uintptr_t kTagMask = 3;

    Block* block() const noexcept { return reinterpret_cast<Block*>(bits_ & ~kTagMask); }
    void retain() const noexcept;
    void release() noexcept;

    std::uintptr_t bits_ = 0;
};

/// Makes the Texts of one decoded document: blocks are carved from chunks instead of allocated
/// one by one, and equal short strings seen close together share one block. Chunks stay pinned
/// until the arena is destroyed; then each belongs to the Texts still using it.
class VK_EXPORT TextArena {
  public:
    /// `sizeHint`: the size of the document, which bounds the text it can hold.
    explicit TextArena(std::size_t sizeHint);
    ~TextArena();
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    /// A Text holding `text`. `knownPlain`: the caller knows it holds no character JSON escapes
    /// (text read from JSON without escapes); otherwise the text is examined.
    Text make(std::string_view text, bool knownPlain);

  private:
    friend class Text;
    struct Chunk;
    static Chunk* chunkOf(Text::Block* block) noexcept;
    static void releaseChunk(Chunk* chunk, std::uint64_t count) noexcept;
    std::uintptr_t carve(std::string_view text, std::uintptr_t plainTag);
    void newChunk(std::size_t minimum);

    Chunk* chunks_ = nullptr;  // newest first
    char* cursor_ = nullptr;
    char* limit_ = nullptr;
    std::size_t nextChunkSize_ = 0;
    // Serial numbers wrap at 2^32, and the slots are cleared when they do.
    std::uint32_t chunkSerial_ = 0;
    struct Recent {
        std::uintptr_t bits = 0;  // tagged block; 0 when empty
        std::uint32_t hash = 0;   // high half of the text's hash: most misses skip the block
        std::uint32_t chunk = 0;  // serial number of the block's chunk
    };
    // The chunks that may still share blocks (the newest few), each with the Texts handed out
    // from it since it joined; kept here rather than in the chunk so a shared block costs no
    // visit to its chunk's header. Slot: serial modulo the window size.
    static constexpr std::size_t kRecentChunks = 4;
    struct Window {
        Chunk* chunk = nullptr;
        std::uint64_t made = 0;
    };
    Window window_[kRecentChunks];
    std::unique_ptr<Recent[]> recent_;  // direct-mapped cache of short texts
    std::size_t recentMask_ = 0;
};

}  // namespace vk
