#include "VornKit/Model/JsonCoding.h"

#include <memory>

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Platform/Runtime/VirtualMemory.h"

namespace vk {

namespace {

using ParserImplementation = simdjson::internal::dom_parser_implementation;

// Documents up to this size reuse a per-thread parser (its token list is four bytes per byte of
// capacity, touched only as far as a document reaches); larger ones get a parser whose buffers
// are released as soon as the decode ends.
constexpr std::size_t kReusedParserLimit = 1 << 20;
// simdjson's first stage does not track depth; the decoders' nesting is bounded by the record
// types and skipValue's own limit.
constexpr std::size_t kParserDepth = 64;

simdjson::error_code makeParser(std::size_t capacity, std::unique_ptr<ParserImplementation>& out) {
    return simdjson::get_active_implementation()->create_dom_parser_implementation(
        capacity, kParserDepth, out);
}

}  // namespace

bool JsonDecoder::decodeInto(std::string_view json, std::size_t slack, const TypeCoding& coding,
                             void* out, DecodingError& error) const {
    JsonReadContext ctx(json.size());
    ctx.decoder = this;
    ctx.error = &error;
    if (json.empty())
        return ctx.failSimdjson(simdjson::EMPTY, "");

    simdjson::padded_string copy;
    simdjson::padded_string_view input;
    // The walk reads a zero after the last token (std::string and padded_string have one).
    if (slack >= simdjson::SIMDJSON_PADDING && json.data()[json.size()] == '\0') {
        input = simdjson::padded_string_view(json.data(), json.size(), json.size() + slack);
    } else {
        copy = simdjson::padded_string(json);
        input = copy;
    }

    // A decode nested inside another one on this thread (a record that re-reads an embedded
    // object) must not disturb the outer walk, so it gets a parser of its own.
    thread_local std::unique_ptr<ParserImplementation> sharedParser;
    thread_local bool sharedParserBusy = false;
    std::unique_ptr<ParserImplementation> ownParser;
    ParserImplementation* parser = nullptr;
    bool shared = json.size() <= kReusedParserLimit && !sharedParserBusy;
    if (shared) {
        if (!sharedParser || sharedParser->capacity() < json.size()) {
            sharedParser.reset();
            if (auto e = makeParser(kReusedParserLimit, sharedParser))
                return ctx.failSimdjson(e, "");
        }
        parser = sharedParser.get();
    } else {
        if (auto e = makeParser(json.size(), ownParser))
            return ctx.failSimdjson(e, "");
        parser = ownParser.get();
        // The token list of a large document is written once, read once and dropped: huge
        // pages spare the page faults of its fresh memory (it takes up to four bytes per byte
        // of the document, of which the tokens touch a part).
        VirtualMemory::adviseHugePages(parser->structural_indexes.get(),
                                       json.size() * sizeof(std::uint32_t));
        // The first tokens go before the list's first huge page: mapped in one call, as far as
        // a token per 32 bytes of the document reaches.
        VirtualMemory::mapHead(parser->structural_indexes.get(), json.size() / 8);
    }
    struct BusyScope {
        bool* flag;
        bool owned;
        ~BusyScope() {
            if (owned)
                *flag = false;
        }
    } busy{&sharedParserBusy, shared};
    if (shared)
        sharedParserBusy = true;

    const auto* text = reinterpret_cast<const std::uint8_t*>(input.data());
    if (auto e = parser->stage1(text, input.length(), simdjson::stage1_mode::regular))
        return ctx.failSimdjson(e, "");
    ctx.parser = parser;
    const std::uint32_t* tokens = parser->structural_indexes.get();
    JsonValueHandle handle{text, tokens, tokens + parser->n_structural_indexes};
    if (!coding.decodeJson(out, handle, ctx))
        return false;
    if (!handle.atEnd()) {
        return ctx.fail(DecodingErrorKind::DataCorrupted,
                        "The given data was not valid JSON (unexpected content after the value).");
    }
    return true;
}

std::optional<std::string> JsonEncoder::encodeErased(const TypeCoding& coding,
                                                     const void* value) const {
    std::string out;
    JsonWriteOptions options;
    options.dates = dateEncodingStrategy;
    {
        JsonOutput writer(out, options);
        if (coding.jsonSize)
            writer.reserve(coding.jsonSize(value));
        coding.encodeJson(value, writer);
        writer.finish();
    }
    if (options.invalidValue)
        return std::nullopt;
    return out;
}

}  // namespace vk
