#include "VornKit/Model/Text.h"

#include <cstring>
#include <limits>
#include <new>

#include "VornKit/Model/ByteWords.h"
#include "VornKit/Model/JsonOutput.h"

namespace vk {

namespace {

using bytewords::load64;

bool byteNeedsEscaping(unsigned char c) noexcept {
    return c < 0x20 || c == '"' || c == '\\';
}

constexpr std::size_t kMaxChunk = 64 * 1024;
constexpr std::size_t kMinChunk = 256;
constexpr std::size_t kMaxArenaText = 8 * 1024;  // longer texts get a block of their own
constexpr std::size_t kMaxRecentText = 64;       // longer texts are not looked up
constexpr std::uint64_t kPinned = std::uint64_t{1} << 62;

std::size_t blockBytes(std::size_t length) noexcept {
    return (sizeof(std::uint32_t) * 2 + length + 1 + 3) & ~std::size_t{3};
}

std::size_t hashShort(std::string_view s) noexcept {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h;
    if (n >= 8) {
        h = load64(p) ^ (load64(p + n - 8) * 0x9E3779B97F4A7C15ull);
    } else if (n >= 4) {
        std::uint32_t a;
        std::uint32_t b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        h = (std::uint64_t{a} << 32) | b;
    } else if (n > 0) {
        h = (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
            (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
            static_cast<unsigned char>(p[n - 1]);
    } else {
        h = 0;
    }
    h = (h ^ n) * 0xD6E8FEB86659FD93ull;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

}  // namespace

std::size_t Text::blockSize(std::size_t length) noexcept {
    return sizeof(Block) + length + 1 + (length >= kLongLength ? sizeof(std::uint64_t) : 0);
}

bool Text::needsJsonEscaping(std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t n = text.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (bytewords::escapeBits(load64(p + i)) != 0)
            return true;
    }
    for (; i < n; ++i) {
        if (byteNeedsEscaping(static_cast<unsigned char>(p[i])))
            return true;
    }
    return false;
}

Text::Text(std::string_view text) {
    const bool isLong = text.size() >= kLongLength;
    char* memory = static_cast<char*>(::operator new(blockSize(text.size())));
    if (isLong) {
        const std::uint64_t length = text.size();
        std::memcpy(memory, &length, sizeof length);
        memory += sizeof length;
    }
    Block* b =
        new (memory) Block{{1}, isLong ? kLongLength : static_cast<std::uint32_t>(text.size())};
    char* chars = reinterpret_cast<char*>(b + 1);
    if (!text.empty())
        std::memcpy(chars, text.data(), text.size());
    chars[text.size()] = '\0';
    bits_ = reinterpret_cast<std::uintptr_t>(b) | (needsJsonEscaping(text) ? 0 : kPlainTag);
}

Text::Text(const char* text) {
    if (text != nullptr)
        *this = Text(std::string_view(text));
}

Text::Text(const std::optional<std::string>& text) {
    if (text)
        *this = Text(std::string_view(*text));
}

Text& Text::operator=(const Text& other) noexcept {
    other.retain();
    if (bits_)
        release();
    bits_ = other.bits_;
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Chunks: a count of the Texts using the chunk, then blocks. While the arena pins a chunk its
// count carries kPinned and the Texts the arena handed out are tallied in `made`; unpinning
// converts the tally into references.

struct TextArena::Chunk {
    std::atomic<std::uint64_t> references{kPinned};
    std::uint64_t made = 0;
    Chunk* next = nullptr;
    std::uint64_t size = 0;
};

TextArena::Chunk* TextArena::chunkOf(Text::Block* block) noexcept {
    std::size_t distance = std::size_t{block->word.load(std::memory_order_relaxed)} * 4;
    return reinterpret_cast<Chunk*>(reinterpret_cast<char*>(block) - distance);
}

void TextArena::releaseChunk(Chunk* chunk, std::uint64_t count) noexcept {
    if (chunk->references.fetch_sub(count, std::memory_order_acq_rel) == count) {
        chunk->~Chunk();
        ::operator delete(chunk);
    }
}

void Text::retain() const noexcept {
    if (!bits_)
        return;
    Block* b = block();
    if (bits_ & kArenaTag) {
        TextArena::chunkOf(b)->references.fetch_add(1, std::memory_order_relaxed);
    } else {
        b->word.fetch_add(1, std::memory_order_relaxed);
    }
}

void Text::release() noexcept {
    Block* b = block();
    if (bits_ & kArenaTag) {
        TextArena::releaseChunk(TextArena::chunkOf(b), 1);
    } else if (b->word.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        const bool isLong = b->length == kLongLength;
        b->~Block();
        ::operator delete(isLong ? reinterpret_cast<char*>(b) - sizeof(std::uint64_t)
                                 : static_cast<void*>(b));
    }
}

// ---------------------------------------------------------------------------------------------

TextArena::TextArena(std::size_t sizeHint) {
    std::size_t first = sizeHint / 2;
    nextChunkSize_ = first < kMinChunk ? kMinChunk : (first > kMaxChunk ? kMaxChunk : first);
    std::size_t slots = 16;
    while (slots < 4096 && slots * 64 < sizeHint)
        slots *= 2;
    recent_.reset(new Recent[slots]());
    recentMask_ = slots - 1;
}

TextArena::~TextArena() {
    for (std::size_t i = 0; i < kRecentChunks; ++i) {
        if (window_[i].chunk)
            window_[i].chunk->made += window_[i].made;
    }
    Chunk* chunk = chunks_;
    while (chunk) {
        Chunk* next = chunk->next;
        releaseChunk(chunk, kPinned - chunk->made);
        chunk = next;
    }
}

void TextArena::newChunk(std::size_t minimum) {
    std::size_t size = nextChunkSize_;
    if (size < minimum + sizeof(Chunk))
        size = minimum + sizeof(Chunk);
    void* memory = ::operator new(size);
    Chunk* chunk = new (memory) Chunk;
    chunk->next = chunks_;
    chunk->size = size;
    chunks_ = chunk;
    if (++chunkSerial_ == 0) {
        // Serial numbers wrapped: forget every slot, so none from 2^32 chunks ago looks recent.
        for (std::size_t i = 0; i <= recentMask_; ++i)
            recent_[i] = Recent{};
    }
    // The chunk that leaves the window of recent ones takes its tally along.
    Window& w = window_[chunkSerial_ % kRecentChunks];
    if (w.chunk)
        w.chunk->made += w.made;
    w.chunk = chunk;
    w.made = 0;
    cursor_ = static_cast<char*>(memory) + sizeof(Chunk);
    limit_ = static_cast<char*>(memory) + size;
    nextChunkSize_ = nextChunkSize_ * 2 > kMaxChunk ? kMaxChunk : nextChunkSize_ * 2;
}

std::uintptr_t TextArena::carve(std::string_view text, std::uintptr_t plainTag) {
    std::size_t bytes = blockBytes(text.size());
    if (static_cast<std::size_t>(limit_ - cursor_) < bytes)
        newChunk(bytes);
    char* at = cursor_;
    cursor_ += bytes;
    auto* b = reinterpret_cast<Text::Block*>(at);
    std::size_t offset = static_cast<std::size_t>(at - reinterpret_cast<char*>(chunks_));
    new (b) Text::Block{{static_cast<std::uint32_t>(offset / 4)},
                        static_cast<std::uint32_t>(text.size())};
    char* chars = at + sizeof(Text::Block);
    copyBytes(chars, text.data(), text.size());
    chars[text.size()] = '\0';
    ++window_[chunkSerial_ % kRecentChunks].made;
    return reinterpret_cast<std::uintptr_t>(b) | Text::kArenaTag | plainTag;
}

Text TextArena::make(std::string_view text, bool knownPlain) {
    Text result;
    if (text.size() > kMaxArenaText) {
        result = Text(text);
        return result;
    }
    std::uintptr_t plainTag = knownPlain || !Text::needsJsonEscaping(text) ? Text::kPlainTag : 0;
    if (text.size() > kMaxRecentText) {
        result.bits_ = carve(text, plainTag);
        return result;
    }
    std::size_t hash = hashShort(text);
    Recent& slot = recent_[hash & recentMask_];
    auto tag = static_cast<std::uint32_t>(hash >> 32);
    // Only blocks of the last few chunks are shared: older ones have left the cache, and reading
    // one back costs more than a fresh copy.
    if (slot.hash == tag && slot.bits && chunkSerial_ - slot.chunk < kRecentChunks) {
        auto* b = reinterpret_cast<Text::Block*>(slot.bits & ~Text::kTagMask);
        if (b->length == text.size() &&
            bytewords::equal(reinterpret_cast<const char*>(b + 1), text.data(), text.size())) {
            // Every chunk stays pinned until the arena ends, so a tally is all it takes.
            ++window_[slot.chunk % kRecentChunks].made;
            result.bits_ = slot.bits;
            return result;
        }
    }
    slot.bits = carve(text, plainTag);
    slot.hash = tag;
    slot.chunk = static_cast<std::uint32_t>(chunkSerial_);
    result.bits_ = slot.bits;
    return result;
}

}  // namespace vk
