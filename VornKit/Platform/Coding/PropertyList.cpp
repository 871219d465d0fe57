// Property lists (PropertyList.h): the binary form written through libplist, and the one-line
// descriptions. Reading the binary form is in PropertyListDecoding.cpp.
#include "VornKit/Platform/Coding/PropertyList.h"

#include <plist/plist.h>
#include <simdjson.h>

#include <cstdio>
#include <cstdlib>
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
