#include "VornKit/Platform/Runtime/Uuid.h"

#include <sodium.h>

namespace vk {

Uuid Uuid::random() {
    Uuid uuid;
    if (sodium_init() < 0) {
        // randombytes_buf still works without the init; it only sets up faster sources.
    }
    randombytes_buf(uuid.bytes.data(), uuid.bytes.size());
    return uuid.makeVersion4();
}

Uuid& Uuid::makeVersion4() {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return *this;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    const bool canonical = text.size() == 36;
    if (!canonical && text.size() != 32)
        return std::nullopt;
    Uuid uuid;
    std::size_t at = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        if (canonical && (at == 8 || at == 13 || at == 18 || at == 23)) {
            if (text[at] != '-')
                return std::nullopt;
            ++at;
        }
        int value = 0;
        for (int half = 0; half < 2; ++half) {
            char c = text[at++];
            int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
        }
        uuid.bytes[i] = static_cast<std::uint8_t>(value);
    }
    return uuid;
}

std::string Uuid::uuidString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace vk
