#include "VornKit/Model/FieldCoding.h"

#include <charconv>
#include <cmath>
#include <functional>

#include "VornKit/Model/ValueTransformer.h"
#include "VornKit/Platform/FatalError.h"

namespace vk {

const char* fieldKindName(FieldKind kind) {
    switch (kind) {
        case FieldKind::Boolean:
            return "Boolean";
        case FieldKind::Integer16:
            return "Integer16";
        case FieldKind::Integer32:
            return "Integer32";
        case FieldKind::Integer64:
            return "Integer64";
        case FieldKind::Float:
            return "Float";
        case FieldKind::Double:
            return "Double";
        case FieldKind::Text:
            return "Text";
        case FieldKind::Date:
            return "Date";
        case FieldKind::Enumeration:
            return "Enumeration";
        case FieldKind::Record:
            return "Record";
        case FieldKind::List:
            return "List";
        case FieldKind::Map:
            return "Map";
    }
    return "?";
}

void fieldTableFailure(std::string_view recordName, std::string_view problem) {
    fatalError("field table of " + std::string(recordName) + ": " + std::string(problem),
               "VornKit/FieldTable");
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr std::size_t kInternedLength = 64;
}

Text StringInterner::get(std::string_view text) {
    if (text.size() > kInternedLength)
        return Text(text);
    if (slots_.empty())
        slots_.resize(256);
    std::size_t hash = std::hash<std::string_view>{}(text);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (!slot.text) {
            slot.hash = hash;
            slot.text = Text(text);
            Text result = slot.text;
            if (++count_ * 2 > slots_.size())
                grow();
            return result;
        }
        if (slot.hash == hash && slot.text.view() == text)
            return slot.text;
    }
}

void StringInterner::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.clear();
    slots_.resize(old.size() * 2);
    std::size_t mask = slots_.size() - 1;
    for (Slot& slot : old) {
        if (!slot.text)
            continue;
        std::size_t i = slot.hash & mask;
        while (slots_[i].text)
            i = (i + 1) & mask;
        slots_[i] = std::move(slot);
    }
}

// ---------------------------------------------------------------------------------------------

std::string JsonReadContext::pathText() const {
    std::vector<const PathNode*> nodes;
    for (const PathNode* node = path; node != nullptr; node = node->parent)
        nodes.push_back(node);
    std::string text;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        const PathNode* node = *it;
        if (node->index >= 0) {
            text.push_back('[');
            text.append(std::to_string(node->index));
            text.push_back(']');
        } else {
            if (!text.empty())
                text += ".";
            text += node->key;
        }
    }
    return text;
}

bool JsonReadContext::fail(DecodingErrorKind kind, std::string message) {
    if (error != nullptr)
        *error = DecodingError{kind, pathText(), std::move(message)};
    return false;
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
            return fail(DecodingErrorKind::DataCorrupted,
                        std::string("The given data was not valid JSON (") +
                            simdjson::error_message(code) + ").");
    }
}

namespace {

const char* jsonTypeName(od::value& value) {
    od::json_type type;
    if (value.type().get(type))
        return "invalid JSON";
    switch (type) {
        case od::json_type::array:
            return "an array";
        case od::json_type::object:
            return "a dictionary";
        case od::json_type::number:
            return "a number";
        case od::json_type::string:
            return "a string";
        case od::json_type::boolean:
            return "a Boolean";
        case od::json_type::null:
            return "null";
    }
    return "a value";
}

}  // namespace

bool failValue(od::value& value, simdjson::error_code code, std::string_view expected,
               JsonReadContext& ctx) {
    if (code == simdjson::INCORRECT_TYPE) {
        return ctx.fail(DecodingErrorKind::TypeMismatch, "Expected to decode " +
                                                             std::string(expected) + " but found " +
                                                             jsonTypeName(value) + " instead.");
    }
    return ctx.failSimdjson(code, expected);
}

bool readKey(od::field& field, JsonReadContext& ctx, std::string_view& key) {
    const char* start = field.key().raw();
    const char* end = start;
    while (end < ctx.bufferEnd && *end != '"' && *end != '\\')
        ++end;
    if (end < ctx.bufferEnd && *end == '"') {
        key = std::string_view(start, static_cast<std::size_t>(end - start));
        return true;
    }
    if (auto error = field.unescaped_key().get(key))
        return ctx.failSimdjson(error, "a key");
    return true;
}

bool readIsNull(od::value& value, JsonReadContext& ctx, bool& isNull) {
    if (auto error = value.is_null().get(isNull))
        return ctx.failSimdjson(error, "a value");
    return true;
}

