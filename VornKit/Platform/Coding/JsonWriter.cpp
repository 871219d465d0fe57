#include "VornKit/Platform/Coding/JsonWriter.h"

#include <charconv>
#include <cmath>

namespace vk {

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) {
            out_.push_back(',');
        }
        first_.back() = false;
    }
}

void JsonWriter::beginObject() {
    separate();
    out_.push_back('{');
    first_.push_back(true);
}

void JsonWriter::endObject() {
    out_.push_back('}');
    first_.pop_back();
}

void JsonWriter::beginArray() {
    separate();
    out_.push_back('[');
    first_.push_back(true);
}

void JsonWriter::endArray() {
    out_.push_back(']');
    first_.pop_back();
}

void JsonWriter::key(std::string_view name) {
    separate();
    out_.push_back('"');
    appendEscaped(out_, name);
    out_.append("\":");
    afterKey_ = true;
}

void JsonWriter::string(std::string_view value) {
    separate();
    out_.push_back('"');
    appendEscaped(out_, value);
    out_.push_back('"');
}

void JsonWriter::integer(std::int64_t value) {
    separate();
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::unsignedInteger(std::uint64_t value) {
    separate();
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::number(double value) {
    separate();
    if (!std::isfinite(value)) {
        out_.append("null");
        return;
    }
    char buffer[kMaxNumberLength];
    out_.append(buffer, writeNumber(buffer, value));
}

namespace {

// Integers below 2^53 in magnitude are exact in a double (and in a float, when it holds one).
constexpr double kExactIntegerLimit = 9007199254740992.0;

template <class Real>
char* writeReal(char* to, Real value) {
    const double wide = static_cast<double>(value);
    if (wide != 0 && wide > -kExactIntegerLimit && wide < kExactIntegerLimit) {
        const auto whole = static_cast<std::int64_t>(wide);
        if (static_cast<double>(whole) == wide)
            return std::to_chars(to, to + JsonWriter::kMaxNumberLength, whole).ptr;
    }
    return std::to_chars(to, to + JsonWriter::kMaxNumberLength, value).ptr;
}

}  // namespace

char* JsonWriter::writeNumber(char* to, double value) {
    return writeReal(to, value);
}

char* JsonWriter::writeNumber(char* to, float value) {
    return writeReal(to, value);
}

void JsonWriter::boolean(bool value) {
    separate();
    out_.append(value ? "true" : "false");
}

void JsonWriter::null() {
    separate();
    out_.append("null");
}

void JsonWriter::raw(std::string_view json) {
    separate();
    out_.append(json);
}

void JsonWriter::appendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    size_t runStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(text.data() + runStart, i - runStart);
        runStart = i + 1;
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            default:
                out.append("\\u00");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.data() + runStart, text.size() - runStart);
}

}  // namespace vk
