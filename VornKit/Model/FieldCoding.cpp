#include "VornKit/Model/FieldCoding.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "VornKit/Model/ValueTransformer.h"
#include "VornKit/Platform/Runtime/FatalError.h"

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

constexpr std::int64_t kSeconds1970To2001 = 978307200;
constexpr std::int64_t kNanosPerSecond = 1000000000;
constexpr std::int64_t kNanosPerMillisecond = 1000000;

/// Whole units (less `offsetUnits`) exactly, plus the fraction.
double fromNanoseconds(std::int64_t nanoseconds, std::int64_t nanosPerUnit,
                       std::int64_t offsetUnits = 0) {
    return static_cast<double>(nanoseconds / nanosPerUnit - offsetUnits) +
           static_cast<double>(nanoseconds % nanosPerUnit) / static_cast<double>(nanosPerUnit);
}

}  // namespace

double dateToNumber(Date date, DateCodingStrategy strategy) {
    std::int64_t nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
    switch (strategy) {
        case DateCodingStrategy::DeferredToDate:
            return fromNanoseconds(nanoseconds, kNanosPerSecond, kSeconds1970To2001);
        case DateCodingStrategy::SecondsSince1970:
            return fromNanoseconds(nanoseconds, kNanosPerSecond);
        case DateCodingStrategy::MillisecondsSince1970:
            return fromNanoseconds(nanoseconds, kNanosPerMillisecond);
    }
    return fromNanoseconds(nanoseconds, kNanosPerSecond);
}

Date dateFromNumber(double number, DateCodingStrategy strategy) {
    // Extended precision keeps whole milliseconds (and any fraction a double can carry) exact to
    // the nanosecond, so a date read and written again gives back the same number.
    long double seconds1970 = number;
    if (strategy == DateCodingStrategy::DeferredToDate)
        seconds1970 += kSeconds1970To2001;
    if (strategy == DateCodingStrategy::MillisecondsSince1970)
        seconds1970 /= 1000;
    // Clamp to what the clock's representation can hold (about +-292 years around 1970).
    constexpr long double kLimit = 9.0e9L;
    if (!std::isfinite(number))
        seconds1970 = 0;
    seconds1970 = std::clamp(seconds1970, -kLimit, kLimit);
    auto nanoseconds = std::chrono::nanoseconds(std::llroundl(seconds1970 * kNanosPerSecond));
    return Date(std::chrono::duration_cast<Date::duration>(nanoseconds));
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

std::size_t decimalLength(std::int64_t value) {
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::size_t length = value < 0 ? 2 : 1;
    for (std::uint64_t limit = 10; magnitude >= limit; limit *= 10) {
        ++length;
        if (limit > std::numeric_limits<std::uint64_t>::max() / 10)
            break;
    }
    return length;
}

// ---------------------------------------------------------------------------------------------

bool ValueCoding<TextMap>::decode(JsonValueHandle& v, TextMap& out, JsonReadContext& ctx) {
    if (v.peek() != '{')
        return ctx.failType(v, typeName());
    out.clear();
    v.advance();
    bool more = v.peek() != '}';
    if (!more)
        v.advance();
    while (more) {
        std::string_view key;
        if (!readKey(v, ctx, key))
            return false;
        Text keyText = ctx.texts.make(key, false);
        Text value;
        if (!decodeJsonText(v, value, ctx))
            return ctx.failedIn(keyText.view());
        out.set(std::move(keyText), std::move(value));
        if (!nextMember(v, ctx, '}', more))
            return false;
    }
    if (out.entries().capacity() > out.size())
        out.mutableEntries().shrink_to_fit();
    return true;
}

void ValueCoding<TextMap>::encode(JsonOutput& w, const TextMap& v) {
    w.beginObject();
    for (const auto& [key, value] : v) {
        w.key(key.view());
        w.text(value);
    }
    w.endObject();
}

std::size_t ValueCoding<TextMap>::jsonSize(const TextMap& v) {
    std::size_t size = 2;
    for (const auto& [key, value] : v) {
        size += 2 + jsonStringSize(key.view(), key.isJsonPlain());
        size += jsonStringSize(value.view(), value.isJsonPlain() || !value);
    }
    return size;
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

template const TypeCoding& typeCoding<bool>();
template const TypeCoding& typeCoding<std::int16_t>();
template const TypeCoding& typeCoding<std::int32_t>();
template const TypeCoding& typeCoding<std::int64_t>();
template const TypeCoding& typeCoding<float>();
template const TypeCoding& typeCoding<double>();
template const TypeCoding& typeCoding<std::string>();
template const TypeCoding& typeCoding<Text>();
template const TypeCoding& typeCoding<TextMap>();
template const TypeCoding& typeCoding<std::vector<std::int64_t>>();
template const TypeCoding& typeCoding<std::vector<std::string>>();
template const TypeCoding& typeCoding<std::vector<Text>>();

}  // namespace vk
