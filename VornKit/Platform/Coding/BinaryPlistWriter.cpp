#include "VornKit/Platform/Coding/BinaryPlistWriter.h"

#include <cstring>

namespace vk {

namespace {

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

int bytesFor(std::uint64_t value) {
    return value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFFu ? 4 : 8;
}

/// The marker of a counted object: the count in the low nibble, or 0xF and an integer after it.
void appendCountedMarker(std::vector<std::uint8_t>& out, std::uint8_t high, std::size_t count) {
    if (count < 15) {
        out.push_back(static_cast<std::uint8_t>(high | count));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(high | 0x0F));
    const int size = bytesFor(count);
    out.push_back(static_cast<std::uint8_t>(0x10 | (size == 1   ? 0
                                                    : size == 2 ? 1
                                                    : size == 4 ? 2
                                                                : 3)));
    appendBigEndian(out, count, size);
}

std::size_t textHash(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

/// UTF-8 to UTF-16 code units; invalid sequences become U+FFFD.
std::vector<std::uint16_t> utf16(std::string_view text) {
    std::vector<std::uint16_t> units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = 1;
        if (c < 0x80) {
            code = c;
        } else if ((c >> 5) == 0x6 || (c >> 4) == 0xE || (c >> 3) == 0x1E) {
            length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
            if (i + length <= text.size()) {
                code = c & (0xFF >> (length + 1));
                bool valid = true;
                for (std::size_t k = 1; k < length; ++k) {
                    const auto next = static_cast<unsigned char>(text[i + k]);
                    valid = valid && (next >> 6) == 0x2;
                    code = (code << 6) | (next & 0x3F);
                }
                const std::uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
                if (!valid || code < minimum || code > 0x10FFFF ||
                    (code >= 0xD800 && code <= 0xDFFF)) {
                    code = 0xFFFD;
                    length = 1;
                }
            } else {
                length = 1;
            }
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 | (code >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 | (code & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(code));
        }
        i += length;
    }
    return units;
}

}  // namespace

void BinaryPlistWriter::clear() {
    objects_.clear();
    bytes_.clear();
    refs_.clear();
    texts_.clear();
    for (auto slot : usedSlots_)
        textSlots_[slot] = TextSlot{};
    usedSlots_.clear();
    smallUids_.clear();
    uids_.clear();
}

std::size_t BinaryPlistWriter::textSlot(std::string_view text, std::size_t hash) const {
    const std::size_t mask = textSlots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const TextSlot& slot = textSlots_[i];
        if (slot.ref == kNone ||
            (slot.size == text.size() &&
             std::memcmp(texts_.data() + slot.begin, text.data(), text.size()) == 0))
            return i;
    }
}

void BinaryPlistWriter::growTexts() {
    std::vector<TextSlot> old = std::move(textSlots_);
    textSlots_.assign(old.empty() ? 64 : old.size() * 2, TextSlot{});
    usedSlots_.clear();
    for (const auto& slot : old) {
        if (slot.ref == kNone)
            continue;
        const std::string_view text(texts_.data() + slot.begin, slot.size);
        const std::size_t i = textSlot(text, textHash(text));  // texts are distinct: an empty one
        textSlots_[i] = slot;
        usedSlots_.push_back(static_cast<std::uint32_t>(i));
    }
}

BinaryPlistWriter::Ref BinaryPlistWriter::addScalar(const std::uint8_t* bytes, std::size_t size) {
    objects_.push_back(Object{false, 0, static_cast<std::uint32_t>(bytes_.size()),
                              static_cast<std::uint32_t>(size)});
    bytes_.insert(bytes_.end(), bytes, bytes + size);
    return static_cast<Ref>(objects_.size() - 1);
}

BinaryPlistWriter::Ref BinaryPlistWriter::string(std::string_view text) {
    if ((usedSlots_.size() + 1) * 2 > textSlots_.size()) {
        growTexts();
    }
    const std::size_t i = textSlot(text, textHash(text));
    if (textSlots_[i].ref != kNone) {
        return textSlots_[i].ref;
    }
    bool ascii = true;
    for (char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    const std::size_t begin = bytes_.size();
    if (ascii) {
        appendCountedMarker(bytes_, 0x50, text.size());
        bytes_.insert(bytes_.end(), text.begin(), text.end());
    } else {
        const auto units = utf16(text);
        appendCountedMarker(bytes_, 0x60, units.size());
        for (auto unit : units) {
            appendBigEndian(bytes_, unit, 2);
        }
    }
    objects_.push_back(Object{false, 0, static_cast<std::uint32_t>(begin),
                              static_cast<std::uint32_t>(bytes_.size() - begin)});
    const Ref ref = static_cast<Ref>(objects_.size() - 1);
    textSlots_[i] = TextSlot{static_cast<std::uint32_t>(texts_.size()),
                             static_cast<std::uint32_t>(text.size()), ref};
    usedSlots_.push_back(static_cast<std::uint32_t>(i));
    texts_.append(text);
    return ref;
}

BinaryPlistWriter::Ref BinaryPlistWriter::integer(std::int64_t value) {
    // Readers take 1-, 2- and 4-byte integers as unsigned and 8-byte ones as signed.
    const int size = value < 0 ? 8 : bytesFor(static_cast<std::uint64_t>(value));
    objects_.push_back(Object{false, 0, static_cast<std::uint32_t>(bytes_.size()),
                              static_cast<std::uint32_t>(1 + size)});
    bytes_.push_back(static_cast<std::uint8_t>(0x10 | (size == 1   ? 0
                                                       : size == 2 ? 1
                                                       : size == 4 ? 2
                                                                   : 3)));
    appendBigEndian(bytes_, static_cast<std::uint64_t>(value), size);
    return static_cast<Ref>(objects_.size() - 1);
}

BinaryPlistWriter::Ref BinaryPlistWriter::real(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    objects_.push_back(Object{false, 0, static_cast<std::uint32_t>(bytes_.size()), 9});
    bytes_.push_back(0x23);
    appendBigEndian(bytes_, bits, 8);
    return static_cast<Ref>(objects_.size() - 1);
}

BinaryPlistWriter::Ref BinaryPlistWriter::boolean(bool value) {
    const std::uint8_t marker = value ? 0x09 : 0x08;
    return addScalar(&marker, 1);
}

BinaryPlistWriter::Ref BinaryPlistWriter::uid(std::uint64_t value) {
    constexpr std::uint64_t kSmall = 1u << 16;
    if (value < kSmall) {
        if (value < smallUids_.size() && smallUids_[value] != kNone) {
            return smallUids_[value];
        }
    } else if (auto it = uids_.find(value); it != uids_.end()) {
        return it->second;
    }
    const int size = bytesFor(value);
    objects_.push_back(Object{false, 0, static_cast<std::uint32_t>(bytes_.size()),
                              static_cast<std::uint32_t>(1 + size)});
    bytes_.push_back(static_cast<std::uint8_t>(0x80 | (size - 1)));
    appendBigEndian(bytes_, value, size);
    const Ref ref = static_cast<Ref>(objects_.size() - 1);
    if (value < kSmall) {
        if (value >= smallUids_.size()) {
            smallUids_.resize(value + 1, kNone);
        }
        smallUids_[value] = ref;
    } else {
        uids_.emplace(value, ref);
    }
    return ref;
}

BinaryPlistWriter::Ref BinaryPlistWriter::array(const Ref* elements, std::size_t count) {
    objects_.push_back(Object{true, 0xA0, static_cast<std::uint32_t>(refs_.size()),
                              static_cast<std::uint32_t>(count)});
    refs_.insert(refs_.end(), elements, elements + count);
    return static_cast<Ref>(objects_.size() - 1);
}

BinaryPlistWriter::Ref BinaryPlistWriter::dictionary(const std::pair<Ref, Ref>* entries,
                                                     std::size_t count) {
    objects_.push_back(Object{true, 0xD0, static_cast<std::uint32_t>(refs_.size()),
                              static_cast<std::uint32_t>(count)});
    for (std::size_t i = 0; i < count; ++i) {
        refs_.push_back(entries[i].first);
    }
    for (std::size_t i = 0; i < count; ++i) {
        refs_.push_back(entries[i].second);
    }
    return static_cast<Ref>(objects_.size() - 1);
}

std::vector<std::uint8_t> BinaryPlistWriter::finish(Ref top) const {
    const int refSize = bytesFor(objects_.empty() ? 0 : objects_.size() - 1);
    std::vector<std::uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    out.reserve(8 + bytes_.size() + refs_.size() * refSize + objects_.size() * 10 + 32);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const auto& object : objects_) {
        offsets.push_back(out.size());
        if (!object.container) {
            out.insert(out.end(), bytes_.begin() + object.begin,
                       bytes_.begin() + object.begin + object.size);
            continue;
        }
        appendCountedMarker(out, object.marker, object.size);
        const std::size_t refCount = object.marker == 0xD0 ? object.size * 2u : object.size;
        for (std::size_t i = 0; i < refCount; ++i) {
            appendBigEndian(out, refs_[object.begin + i], refSize);
        }
    }
    const std::uint64_t offsetTable = out.size();
    const int offsetSize = bytesFor(offsetTable);
    for (auto offset : offsets) {
        appendBigEndian(out, offset, offsetSize);
    }
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<std::uint8_t>(offsetSize));
    out.push_back(static_cast<std::uint8_t>(refSize));
    appendBigEndian(out, objects_.size(), 8);
    appendBigEndian(out, top, 8);
    appendBigEndian(out, offsetTable, 8);
    return out;
}

}  // namespace vk