bool decodeJsonInteger(od::value& value, std::int64_t min, std::int64_t max,
                       std::string_view typeName, std::int64_t& out, JsonReadContext& ctx) {
    std::int64_t n = 0;
    auto error = value.get_int64().get(n);
    if (!error) {
        if (n < min || n > max) {
            return ctx.fail(DecodingErrorKind::DataCorrupted,
                            "Parsed JSON number <" + std::to_string(n) + "> does not fit in " +
                                std::string(typeName) + ".");
        }
        out = n;
        return true;
    }
    od::json_type type;
    if (value.type().get(type))
        return ctx.failSimdjson(error, typeName);
    if (type != od::json_type::number)
        return failValue(value, simdjson::INCORRECT_TYPE, typeName, ctx);
    // A number that is no 64-bit integer: accept an exact integral value (2.0, 1e3) in range.
    double d = 0;
    if (!value.get_double().get(d) && std::isfinite(d) && std::trunc(d) == d &&
        d >= static_cast<double>(min) && d <= static_cast<double>(max) &&
        d < 9223372036854775808.0) {
        out = static_cast<std::int64_t>(d);
        return true;
    }
    std::string_view raw = value.raw_json_token();
    while (!raw.empty() &&
           (raw.back() == ' ' || raw.back() == '\n' || raw.back() == '\t' || raw.back() == '\r')) {
        raw.remove_suffix(1);
    }
    if (raw.size() > 40)
        raw = raw.substr(0, 40);
    return ctx.fail(DecodingErrorKind::DataCorrupted, "Parsed JSON number <" + std::string(raw) +
                                                          "> does not fit in " +
                                                          std::string(typeName) + ".");
}

bool decodeJsonDouble(od::value& value, double& out, JsonReadContext& ctx) {
    auto error = value.get_double().get(out);
    if (!error)
        return true;
    return failValue(value, error, "Double", ctx);
}

bool decodeJsonString(od::value& value, std::string_view& out, JsonReadContext& ctx) {
    auto error = value.get_string().get(out);
    if (!error)
        return true;
    return failValue(value, error, "String", ctx);
}

bool decodeJsonEnumText(od::value& value, const EnumCoding& coding, std::int64_t& out,
                        JsonReadContext& ctx) {
    std::string_view text;
    if (!decodeJsonString(value, text, ctx))
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

// ---------------------------------------------------------------------------------------------

namespace {
constexpr double kSeconds1970To2001 = 978307200.0;
}

double dateToNumber(Date date, DateCodingStrategy strategy) {
    double seconds1970 = std::chrono::duration<double>(date.time_since_epoch()).count();
    switch (strategy) {
        case DateCodingStrategy::DeferredToDate:
            return seconds1970 - kSeconds1970To2001;
        case DateCodingStrategy::SecondsSince1970:
            return seconds1970;
        case DateCodingStrategy::MillisecondsSince1970:
            return std::chrono::duration<double, std::milli>(date.time_since_epoch()).count();
    }
    return seconds1970;
}

Date dateFromNumber(double number, DateCodingStrategy strategy) {
    double seconds1970 = number;
    if (strategy == DateCodingStrategy::DeferredToDate)
        seconds1970 = number + kSeconds1970To2001;
    if (strategy == DateCodingStrategy::MillisecondsSince1970)
        seconds1970 = number / 1000.0;
    // Clamp to what the clock's representation can hold (about +-292 years around 1970).
    constexpr double kLimit = 9.0e9;
    if (!std::isfinite(seconds1970))
        seconds1970 = 0;
    if (seconds1970 > kLimit)
        seconds1970 = kLimit;
    if (seconds1970 < -kLimit)
        seconds1970 = -kLimit;
    auto duration = std::chrono::duration<double>(seconds1970);
    return Date(std::chrono::duration_cast<Date::duration>(duration));
}

double secondsSince2001(Date date) {
    return dateToNumber(date, DateCodingStrategy::DeferredToDate);
}

Date dateFromSecondsSince2001(double seconds) {
    return dateFromNumber(seconds, DateCodingStrategy::DeferredToDate);
}

// ---------------------------------------------------------------------------------------------

bool archivedInteger(ArchiveReader& reader, std::uint64_t uid, std::int64_t min, std::int64_t max,
                     std::int64_t& out) {
    std::int64_t n = 0;
    double d = 0;
    bool b = false;
    if (reader.integer(uid, n)) {
        // nothing more to convert
    } else if (reader.real(uid, d)) {
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0) {
            return false;
        }
        n = static_cast<std::int64_t>(d);
    } else if (reader.boolean(uid, b)) {
        n = b ? 1 : 0;
    } else {
        return false;
    }
    if (n < min || n > max)
        return false;
    out = n;
    return true;
}

