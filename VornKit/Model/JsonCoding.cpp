#include "VornKit/Model/JsonCoding.h"

#include <memory>

#include "VornKit/Model/FieldCoding.h"

namespace vk {

namespace {
// Documents up to this size reuse a per-thread parser; larger ones get a parser whose buffers are
// released as soon as the decode ends.
constexpr std::size_t kReusedParserLimit = 1 << 20;
}  // namespace

bool JsonDecoder::decodeInto(std::string_view json, std::size_t slack, const TypeCoding& coding,
                             void* out, DecodingError& error) const {
    simdjson::padded_string copy;
    simdjson::padded_string_view input;
    if (slack >= simdjson::SIMDJSON_PADDING) {
        input = simdjson::padded_string_view(json.data(), json.size(), json.size() + slack);
    } else {
        copy = simdjson::padded_string(json);
        input = copy;
    }
    // A decode nested inside another one on this thread (a record that re-reads an embedded
    // object) must not disturb the outer iteration, so it gets a parser of its own.
    thread_local od::parser sharedParser;
    thread_local bool sharedParserBusy = false;
    std::unique_ptr<od::parser> ownParser;
    od::parser* parser = &sharedParser;
    if (json.size() > kReusedParserLimit || sharedParserBusy) {
        ownParser = std::make_unique<od::parser>();
        parser = ownParser.get();
    }
    struct BusyScope {
        bool* flag;
        bool owned;
        ~BusyScope() {
            if (owned)
                *flag = false;
        }
    } busy{&sharedParserBusy, parser == &sharedParser};
    if (busy.owned)
        sharedParserBusy = true;

    JsonReadContext ctx;
    ctx.decoder = this;
    ctx.bufferEnd = input.data() + input.size() + simdjson::SIMDJSON_PADDING;
    ctx.error = &error;

    od::document document;
    if (auto e = parser->iterate(input).get(document))
        return ctx.failSimdjson(e, "");
    od::value root;
    if (auto e = document.get_value().get(root)) {
        return ctx.fail(
            DecodingErrorKind::DataCorrupted,
            std::string("The given data was not valid JSON (") + simdjson::error_message(e) + ").");
    }
    JsonValueHandle handle{root};
    if (!coding.decodeJson(out, handle, ctx))
        return false;
    if (document.current_location().error() != simdjson::OUT_OF_BOUNDS) {
        return ctx.fail(DecodingErrorKind::DataCorrupted,
                        "The given data was not valid JSON (unexpected content after the value).");
    }
    return true;
}

std::optional<std::string> JsonEncoder::encodeErased(const TypeCoding& coding,
                                                     const void* value) const {
    std::string out;
    JsonWriter writer(out);
    JsonWriteOptions options;
    options.dates = dateEncodingStrategy;
    coding.encodeJson(value, writer, options);
    if (options.invalidValue)
        return std::nullopt;
    return out;
}

}  // namespace vk
