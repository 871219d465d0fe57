#include "VornKit/Platform/PropertyList.h"

#include <plist/plist.h>

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
            // libplist takes C strings: a NUL inside would cut the text short.
            if (value.string()->find('\0') != std::string::npos)
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
                if (key.find('\0') != std::string::npos)
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
// The structure check that runs before libplist reads untrusted bytes.

class StructureCheck {
  public:
    StructureCheck(const std::uint8_t* bytes, std::size_t size, const PlistLimits& limits)
        : bytes_(bytes), size_(size), limits_(limits) {}

    bool run(std::string& reason);

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

    const std::uint8_t* bytes_;
    std::size_t size_;
    PlistLimits limits_;
    std::size_t offsetTable_ = 0;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::vector<std::uint64_t> children_;
};

bool StructureCheck::lengthOf(std::size_t at, std::uint64_t& length, std::size_t& next) const {
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

bool StructureCheck::readObject(std::uint64_t object, std::string& reason) {
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

bool StructureCheck::run(std::string& reason) {
    if (size_ < 8 + kTrailer || std::memcmp(bytes_, "bplist00", 8) != 0)
        return fail(reason, "not a binary property list");
    std::size_t trailer = size_ - kTrailer;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    objectCount_ = bigEndian(trailer + 8, 8);
    std::uint64_t top = bigEndian(trailer + 16, 8);
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

// ---------------------------------------------------------------------------------------------
// Reading libplist's nodes (already checked for depth and size).

std::optional<PlistValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return PlistValue(b != 0);
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return PlistValue(static_cast<std::int64_t>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return PlistValue(v);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return PlistValue(std::string(text != nullptr ? text : "",
                                          text != nullptr ? static_cast<std::size_t>(length) : 0));
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0;
            std::int32_t micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            // libplist splits the stored seconds into a truncated whole part and the magnitude
            // of the fraction: below zero the fraction counts further back.
            std::int64_t total = std::int64_t{seconds} * 1000000 +
                                 (seconds < 0 ? -std::int64_t{micros} : std::int64_t{micros});
            return PlistValue(
                Clock::time_point(std::chrono::microseconds(total + kEpoch2001 * 1000000)));
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
            return PlistValue(
                bytes != nullptr ? PlistValue::Data(begin, begin + static_cast<std::size_t>(length))
                                 : PlistValue::Data());
        }
        case PLIST_ARRAY: {
            PlistValue::Array array;
            std::uint32_t n = plist_array_get_size(node);
            array.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                auto element = fromNode(plist_array_get_item(node, i));
                if (!element)
                    return std::nullopt;
                array.push_back(std::move(*element));
            }
            return PlistValue(std::move(array));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary dict;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            if (iter == nullptr)
                return std::nullopt;
            bool ok = true;
            while (true) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                if (value == nullptr) {
                    std::free(key);
                    break;
                }
                auto element = fromNode(value);
                if (!element || key == nullptr) {
                    std::free(key);
                    ok = false;
                    break;
                }
                dict.insert_or_assign(std::string(key), std::move(*element));
                std::free(key);
            }
            std::free(iter);
            if (!ok)
                return std::nullopt;
            return PlistValue(std::move(dict));
        }
        default:
            return std::nullopt;
    }
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
    auto refuse = [&](std::string text) -> std::optional<PlistValue> {
        if (reason != nullptr)
            *reason = std::move(text);
        return std::nullopt;
    };
    if (size > std::numeric_limits<std::uint32_t>::max())
        return refuse("too large");
    StructureCheck check(bytes, size, limits);
    if (!check.run(why))
        return refuse(why);
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes), static_cast<std::uint32_t>(size), &root);
    if (root == nullptr)
        return refuse("libplist could not read it");
    Node owner(root);
    auto value = fromNode(root);
    if (!value)
        return refuse("a value of an unsupported kind");
    return value;
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
