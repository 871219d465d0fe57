// decodeBinaryPlist (PropertyList.h): the reader of binary property lists. One walk over the
// object table checks the structure, then the values are built.
#include "VornKit/Platform/Coding/PropertyList.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace vk {

namespace {

using Clock = std::chrono::system_clock;

// Seconds between 1970-01-01 and 2001-01-01, the format's epoch.
constexpr std::int64_t kEpoch2001 = 978307200;

class BinaryReader {
  public:
    BinaryReader(const std::uint8_t* bytes, std::size_t size, const PlistLimits& limits)
        : bytes_(bytes), size_(size), limits_(limits) {}

    /// Checks offsets, lengths, kinds, loops, depth and expanded size; false with `reason`.
    bool check(std::string& reason);
    /// The top object's value; after check() succeeded.
    PlistValue value() { return build(top_); }

  private:
    static constexpr std::size_t kTrailer = 32;
    enum State : std::uint8_t { Unvisited, Open, Done };

    std::uint64_t bigEndian(std::size_t at, std::size_t width) const {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i)
            v = (v << 8) | bytes_[at + i];
        return v;
    }
    bool fail(std::string& reason, const char* why) {
        reason = why;
        return false;
    }
    /// Reads the object at index `object`: its children (references) into children_, with
    /// dictionary keys checked to be strings. False when it is malformed or not allowed.
    bool readObject(std::uint64_t object, std::string& reason);
    /// The offset where object `object` starts, or 0 when out of range.
    std::size_t offsetOf(std::uint64_t object) const {
        std::uint64_t offset = bigEndian(offsetTable_ + object * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= offsetTable_)
            return 0;
        return static_cast<std::size_t>(offset);
    }
    /// The count of a variable-length object whose marker is at `at`; `next` is where its
    /// payload starts.
    bool lengthOf(std::size_t at, std::uint64_t& length, std::size_t& next) const;
    /// The value of a checked object (recursion bounded by the checked depth).
    PlistValue build(std::uint64_t object);
    std::string text(std::uint8_t kind, std::size_t at, std::uint64_t length) const;

    const std::uint8_t* bytes_;
    std::size_t size_;
    PlistLimits limits_;
    std::size_t offsetTable_ = 0;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t top_ = 0;
    std::vector<std::uint64_t> children_;
};

bool BinaryReader::lengthOf(std::size_t at, std::uint64_t& length, std::size_t& next) const {
    std::uint8_t info = bytes_[at] & 0x0F;
    if (info != 0x0F) {
        length = info;
        next = at + 1;
        return true;
    }
    if (at + 2 > offsetTable_)
        return false;
    std::uint8_t marker = bytes_[at + 1];
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3)
        return false;
    std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (at + 2 + width > offsetTable_)
        return false;
    length = bigEndian(at + 2, width);
    next = at + 2 + width;
    return true;
}

