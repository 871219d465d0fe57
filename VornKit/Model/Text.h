// Text: an immutable, possibly absent piece of UTF-8 text, the size of one pointer.
//
// The records that arrive by the thousand (library items, media sources and streams, user data)
// hold their text fields as Text rather than std::optional<std::string>: eight bytes per field
// instead of forty, and one shared block for text that repeats (codec names, server ids), since
// the decoder hands equal strings of one document the same block. Reading mirrors
// std::optional<std::string_view>: has_value(), operator bool, operator*, value_or().
//
// Thread rule: a Text is a value; distinct Text objects may be used from any threads at once even
// when they share a block (the count is atomic). One Text object is externally synchronised.
// Ownership: the views returned point into the block and live as long as this Text keeps it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vk {

class Text {
  public:
    Text() noexcept = default;
    Text(std::nullopt_t) noexcept {}  // NOLINT: absent, like std::optional
    Text(std::string_view text);      // NOLINT: present, may be empty
    Text(const char* text);           // NOLINT: nullptr gives absent
    Text(const std::string& text) : Text(std::string_view(text)) {}  // NOLINT
    Text(const std::optional<std::string>& text);                    // NOLINT
    Text(const Text& other) noexcept;
    Text(Text&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    Text& operator=(const Text& other) noexcept;
    Text& operator=(Text&& other) noexcept;
    ~Text() { release(); }

    bool has_value() const noexcept { return block_ != nullptr; }
    explicit operator bool() const noexcept { return block_ != nullptr; }
    /// The text; empty when absent.
    std::string_view operator*() const noexcept { return view(); }
    std::string_view view() const noexcept {
        if (!block_)
            return {};
        return {reinterpret_cast<const char*>(block_ + 1), block_->length};
    }
    std::string_view value_or(std::string_view fallback) const noexcept {
        return block_ ? view() : fallback;
    }
    /// A std::string copy (empty when absent).
    std::string str() const { return std::string(view()); }
    std::optional<std::string> toOptional() const {
        return block_ ? std::optional<std::string>(str()) : std::nullopt;
    }
    void reset() noexcept {
        release();
        block_ = nullptr;
    }
    /// Whether two Text objects share one block (identical storage, not just equal text).
    bool sharesStorageWith(const Text& other) const noexcept {
        return block_ != nullptr && block_ == other.block_;
    }
    /// A copy that shares no storage with this one.
    Text deepCopy() const { return block_ ? Text(view()) : Text(); }

    friend bool operator==(const Text& a, const Text& b) noexcept {
        if (a.has_value() != b.has_value())
            return false;
        return a.view() == b.view();
    }
    friend bool operator==(const Text& a, std::string_view b) noexcept {
        return a.has_value() && a.view() == b;
    }
    friend bool operator==(const Text& a, const char* b) noexcept {
        return a.has_value() && a.view() == std::string_view(b);
    }
    friend bool operator==(const Text& a, std::nullopt_t) noexcept { return !a.has_value(); }

    /// Heap bytes one block of `length` characters takes (for memory accounting in benchmarks).
    static std::size_t blockSize(std::size_t length) noexcept;

  private:
    struct Block {
        std::atomic<std::uint32_t> references;
        std::uint32_t length;
        // followed by `length` characters and a terminating zero
    };
    void release() noexcept;
    Block* block_ = nullptr;
};

}  // namespace vk