bool archivedDouble(ArchiveReader& reader, std::uint64_t uid, double& out) {
    std::int64_t n = 0;
    bool b = false;
    if (reader.real(uid, out))
        return true;
    if (reader.integer(uid, n)) {
        double d = static_cast<double>(n);
        if (d >= 9223372036854775808.0 || static_cast<std::int64_t>(d) != n)
            return false;
        out = d;
        return true;
    }
    if (reader.boolean(uid, b)) {
        out = b ? 1.0 : 0.0;
        return true;
    }
    return false;
}

bool archivedBoolean(ArchiveReader& reader, std::uint64_t uid, bool& out) {
    if (reader.boolean(uid, out))
        return true;
    std::int64_t n = 0;
    double d = 0;
    if (reader.integer(uid, n) && (n == 0 || n == 1)) {
        out = n == 1;
        return true;
    }
    if (reader.real(uid, d) && (d == 0.0 || d == 1.0)) {
        out = d == 1.0;
        return true;
    }
    return false;
}

void writeDouble(JsonWriter& writer, double value, const JsonWriteOptions& options) {
    if (!std::isfinite(value)) {
        options.invalidValue = true;
        writer.null();
        return;
    }
    writer.number(value);
}

void ValueCoding<float>::encode(JsonWriter& w, const float& v, const JsonWriteOptions& o) {
    if (!std::isfinite(v)) {
        o.invalidValue = true;
        w.null();
        return;
    }
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    w.raw(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

// ---------------------------------------------------------------------------------------------

bool ValueCoding<TextMap>::decode(od::value& v, TextMap& out, JsonReadContext& ctx) {
    od::object object;
    if (auto error = v.get_object().get(object))
        return failValue(v, error, typeName(), ctx);
    out.clear();
    for (auto entry : object) {
        od::field field;
        if (auto error = std::move(entry).get(field))
            return ctx.failSimdjson(error, "");
        std::string_view key;
        if (!readKey(field, ctx, key))
            return false;
        Text keyText = ctx.strings.get(key);
        PathScope scope(ctx, keyText.view());
        std::string_view value;
        if (!decodeJsonString(field.value(), value, ctx))
            return false;
        out.set(std::move(keyText), ctx.strings.get(value));
    }
    if (out.entries().capacity() > out.size())
        out.mutableEntries().shrink_to_fit();
    return true;
}

void ValueCoding<TextMap>::encode(JsonWriter& w, const TextMap& v, const JsonWriteOptions&) {
    w.beginObject();
    for (const auto& [key, value] : v) {
        w.key(key.view());
        w.string(value.view());
    }
    w.endObject();
}

std::uint64_t ValueCoding<TextMap>::archive(ArchiveWriter& w, const TextMap& v) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    entries.reserve(v.size());
    for (const auto& [key, value] : v) {
        std::uint64_t k = w.string(key.view());
        entries.emplace_back(k, w.string(value.view()));
    }
    return w.dictionary(entries);
}

bool ValueCoding<TextMap>::unarchive(ArchiveReader& r, std::uint64_t uid, TextMap& out) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;
    if (!r.dictionaryEntries(uid, entries))
        return false;
    TextMap map;
    for (const auto& [k, v] : entries) {
        std::string_view key;
        std::string_view value;
        if (!r.enter())
            return false;
        bool ok = r.string(k, key) && r.string(v, value);
        r.leave();
        if (!ok)
            return false;
        map.set(Text(key), Text(value));
    }
    out = std::move(map);
    return true;
}

// ---------------------------------------------------------------------------------------------

StoreValue archivedStoreValue(const TypeCoding& coding, const void* value) {
    return archiveRoot(coding, value);
}

bool setArchivedStoreValue(const StoreValue& value, std::string_view transformer,
                           const TypeCoding& coding, void* out) {
    const auto* blob = std::get_if<StoreBytes>(&value);
    if (blob == nullptr)
        return false;
    std::vector<std::string> allowed;
    if (transformer.empty()) {
        allowed = ValueTransformer::defaultAllowedClasses();
    } else {
        auto named = ValueTransformer::forName(std::string(transformer));
        if (!named)
            return false;
        allowed = named->allowedTopLevelClasses();
    }
    DecodingError error;
    return unarchiveRoot(blob->data(), blob->size(), allowed, coding, out, error);
}

}  // namespace vk
