#include "VornKit/Playback/JavaScriptText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vk {

void appendJavaScriptStringBody(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '\\':
            case '\'':
            case '"':
                out += '\\';
                out += static_cast<char>(c);
                continue;
            case '\0':
                if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
                    out += "\\u{0}";
                } else {
                    out += "\\0";
                }
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7f) {
            char buffer[12];
            std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
            out += buffer;
        } else if (c == 0xe2 && i + 2 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u{2028}" : "\\u{2029}";
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
}

std::string javaScriptSingleQuoted(std::string_view text) {
    std::string out = "'";
    appendJavaScriptStringBody(out, text);
    out += '\'';
    return out;
}

std::string javaScriptDoubleQuoted(std::string_view text) {
    std::string out = "\"";
    appendJavaScriptStringBody(out, text);
    out += '"';
    return out;
}

std::string javaScriptDouble(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    char buffer[40];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

std::string javaScriptInteger(std::int64_t value) {
    return std::to_string(value);
}

}  // namespace vk
