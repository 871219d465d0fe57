#include "VornKit/Model/Text.h"

#include <cstring>
#include <limits>
#include <new>

#include "VornKit/Platform/FatalError.h"

namespace vk {

std::size_t Text::blockSize(std::size_t length) noexcept {
    return sizeof(Block) + length + 1;
}

Text::Text(std::string_view text) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        fatalError("text longer than 4 GiB", "VornKit/Text");
    }
    void* memory = ::operator new(blockSize(text.size()));
    block_ = new (memory) Block{{1}, static_cast<std::uint32_t>(text.size())};
    char* chars = reinterpret_cast<char*>(block_ + 1);
    if (!text.empty())
        std::memcpy(chars, text.data(), text.size());
    chars[text.size()] = '\0';
}

Text::Text(const char* text) {
    if (text != nullptr)
        *this = Text(std::string_view(text));
}

Text::Text(const std::optional<std::string>& text) {
    if (text)
        *this = Text(std::string_view(*text));
}

Text::Text(const Text& other) noexcept : block_(other.block_) {
    if (block_)
        block_->references.fetch_add(1, std::memory_order_relaxed);
}

Text& Text::operator=(const Text& other) noexcept {
    if (other.block_)
        other.block_->references.fetch_add(1, std::memory_order_relaxed);
    release();
    block_ = other.block_;
    return *this;
}

Text& Text::operator=(Text&& other) noexcept {
    if (this != &other) {
        release();
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

void Text::release() noexcept {
    if (block_ && block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block_->~Block();
        ::operator delete(block_);
    }
}

}  // namespace vk
