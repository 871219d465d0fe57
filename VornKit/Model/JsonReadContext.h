// JsonReadContext: the state of decoding one JSON document, and the reading primitives the field
// tables' decoders are built from.
//
// simdjson's first stage validates the document (UTF-8, string quoting, control characters) and
// lists where every token starts: braces, brackets, colons, commas and the first character of
// each string, number and atom. Decoding then walks that list once, in document order: objects
// field by field, dispatching each key through the record's field table, and values read in
// place (strings without escapes are not copied before they become Texts; escaped ones are
// unescaped by simdjson; numbers and atoms are parsed by simdjson's number and atom parsers).
// The walk checks the grammar of everything it passes, skipped values included, and reports
// malformed input as data corrupted.
//
// Include only in .cpp files (through FieldCoding.h): it pulls in simdjson.
//
// Thread rule: a context and its handle belong to one decode call on one thread.
#pragma once

#include <simdjson.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/ByteWords.h"
#include "VornKit/Model/CodingError.h"
#include "VornKit/Model/EnumCoding.h"
#include "VornKit/Model/Text.h"

namespace vk {

class JsonDecoder;

/// The read position: the padded document and simdjson's list of token starts over it. The
/// list ends with two entries holding the document's length, where the document has a zero.
struct VK_EXPORT JsonValueHandle {
    const std::uint8_t* text = nullptr;  ///< the document, a zero at its end, then padding
    const std::uint32_t* at = nullptr;   ///< the current token; never past `end`
    const std::uint32_t* end = nullptr;  ///< one past the last token

    /// Whether every token has been read.
    bool atEnd() const { return at >= end; }
    /// The first character of the current token, or 0 past the last one.
    char peek() const { return static_cast<char>(text[*at]); }
    /// The current token up to the start of the next one (trailing whitespace included).
    /// Precondition: !atEnd().
    const char* begin() const { return reinterpret_cast<const char*>(text + at[0]); }
    /// The end of the current token (the start of the next one); precondition: !atEnd().
    const char* limit() const { return reinterpret_cast<const char*>(text + at[1]); }
    /// Moves to the next token; precondition: !atEnd().
    void advance() { ++at; }
};

/// The state of one decode call: the decoder's options, where errors go and the arena the
/// document's Texts come from. Every failing reader returns false after setting `*error` (when
/// `error` is set) and leaves the handle where it stopped.
struct VK_EXPORT JsonReadContext {
    /// `documentSize`: bytes of JSON this context decodes (sizes the text arena).
    explicit JsonReadContext(std::size_t documentSize) : texts(documentSize) {}

    /// The decoder running this call, for its options (date strategy, store context); never null
    /// while decoding.
    const JsonDecoder* decoder = nullptr;
    /// simdjson's parser for this document: unescapes strings.
    const simdjson::internal::dom_parser_implementation* parser = nullptr;
    /// Where the first failure is reported; may be null when the caller needs no message.
    DecodingError* error = nullptr;
    TextArena texts;  ///< makes the document's Texts

    /// Reports a failure of `kind` with `message` (empty coding path); returns false.
    bool fail(DecodingErrorKind kind, std::string message);
    /// Data corrupted: "The given data was not valid JSON (<reason>)."
    bool failInvalid(std::string_view reason);
    /// Reports simdjson's `code` met while reading `expected` (a type name): a type mismatch, a
    /// number out of range, or invalid JSON; returns false.
    bool failSimdjson(simdjson::error_code code, std::string_view expected);
    /// Type mismatch naming what the current token is.
    bool failType(const JsonValueHandle& h, std::string_view expected);
    /// Put the field `key` or the list element `index` in front of the reported error's coding
    /// path; return false. A failure reports itself with an empty path and every level it leaves
    /// on its way out adds its step, so decoding keeps no path while it succeeds.
    /// @{
    bool failedIn(std::string_view key);
    bool failedAt(std::int64_t index);
    /// @}

    /// Unescapes the string whose characters start at `content` (after the opening quote) and
    /// end at `close` (its closing quote). The view lives until the next call with the same
    /// `slot` (0 for keys, 1 for values).
    bool unescape(const char* content, const char* close, int slot, std::string_view& out);

