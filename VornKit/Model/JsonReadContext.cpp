#include "VornKit/Model/JsonReadContext.h"

#include <cmath>
#include <vector>

namespace vk {

namespace {

constexpr std::size_t kMaxSkipDepth = 1024;

bool isNumberStart(char c) {
    return c == '-' || (c >= '0' && c <= '9');
}

const char* foundName(const JsonValueHandle& h) {
    switch (tokenType(h)) {
        case JsonTokenType::Object:
            return "a dictionary";
        case JsonTokenType::Array:
            return "an array";
        case JsonTokenType::String:
            return "a string";
        case JsonTokenType::Number:
            return "a number";
        case JsonTokenType::Boolean:
            return "a Boolean";
        case JsonTokenType::Null:
            return "null";
        case JsonTokenType::Invalid:
            break;
    }
    return "invalid JSON";
}

std::size_t tokenLength(const JsonValueHandle& h) {
    return static_cast<std::size_t>(h.at[1] - h.at[0]);
}

const std::uint8_t* tokenBytes(const JsonValueHandle& h) {
    return h.text + h.at[0];
}

/// The token without trailing whitespace, at most 40 characters (for messages).
std::string tokenText(const JsonValueHandle& h) {
    if (h.atEnd())
        return {};
    std::string_view raw(h.begin(), tokenLength(h));
    while (!raw.empty() && json_detail::isSpace(raw.back()))
        raw.remove_suffix(1);
    return std::string(raw.substr(0, 40));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

bool JsonReadContext::failedIn(std::string_view key) {
    if (error != nullptr) {
        std::string& path = error->codingPath;
        if (path.empty() || path.front() == '[') {
            path.insert(0, key);
        } else {
            path.insert(0, 1, '.');
            path.insert(0, key);
        }
    }
    return false;
}

bool JsonReadContext::failedAt(std::int64_t index) {
    if (error != nullptr) {
        std::string step = "[" + std::to_string(index) + "]";
        std::string& path = error->codingPath;
        if (!path.empty() && path.front() != '[')
            step.push_back('.');
        path.insert(0, step);
    }
    return false;
}

bool JsonReadContext::fail(DecodingErrorKind kind, std::string message) {
    if (error != nullptr)
        *error = DecodingError{kind, std::string(), std::move(message)};
    return false;
}

bool JsonReadContext::failInvalid(std::string_view reason) {
    return fail(DecodingErrorKind::DataCorrupted,
                "The given data was not valid JSON (" + std::string(reason) + ").");
}

bool JsonReadContext::failSimdjson(simdjson::error_code code, std::string_view expected) {
    switch (code) {
        case simdjson::INCORRECT_TYPE:
            return fail(DecodingErrorKind::TypeMismatch,
                        "Expected to decode " + std::string(expected) +
                            " but found a value of another type instead.");
        case simdjson::NUMBER_OUT_OF_RANGE:
            return fail(DecodingErrorKind::DataCorrupted,
                        "Parsed JSON number does not fit in " + std::string(expected) + ".");
        default:
            return failInvalid(simdjson::error_message(code));
    }
}

bool JsonReadContext::failType(const JsonValueHandle& h, std::string_view expected) {
    if (tokenType(h) == JsonTokenType::Invalid)
        return failExpected(h, *this, "a value");
    return fail(DecodingErrorKind::TypeMismatch, "Expected to decode " + std::string(expected) +
                                                     " but found " + foundName(h) + " instead.");
}

bool JsonReadContext::unescape(const char* content, const char* close, int slot,
                               std::string_view& out) {
    auto length = static_cast<std::size_t>(close - content);
    std::size_t need = length + simdjson::SIMDJSON_PADDING;
    if (scratchSize_[slot] < need) {
        std::size_t size = need < 256 ? 256 : need;
        scratch_[slot].reset(new std::uint8_t[size]);
        scratchSize_[slot] = size;
    }
    std::uint8_t* to = scratch_[slot].get();
    std::uint8_t* end = parser->parse_string(reinterpret_cast<const std::uint8_t*>(content), to);
    // The string ends at its first unescaped quote, which must be the token's closing one.
    if (end == nullptr)
        return failInvalid(simdjson::error_message(simdjson::STRING_ERROR));
    out = std::string_view(reinterpret_cast<const char*>(to), static_cast<std::size_t>(end - to));
    return true;
}

// ---------------------------------------------------------------------------------------------

bool failExpected(const JsonValueHandle& h, JsonReadContext& ctx, std::string_view what) {
    if (h.atEnd())
        return ctx.failInvalid("unexpected end of the document, expected " + std::string(what));
    return ctx.failInvalid("expected " + std::string(what) + " at offset " + std::to_string(*h.at));
}

bool unescapeLastKey(const JsonValueHandle&, JsonReadContext& ctx, std::string_view written,
                     std::string_view& key, bool& failed) {
    failed = false;
    if (!json_detail::hasBackslash(written.data(), written.size()))
        return false;
    if (!ctx.unescape(written.data(), written.data() + written.size(), 0, key)) {
        failed = true;
        return false;
    }
    return true;
}

JsonTokenType tokenType(const JsonValueHandle& h) {
    using namespace simdjson::builtin::atomparsing;
    switch (h.peek()) {
        case '{':
            return JsonTokenType::Object;
        case '[':
            return JsonTokenType::Array;
        case '"':
            return JsonTokenType::String;
        case 't':
            return is_valid_true_atom(tokenBytes(h), tokenLength(h)) ? JsonTokenType::Boolean
                                                                     : JsonTokenType::Invalid;
        case 'f':
            return is_valid_false_atom(tokenBytes(h), tokenLength(h)) ? JsonTokenType::Boolean
                                                                      : JsonTokenType::Invalid;
        case 'n':
            return is_valid_null_atom(tokenBytes(h), tokenLength(h)) ? JsonTokenType::Null
                                                                     : JsonTokenType::Invalid;
        default:
            return isNumberStart(h.peek()) ? JsonTokenType::Number : JsonTokenType::Invalid;
    }
}

namespace {

/// Whether the token is a plain integer (-?(0|[1-9][0-9]*), at most 18 digits) followed only
/// by whitespace: the common case of a skipped number, valid without parsing it.
bool isPlainInteger(const JsonValueHandle& h) {
    const char* p = h.begin();
    const char* limit = h.limit();
    if (p < limit && *p == '-')
        ++p;
    const char* digits = p;
    while (p < limit && *p >= '0' && *p <= '9')
        ++p;
    auto count = p - digits;
    if (count == 0 || count > 18 || (count > 1 && *digits == '0'))
        return false;
    while (p < limit && json_detail::isSpace(*p))
        ++p;
    return p == limit;
}

bool isAtomOrNumber(const JsonValueHandle& h) {
    if (isPlainInteger(h))
        return true;
    switch (tokenType(h)) {
        case JsonTokenType::Boolean:
        case JsonTokenType::Null:
            return true;
        case JsonTokenType::Number:
            return !simdjson::builtin::numberparsing::parse_double(tokenBytes(h),
                                                                   tokenBytes(h) + tokenLength(h))
                        .error();
        default:
            return false;
    }
}

}  // namespace

bool readNull(JsonValueHandle& h, JsonReadContext& ctx, bool& isNull) {
    isNull = false;
    if (h.peek() != 'n')
        return true;
    if (!simdjson::builtin::atomparsing::is_valid_null_atom(tokenBytes(h), tokenLength(h)))
        return failExpected(h, ctx, "a value");
    isNull = true;
    h.advance();
    return true;
}

bool skipValue(JsonValueHandle& h, JsonReadContext& ctx) {
    // Containers open on a stack of kinds (true: object); the grammar of every token passed is
    // checked, scalars only for their first character.
    std::uint64_t kinds[kMaxSkipDepth / 64] = {};
    std::size_t depth = 0;
    for (;;) {
        // A value is expected here.
        char c = h.peek();
        if (c == '{' || c == '[') {
            if (depth == kMaxSkipDepth) {
                return ctx.fail(DecodingErrorKind::DataCorrupted,
                                "The given data was not valid JSON (nested too deeply).");
            }
            bool object = c == '{';
            if (object) {
                kinds[depth / 64] |= std::uint64_t{1} << (depth % 64);
            } else {
                kinds[depth / 64] &= ~(std::uint64_t{1} << (depth % 64));
            }
            ++depth;
            h.advance();
            if (h.peek() == (object ? '}' : ']')) {
                h.advance();
                --depth;
            } else {
                if (object) {
                    std::string_view key;
                    if (!readKey(h, ctx, key))
                        return false;
                }
                continue;
            }
        } else if (c == '"') {
            h.advance();
        } else if (isAtomOrNumber(h)) {
            h.advance();  // a valid atom or number
        } else {
            return failExpected(h, ctx, "a value");
        }
        // A value ended: close containers or move to their next member.
        for (;;) {
            if (depth == 0)
                return true;
            bool object = (kinds[(depth - 1) / 64] >> ((depth - 1) % 64)) & 1;
            bool more = false;
            if (!nextMember(h, ctx, object ? '}' : ']', more))
                return false;
            if (!more) {
                --depth;
                continue;
            }
            if (object) {
                std::string_view key;
                if (!readKey(h, ctx, key))
                    return false;
            }
            break;
        }
    }
}

bool rawJsonValue(JsonValueHandle& h, JsonReadContext& ctx, std::string_view& raw) {
    if (h.atEnd())
        return failExpected(h, ctx, "a value");
    const char* start = h.begin();
    if (!skipValue(h, ctx))
        return false;
    const char* stop = reinterpret_cast<const char*>(h.text + *h.at);
    while (stop > start && json_detail::isSpace(stop[-1]))
        --stop;
    raw = std::string_view(start, static_cast<std::size_t>(stop - start));
    return true;
}

bool decodeJsonIntegerSlow(JsonValueHandle& h, std::int64_t min, std::int64_t max,
                           std::string_view typeName, std::int64_t& out, JsonReadContext& ctx) {
    if (tokenType(h) != JsonTokenType::Number)
        return ctx.failType(h, typeName);
    auto integer = simdjson::builtin::numberparsing::parse_integer(tokenBytes(h),
                                                                   tokenBytes(h) + tokenLength(h));
    if (!integer.error()) {
        return ctx.fail(DecodingErrorKind::DataCorrupted,
                        "Parsed JSON number <" + std::to_string(integer.value_unsafe()) +
                            "> does not fit in " + std::string(typeName) + ".");
    }
    // A number that is no 64-bit integer: accept an exact integral value (2.0, 1e3) in range.
    auto real = simdjson::builtin::numberparsing::parse_double(tokenBytes(h),
                                                               tokenBytes(h) + tokenLength(h));
    if (!real.error()) {
        double d = real.value_unsafe();
        if (std::isfinite(d) && std::trunc(d) == d && d >= static_cast<double>(min) &&
            d <= static_cast<double>(max) && d < 9223372036854775808.0) {
            out = static_cast<std::int64_t>(d);
            h.advance();
            return true;
        }
    }
    return ctx.fail(
        DecodingErrorKind::DataCorrupted,
        "Parsed JSON number <" + tokenText(h) + "> does not fit in " + std::string(typeName) + ".");
}

bool decodeJsonDouble(JsonValueHandle& h, double& out, JsonReadContext& ctx) {
    if (tokenType(h) != JsonTokenType::Number)
        return ctx.failType(h, "Double");
    auto real = simdjson::builtin::numberparsing::parse_double(tokenBytes(h),
                                                               tokenBytes(h) + tokenLength(h));
    if (real.error())
        return ctx.failSimdjson(real.error(), "Double");
    out = real.value_unsafe();
    h.advance();
    return true;
}

bool decodeJsonBool(JsonValueHandle& h, bool& out, JsonReadContext& ctx) {
    char c = h.peek();
    if (c == 't' &&
        simdjson::builtin::atomparsing::is_valid_true_atom(tokenBytes(h), tokenLength(h))) {
        out = true;
        h.advance();
        return true;
    }
    if (c == 'f' &&
        simdjson::builtin::atomparsing::is_valid_false_atom(tokenBytes(h), tokenLength(h))) {
        out = false;
        h.advance();
        return true;
    }
    if (c == 't' || c == 'f')
        return failExpected(h, ctx, "a value");
    return ctx.failType(h, "Bool");
}

bool decodeJsonStringSlow(JsonValueHandle& h, std::string_view& out, bool& plain,
                          JsonReadContext& ctx) {
    if (h.peek() != '"')
        return ctx.failType(h, "String");
    const char* content = h.begin() + 1;
    const char* close = json_detail::closingQuote(content, h.limit());
    if (!close)
        return failExpected(h, ctx, "a string");
    if (!ctx.unescape(content, close, 1, out))
        return false;
    plain = !Text::needsJsonEscaping(out);
    h.advance();
    return true;
}

bool decodeJsonEnumText(JsonValueHandle& h, const EnumCoding& coding, std::int64_t& out,
                        JsonReadContext& ctx) {
    std::string_view text;
    if (!decodeJsonString(h, text, ctx))
        return false;
    auto found = coding.fromText(text);
    if (!found) {
        return ctx.fail(DecodingErrorKind::DataCorrupted,
                        "Cannot initialize " + std::string(coding.typeName) +
                            " from invalid String value " + std::string(text));
    }
    out = *found;
    return true;
}

}  // namespace vk
