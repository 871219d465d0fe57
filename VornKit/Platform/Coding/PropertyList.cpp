#include "VornKit/Platform/Coding/PropertyList.h"

#include <plist/plist.h>
#include <simdjson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

namespace vk {

namespace {

using Clock = std::chrono::system_clock;

// Seconds between 1970-01-01 and 2001-01-01, the format's epoch.
constexpr std::int64_t kEpoch2001 = 978307200;

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// ---------------------------------------------------------------------------------------------
// Writing

// libplist takes C strings (a NUL inside would cut the text short) and converts them to UTF-16
// without checking them: only valid UTF-8 goes in.
bool writableText(const std::string& text) {
    return text.find('\0') == std::string::npos &&
           simdjson::validate_utf8(text.data(), text.size());
}

bool buildNode(const PlistValue& value, std::size_t depth, const PlistLimits& limits,
               std::size_t& count, plist_t& out) {
    if (++count > limits.maxValues)
        return false;
    switch (value.type()) {
        case PlistValue::Type::Boolean:
            out = plist_new_bool(*value.boolean() ? 1 : 0);
            return true;
        case PlistValue::Type::Integer:
            // libplist keeps integers unsigned; the bit pattern of a negative value reads back.
            out = plist_new_uint(static_cast<std::uint64_t>(*value.integer()));
            return true;
        case PlistValue::Type::Real:
            out = plist_new_real(*value.real());
            return true;
        case PlistValue::Type::String:
            if (!writableText(*value.string()))
                return false;
            out = plist_new_string(value.string()->c_str());
            return true;
        case PlistValue::Type::Date: {
            auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                              value.date()->time_since_epoch())
                              .count() -
                          kEpoch2001 * 1000000;
            // Whole seconds rounded down and a non-negative fraction: libplist adds the two.
            std::int64_t seconds = micros / 1000000;
            std::int64_t fraction = micros % 1000000;
            if (fraction < 0) {
                seconds -= 1;
                fraction += 1000000;
            }
            if (seconds < std::numeric_limits<std::int32_t>::min() ||
                seconds >= std::numeric_limits<std::int32_t>::max()) {
                return false;
            }
            out = plist_new_date(static_cast<std::int32_t>(seconds),
                                 static_cast<std::int32_t>(fraction));
            return true;
        }
        case PlistValue::Type::Data: {
            const auto& data = *value.data();
            out = plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
            return true;
        }
        case PlistValue::Type::Array: {
            if (depth >= limits.maxDepth)
                return false;
            Node array(plist_new_array());
            for (const auto& element : *value.array()) {
                plist_t child = nullptr;
                if (!buildNode(element, depth + 1, limits, count, child))
                    return false;
                plist_array_append_item(array.get(), child);
            }
            out = array.release();
            return true;
        }
        case PlistValue::Type::Dictionary: {
            if (depth >= limits.maxDepth)
                return false;
            Node dict(plist_new_dict());
            for (const auto& [key, element] : *value.dictionary()) {
                if (!writableText(key))
                    return false;
                plist_t child = nullptr;
                if (!buildNode(element, depth + 1, limits, count, child))
                    return false;
                plist_dict_set_item(dict.get(), key.c_str(), child);
            }
            out = dict.release();
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Reading: one walk over the object table checks the structure, then the values are built.

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

// ---------------------------------------------------------------------------------------------
// Descriptions

void quoteInto(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

void describeDictionaryInto(std::string& out, const PlistDictionary& dictionary);

void describeInto(std::string& out, const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::Boolean:
            out += *value.boolean() ? "1" : "0";
            break;
        case PlistValue::Type::Integer:
            out += std::to_string(*value.integer());
            break;
        case PlistValue::Type::Real: {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", *value.real());
            out += buffer;
            break;
        }
        case PlistValue::Type::String:
            quoteInto(out, *value.string());
            break;
        case PlistValue::Type::Date: {
            std::time_t t = Clock::to_time_t(*value.date());
            // to_time_t may round; floor to the whole second the date lies in.
            if (Clock::from_time_t(t) > *value.date())
                --t;
            std::tm tm{};
            ::gmtime_r(&t, &tm);
            char buffer[40];
            std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &tm);
            out += buffer;
            break;
        }
        case PlistValue::Type::Data: {
            const auto& data = *value.data();
            out += "{length = " + std::to_string(data.size()) + ", bytes = 0x";
            static const char* kHex = "0123456789abcdef";
            std::size_t shown = std::min<std::size_t>(data.size(), 24);
            for (std::size_t i = 0; i < shown; ++i) {
                out.push_back(kHex[data[i] >> 4]);
                out.push_back(kHex[data[i] & 0x0F]);
            }
            if (shown < data.size())
                out += "...";
            out.push_back('}');
            break;
        }
        case PlistValue::Type::Array: {
            out.push_back('(');
            bool first = true;
            for (const auto& element : *value.array()) {
                if (!first)
                    out += ", ";
                first = false;
                describeInto(out, element);
            }
            out.push_back(')');
            break;
        }
        case PlistValue::Type::Dictionary:
            describeDictionaryInto(out, *value.dictionary());
            break;
    }
}

void describeDictionaryInto(std::string& out, const PlistDictionary& dictionary) {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, element] : dictionary) {
        if (!first)
            out += "; ";
        first = false;
        out += key;
        out += " = ";
        describeInto(out, element);
    }
    out.push_back('}');
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodeBinaryPlist(const PlistValue& value,
                                                           const PlistLimits& limits) {
    plist_t root = nullptr;
    std::size_t count = 0;
    if (!buildNode(value, 0, limits, count, root)) {
        if (root != nullptr)
            plist_free(root);
        return std::nullopt;
    }
    Node owner(root);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    if (bytes == nullptr)
        return std::nullopt;
    std::vector<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(bytes),
                                  reinterpret_cast<std::uint8_t*>(bytes) + length);
    std::free(bytes);
    return out;
}

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

std::string describePlist(const PlistValue& value) {
    std::string out;
    describeInto(out, value);
    return out;
}

std::string describePlist(const PlistDictionary& dictionary) {
    std::string out;
    describeDictionaryInto(out, dictionary);
    return out;
}

}  // namespace vk