  private:
    std::unique_ptr<std::uint8_t[]> scratch_[2];
    std::size_t scratchSize_[2] = {0, 0};
};

namespace json_detail {

/// Whether [p, p + n) holds a backslash. Reads whole blocks: 15 readable bytes must follow.
inline bool hasBackslash(const char* p, std::size_t n) {
#if defined(__SSE2__)
    const __m128i backslash = _mm_set1_epi8('\\');
    for (std::size_t i = 0; i < n; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, backslash)));
        if (bits && i + static_cast<std::size_t>(__builtin_ctz(bits)) < n)
            return true;
    }
    return false;
#else
    for (std::size_t i = 0; i < n; i += 8) {
        using namespace bytewords;
        std::uint64_t x = load64(p + i) ^ (kOnes * '\\');
        std::uint64_t bits = (x - kOnes) & ~x & kHighs;
        if (bits && i + static_cast<std::size_t>(__builtin_ctzll(bits) / 8) < n)
            return true;
    }
    return false;
#endif
}

inline bool isSpace(char c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

/// The closing quote of the string token that ends (before whitespace) at `limit`; nullptr if
/// the token does not end in a quote after `content`.
inline const char* closingQuote(const char* content, const char* limit) {
    const char* close = limit - 1;
    while (close >= content && isSpace(*close))
        --close;
    return close >= content && *close == '"' ? close : nullptr;
}

}  // namespace json_detail

/// Data corrupted: `what` was expected at the current token.
VK_EXPORT bool failExpected(const JsonValueHandle& h, JsonReadContext& ctx, std::string_view what);

/// Reads the key of an object field and its colon, leaving the handle at the value. With
/// `mayBeEscaped` false the key is given as written, escapes and all (for lookups in tables
/// whose keys hold no backslash: a key with escapes simply misses, see readKey).
inline bool readKeyAs(JsonValueHandle& h, JsonReadContext& ctx, std::string_view& key,
                      bool mayBeEscaped) {
    if (h.peek() != '"' || h.text[h.at[1]] != ':')
        return failExpected(h, ctx, "a key and a colon");
    const char* content = h.begin() + 1;
    const char* close = json_detail::closingQuote(content, h.limit());
    if (!close)
        return failExpected(h, ctx, "a key");
    auto length = static_cast<std::size_t>(close - content);
    if (mayBeEscaped && json_detail::hasBackslash(content, length)) {
        if (!ctx.unescape(content, close, 0, key))
            return false;
    } else {
        key = std::string_view(content, length);
    }
    h.at += 2;
    return true;
}

/// Whether the current token is the key `jsonKey` (quoted, with its colon: "\"Id\":") written
/// exactly so, with the colon right after it.
inline bool atJsonKey(const JsonValueHandle& h, std::string_view jsonKey) {
    std::size_t n = jsonKey.size();
    if (h.at[1] - h.at[0] != n - 1 || n < 4)
        return false;
    return bytewords::equal(h.begin(), jsonKey.data(), n);
}

/// The key of an object field, unescaped, and its colon.
inline bool readKey(JsonValueHandle& h, JsonReadContext& ctx, std::string_view& key) {
    return readKeyAs(h, ctx, key, true);
}

/// The key just read as written by readKeyAs, unescaped when it holds an escape; false (and
/// nothing to do) when it holds none. The handle must not have moved since.
VK_EXPORT bool unescapeLastKey(const JsonValueHandle& h, JsonReadContext& ctx,
                               std::string_view written, std::string_view& key, bool& failed);

/// Consumes a null and sets `isNull`; leaves any other value. Fails on a malformed atom.
VK_EXPORT bool readNull(JsonValueHandle& h, JsonReadContext& ctx, bool& isNull);
/// Passes over one value of any type, checking its structure.
VK_EXPORT bool skipValue(JsonValueHandle& h, JsonReadContext& ctx);
/// Passes over one value and gives its JSON text (without surrounding whitespace).
VK_EXPORT bool rawJsonValue(JsonValueHandle& h, JsonReadContext& ctx, std::string_view& raw);