bool BinaryReader::readObject(std::uint64_t object, std::string& reason) {
    children_.clear();
    std::size_t at = offsetOf(object);
    if (at == 0)
        return fail(reason, "an object offset is outside the object area");
    std::uint8_t marker = bytes_[at];
    std::uint8_t info = marker & 0x0F;
    auto fits = [&](std::size_t from, std::uint64_t count) {
        return count <= offsetTable_ && from <= offsetTable_ && count <= offsetTable_ - from;
    };
    switch (marker >> 4) {
        case 0x0:
            if (marker == 0x08 || marker == 0x09)
                return true;
            return fail(reason, "an object of an unsupported kind (null or fill)");
        case 0x1:
            if (info > 4 || !fits(at + 1, std::uint64_t{1} << info))
                return fail(reason, "a malformed integer");
            return true;
        case 0x2:
            if ((info != 2 && info != 3) || !fits(at + 1, std::uint64_t{1} << info))
                return fail(reason, "a malformed real");
            return true;
        case 0x3:
            if (marker != 0x33 || !fits(at + 1, 8))
                return fail(reason, "a malformed date");
            return true;
        case 0x4:
        case 0x5:
        case 0x6: {
            std::uint64_t length = 0;
            std::size_t next = 0;
            if (!lengthOf(at, length, next))
                return fail(reason, "a malformed length");
            if ((marker >> 4) == 0x6) {
                if (length > offsetTable_)
                    return fail(reason, "a string longer than the object area");
                length *= 2;
            }
            if (!fits(next, length))
                return fail(reason, "a data or string object runs past the object area");
            return true;
        }
        case 0xA:
        case 0xD: {
            std::uint64_t length = 0;
            std::size_t next = 0;
            if (!lengthOf(at, length, next))
                return fail(reason, "a malformed length");
            bool dict = (marker >> 4) == 0xD;
            std::uint64_t refs = dict ? length * 2 : length;
            if (length > offsetTable_ || !fits(next, refs * refSize_))
                return fail(reason, "a container's references run past the object area");
            children_.reserve(static_cast<std::size_t>(refs));
            for (std::uint64_t i = 0; i < refs; ++i) {
                std::uint64_t child = bigEndian(next + i * refSize_, refSize_);
                if (child >= objectCount_)
                    return fail(reason, "a reference to an object that does not exist");
                if (dict && i < length) {
                    std::size_t keyAt = offsetOf(child);
                    std::uint8_t kind = keyAt == 0 ? 0 : bytes_[keyAt] >> 4;
                    if (kind != 0x5 && kind != 0x6)
                        return fail(reason, "a dictionary key that is not a string");
                }
                children_.push_back(child);
            }
            return true;
        }
        default:
            return fail(reason, "an object of an unsupported kind");
    }
}

bool BinaryReader::check(std::string& reason) {
    if (size_ < 8 + kTrailer || std::memcmp(bytes_, "bplist00", 8) != 0)
        return fail(reason, "not a binary property list");
    std::size_t trailer = size_ - kTrailer;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    objectCount_ = bigEndian(trailer + 8, 8);
    std::uint64_t top = bigEndian(trailer + 16, 8);
    top_ = top;
    std::uint64_t tableOffset = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
        return fail(reason, "bad offset or reference size");
    if (tableOffset < 9 || tableOffset > trailer || objectCount_ == 0 ||
        objectCount_ > (trailer - tableOffset) / offsetSize_ || top >= objectCount_) {
        return fail(reason, "bad trailer");
    }
    if (objectCount_ > limits_.maxValues)
        return fail(reason, "too many objects");
    offsetTable_ = static_cast<std::size_t>(tableOffset);

    // Depth-first walk without recursion: depth and expanded size per object, loops refused.
    auto count = static_cast<std::size_t>(objectCount_);
    std::vector<State> state(count, Unvisited);
    std::vector<std::uint32_t> depth(count, 0);
    std::vector<std::uint64_t> expanded(count, 0);
    struct Frame {
        std::uint64_t object;
        std::vector<std::uint64_t> children;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    auto open = [&](std::uint64_t object) {
        if (!readObject(object, reason))
            return false;
        state[object] = Open;
        stack.push_back(Frame{object, children_, 0});
        return stack.size() <= limits_.maxDepth + 1;
    };
    if (!open(top))
        return reason.empty() ? fail(reason, "nested too deep") : false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.children.size()) {
            std::uint64_t child = frame.children[frame.next++];
            if (state[child] == Open)
                return fail(reason, "a reference loop");
            if (state[child] == Unvisited && !open(child))
                return reason.empty() ? fail(reason, "nested too deep") : false;
            continue;
        }
        std::uint32_t d = 0;
        std::uint64_t total = 1;
        for (std::uint64_t child : frame.children) {
            d = std::max(d, depth[child]);
            total += expanded[child];
        }
        // Scalars have depth 0; a container is one more than its deepest child.
        bool container = (bytes_[offsetOf(frame.object)] >> 4) == 0xA ||
                         (bytes_[offsetOf(frame.object)] >> 4) == 0xD;
        depth[frame.object] = container ? d + 1 : 0;
        expanded[frame.object] = total;
        state[frame.object] = Done;
        if (depth[frame.object] > limits_.maxDepth)
            return fail(reason, "nested too deep");
        if (total > limits_.maxValues)
            return fail(reason, "too many values once shared references are expanded");
        stack.pop_back();
    }
    return true;
}

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string BinaryReader::text(std::uint8_t kind, std::size_t at, std::uint64_t length) const {
    auto n = static_cast<std::size_t>(length);
    if (kind == 0x5)
        return std::string(reinterpret_cast<const char*>(bytes_ + at), n);
    // UTF-16 (big-endian) to UTF-8; an unpaired surrogate becomes U+FFFD.
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t unit = static_cast<std::uint32_t>(bigEndian(at + 2 * i, 2));
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < n) {
            std::uint32_t low = static_cast<std::uint32_t>(bigEndian(at + 2 * i + 2, 2));
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
    }
    return out;
}