/// The JSON type of a token, from its first character.
enum class JsonTokenType { Object, Array, String, Number, Boolean, Null, Invalid };
/// The type of the current token; Invalid past the end, for a malformed atom or for a character
/// no value starts with.
VK_EXPORT JsonTokenType tokenType(const JsonValueHandle& h);

/// The full rule of decodeJsonInteger() (integral doubles, range errors, type mismatches); call
/// that instead.
VK_EXPORT bool decodeJsonIntegerSlow(JsonValueHandle& h, std::int64_t min, std::int64_t max,
                                     std::string_view typeName, std::int64_t& out,
                                     JsonReadContext& ctx);

/// An integer in [min, max]; an exactly integral number written otherwise (2.0, 1e3) counts.
inline bool decodeJsonInteger(JsonValueHandle& h, std::int64_t min, std::int64_t max,
                              std::string_view typeName, std::int64_t& out, JsonReadContext& ctx) {
    if (!h.atEnd()) {
        auto result = simdjson::builtin::numberparsing::parse_integer(
            reinterpret_cast<const std::uint8_t*>(h.begin()),
            reinterpret_cast<const std::uint8_t*>(h.limit()));
        if (!result.error() && result.value_unsafe() >= min && result.value_unsafe() <= max) {
            out = result.value_unsafe();
            h.advance();
            return true;
        }
    }
    return decodeJsonIntegerSlow(h, min, max, typeName, out, ctx);
}
/// A number as a double (integers included); a type mismatch for anything else.
VK_EXPORT bool decodeJsonDouble(JsonValueHandle& h, double& out, JsonReadContext& ctx);
/// `true` or `false`; a type mismatch for anything else.
VK_EXPORT bool decodeJsonBool(JsonValueHandle& h, bool& out, JsonReadContext& ctx);

/// The full rule of decodeJsonString() (escapes, type mismatches); call that instead.
VK_EXPORT bool decodeJsonStringSlow(JsonValueHandle& h, std::string_view& out, bool& plain,
                                    JsonReadContext& ctx);

/// A string value. The view points into the document, or (for strings with escapes) into a
/// buffer that the next string read may reuse. `plain`: no character JSON would escape.
inline bool decodeJsonString(JsonValueHandle& h, std::string_view& out, bool& plain,
                             JsonReadContext& ctx) {
    if (h.peek() == '"') {
        const char* content = h.begin() + 1;
        const char* close = json_detail::closingQuote(content, h.limit());
        if (close) {
            auto length = static_cast<std::size_t>(close - content);
            if (!json_detail::hasBackslash(content, length)) {
                out = std::string_view(content, length);
                plain = true;
                h.advance();
                return true;
            }
        }
    }
    return decodeJsonStringSlow(h, out, plain, ctx);
}
inline bool decodeJsonString(JsonValueHandle& h, std::string_view& out, JsonReadContext& ctx) {
    bool plain = false;
    return decodeJsonString(h, out, plain, ctx);
}
/// A string value as a Text made by the context's arena.
inline bool decodeJsonText(JsonValueHandle& h, Text& out, JsonReadContext& ctx) {
    std::string_view text;
    bool plain = false;
    if (!decodeJsonString(h, text, plain, ctx))
        return false;
    out = ctx.texts.make(text, plain);
    return true;
}
/// Text enumerations: the value must be a string equal to one case's text.
VK_EXPORT bool decodeJsonEnumText(JsonValueHandle& h, const EnumCoding& coding, std::int64_t& out,
                                  JsonReadContext& ctx);

/// After a member of an object or array: consumes a comma (true, `more`) or the closing
/// character `close` (true, not `more`); anything else is malformed.
inline bool nextMember(JsonValueHandle& h, JsonReadContext& ctx, char close, bool& more) {
    char c = h.peek();
    if (c == ',') {
        h.advance();
        more = true;
        return true;
    }
    if (c == close) {
        h.advance();
        more = false;
        return true;
    }
    return failExpected(h, ctx, close == '}' ? "',' or '}'" : "',' or ']'");
}

}  // namespace vk