PlistValue BinaryReader::build(std::uint64_t object) {
    std::size_t at = offsetOf(object);
    std::uint8_t marker = bytes_[at];
    std::uint8_t info = marker & 0x0F;
    switch (marker >> 4) {
        case 0x0:
            return PlistValue(marker == 0x09);
        case 0x1: {
            // 1, 2 and 4 bytes are unsigned, 8 bytes signed; of 16 the low 8 count.
            std::size_t width = std::size_t{1} << info;
            std::uint64_t raw =
                bigEndian(at + 1 + (width > 8 ? width - 8 : 0), std::min<std::size_t>(width, 8));
            return PlistValue(static_cast<std::int64_t>(raw));
        }
        case 0x2: {
            if (info == 2) {
                auto bits = static_cast<std::uint32_t>(bigEndian(at + 1, 4));
                float f;
                std::memcpy(&f, &bits, 4);
                return PlistValue(static_cast<double>(f));
            }
            std::uint64_t bits = bigEndian(at + 1, 8);
            double d;
            std::memcpy(&d, &bits, 8);
            return PlistValue(d);
        }
        case 0x3: {
            std::uint64_t bits = bigEndian(at + 1, 8);
            double seconds;
            std::memcpy(&seconds, &bits, 8);
            // Whole microseconds, the nearest: what was written in microseconds reads back the
            // same. Dates beyond what the clock holds (nanoseconds: about 1678-2262) and
            // non-finite ones are clamped to its ends.
            double micros = std::nearbyint((seconds + static_cast<double>(kEpoch2001)) * 1e6);
            constexpr double kLimit = 9.2e15;
            if (!(micros > -kLimit))
                micros = -kLimit;
            if (!(micros < kLimit))
                micros = kLimit;
            return PlistValue(
                Clock::time_point(std::chrono::microseconds(static_cast<std::int64_t>(micros))));
        }
        case 0x4: {
            std::uint64_t length = 0;
            std::size_t next = 0;
            lengthOf(at, length, next);
            return PlistValue(PlistValue::Data(bytes_ + next, bytes_ + next + length));
        }
        case 0x5:
        case 0x6: {
            std::uint64_t length = 0;
            std::size_t next = 0;
            lengthOf(at, length, next);
            return PlistValue(text(marker >> 4, next, length));
        }
        default:
            break;
    }
    // Containers (the check let nothing else through).
    std::uint64_t length = 0;
    std::size_t next = 0;
    lengthOf(at, length, next);
    if ((marker >> 4) == 0xA) {
        PlistValue::Array array;
        array.reserve(static_cast<std::size_t>(length));
        for (std::uint64_t i = 0; i < length; ++i)
            array.push_back(build(bigEndian(next + i * refSize_, refSize_)));
        return PlistValue(std::move(array));
    }
    PlistValue::Dictionary dict;
    for (std::uint64_t i = 0; i < length; ++i) {
        PlistValue key = build(bigEndian(next + i * refSize_, refSize_));
        PlistValue value = build(bigEndian(next + (length + i) * refSize_, refSize_));
        dict.insert_or_assign(*key.string(), std::move(value));
    }
    return PlistValue(std::move(dict));
}

}  // namespace

std::optional<PlistValue> decodeBinaryPlist(const std::uint8_t* bytes, std::size_t size,
                                            const PlistLimits& limits, std::string* reason) {
    std::string why;
    BinaryReader reader(bytes, size, limits);
    if (!reader.check(why)) {
        if (reason != nullptr)
            *reason = std::move(why);
        return std::nullopt;
    }
    return reader.value();
}

}  // namespace vk
