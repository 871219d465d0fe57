// The coders behind the field tables: how each member type is read from JSON (the token walk of
// JsonReadContext.h, one forward pass), written to JSON (JsonOutput), archived and unarchived
// (KeyedArchive.h), and turned into store values; and `field<&R::Member>(...)`, which builds a
// FieldInfo from a member.
//
// Include this header only in .cpp files (it pulls in simdjson). A record declares its table once:
//
//   const FieldTable<NameIdPair>& NameIdPair::fieldTable() {
//       static const Immortal<FieldTable<NameIdPair>> table("NameIdPair", {
//           field<&NameIdPair::Name>("Name", Presence::Optional),
//           field<&NameIdPair::Id>("Id", Presence::Optional),
//       });
//       return *table;
//   }
//   VK_RECORD_CODING(NameIdPair)
//
// The table, like every process-wide value the coding reads (enumeration codings, transformers),
// is held in an Immortal (VornKit/Platform/Runtime/Immortal.h): it is never destroyed, because pool
// and timer threads may still decode an answer while the process exits.
//
// Supported member types: bool, int16/32/64, float, double, Text, std::string, Date, TextMap,
// enumerations (with an EnumCoding), records (with a fieldTable()), std::shared_ptr of a record,
// std::vector and std::optional of any of these.
//
// Thread rule: stateless functions; a JsonReadContext belongs to one decode call.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/EnumCoding.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/JsonOutput.h"
#include "VornKit/Model/JsonReadContext.h"
#include "VornKit/Model/KeyedArchive.h"
#include "VornKit/Model/Text.h"
#include "VornKit/Model/TextMap.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Store/ObjectContext.h"

namespace vk {

/// Dates as numbers per strategy.
VK_EXPORT double dateToNumber(Date date, DateCodingStrategy strategy);
VK_EXPORT Date dateFromNumber(double number, DateCodingStrategy strategy);
VK_EXPORT double secondsSince2001(Date date);
VK_EXPORT Date dateFromSecondsSince2001(double seconds);

/// Exact conversions of archived numbers (the per-field archive rules).
VK_EXPORT bool archivedInteger(ArchiveReader& reader, std::uint64_t uid, std::int64_t min,
                               std::int64_t max, std::int64_t& out);
VK_EXPORT bool archivedDouble(ArchiveReader& reader, std::uint64_t uid, double& out);
VK_EXPORT bool archivedBoolean(ArchiveReader& reader, std::uint64_t uid, bool& out);

/// Characters of the decimal form of `value`.
VK_EXPORT std::size_t decimalLength(std::int64_t value);
/// At most this many characters for a double or float in shortest form.
inline constexpr std::size_t kMaxDoubleLength = 24;
/// Characters of `text` as a JSON string, or more.
inline std::size_t jsonStringSize(std::string_view text, bool plain) {
    return plain ? text.size() + 2 : text.size() * 6 + 2;
}

// ---------------------------------------------------------------------------------------------
/// Per-type coding of a member value: how field() and typeCoding() read and write one C++ type.
///
/// Each specialization (bool, the integers, float, double, Text, std::string, Date, TextMap,
/// enumerations with an EnumCoding, records with a fieldTable(), std::shared_ptr of a record and
/// std::vector of any of these) provides, all static:
/// - `kind`: the FieldKind the field tables report;
/// - `typeName()`, `className()`: the names decoding errors and keyed archives use;
/// - `decode(JsonValueHandle&, T&, JsonReadContext&)`: reads one value, or returns false with
///   the error left in the context;
/// - `encode(JsonOutput&, const T&)` and `jsonSize(const T&)`, the room to reserve for it: an
///   upper bound of what encode writes, estimated from a sample for long lists;
/// - `archive(ArchiveWriter&, const T&)` (returns the archived object's uid) and
///   `unarchive(ArchiveReader&, uid, T&)` (false, `T` untouched, when the archived value does
///   not fit the type exactly);
/// - scalar types also `toStore(const T&)` and `fromStore(const StoreValue&, T&)`; lists, maps
///   and records are stored as keyed-archive blobs instead (archiveStoreValue()).

template <class T, class = void>
struct ValueCoding;

template <class T>
concept CodedRecord = requires {
    T::fieldTable();
};

template <class T>
concept CodedEnum = std::is_enum_v<T> && requires(T e) {
    enumCoding(e);
};

/// @cond INTERNAL
// The specializations below each fulfil the contract of ValueCoding above; they are the
// coding machinery of field() and typeCoding() and stay out of the API reference.
template <class Int, FieldKind K>
struct VK_EXPORT IntegerCoding {
    static constexpr FieldKind kind = K;
    static std::string_view typeName() {
        if constexpr (sizeof(Int) == 2)
            return "Int16";
        if constexpr (sizeof(Int) == 4)
            return "Int32";
        return "Int64";
    }
    static std::string_view className() { return "NSNumber"; }
    static bool decode(JsonValueHandle& v, Int& out, JsonReadContext& ctx) {
        std::int64_t n = 0;
        if (!decodeJsonInteger(v, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(),
                               typeName(), n, ctx)) {
            return false;
        }
        out = static_cast<Int>(n);
        return true;
    }
    static void encode(JsonOutput& w, const Int& v) { w.integer(v); }
    static std::size_t jsonSize(const Int& v) { return decimalLength(v); }
    static std::uint64_t archive(ArchiveWriter& w, const Int& v) { return w.integer(v); }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, Int& out) {
        std::int64_t n = 0;
        if (!archivedInteger(r, uid, std::numeric_limits<Int>::min(),
                             std::numeric_limits<Int>::max(), n)) {
            return false;
        }
        out = static_cast<Int>(n);
        return true;
    }
    static StoreValue toStore(const Int& v) { return static_cast<std::int64_t>(v); }
    static bool fromStore(const StoreValue& s, Int& out) {
        auto* n = std::get_if<std::int64_t>(&s);
        if (!n || *n < std::numeric_limits<Int>::min() || *n > std::numeric_limits<Int>::max()) {
            return false;
        }
        out = static_cast<Int>(*n);
        return true;
    }
};

template <>
struct VK_EXPORT ValueCoding<std::int16_t> : IntegerCoding<std::int16_t, FieldKind::Integer16> {};
template <>
struct VK_EXPORT ValueCoding<std::int32_t> : IntegerCoding<std::int32_t, FieldKind::Integer32> {};
template <>
struct VK_EXPORT ValueCoding<std::int64_t> : IntegerCoding<std::int64_t, FieldKind::Integer64> {};

template <>
struct VK_EXPORT ValueCoding<bool> {
    static constexpr FieldKind kind = FieldKind::Boolean;
    static std::string_view typeName() { return "Bool"; }
    static std::string_view className() { return "NSNumber"; }
    static bool decode(JsonValueHandle& v, bool& out, JsonReadContext& ctx) {
        return decodeJsonBool(v, out, ctx);
    }
    static void encode(JsonOutput& w, const bool& v) { w.boolean(v); }
    static std::size_t jsonSize(const bool&) { return 5; }
    static std::uint64_t archive(ArchiveWriter& w, const bool& v) { return w.boolean(v); }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, bool& out) {
        return archivedBoolean(r, uid, out);
    }
    static StoreValue toStore(const bool& v) { return std::int64_t{v ? 1 : 0}; }
    static bool fromStore(const StoreValue& s, bool& out) {
        if (auto* n = std::get_if<std::int64_t>(&s); n && (*n == 0 || *n == 1)) {
            out = *n == 1;
            return true;
        }
        return false;
    }
};

template <>
struct VK_EXPORT ValueCoding<double> {
    static constexpr FieldKind kind = FieldKind::Double;
    static std::string_view typeName() { return "Double"; }
    static std::string_view className() { return "NSNumber"; }
    static bool decode(JsonValueHandle& v, double& out, JsonReadContext& ctx) {
        return decodeJsonDouble(v, out, ctx);
    }
    static void encode(JsonOutput& w, const double& v) { w.number(v); }
    static std::size_t jsonSize(const double&) { return kMaxDoubleLength; }
    static std::uint64_t archive(ArchiveWriter& w, const double& v) { return w.real(v); }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, double& out) {
        return archivedDouble(r, uid, out);
    }
    static StoreValue toStore(const double& v) { return v; }
    static bool fromStore(const StoreValue& s, double& out) {
        if (auto* d = std::get_if<double>(&s)) {
            out = *d;
            return true;
        }
        if (auto* n = std::get_if<std::int64_t>(&s)) {
            out = static_cast<double>(*n);
            return true;
        }
        return false;
    }
};

template <>
struct VK_EXPORT ValueCoding<float> {
    static constexpr FieldKind kind = FieldKind::Float;
    static std::string_view typeName() { return "Float"; }
    static std::string_view className() { return "NSNumber"; }
    static bool decode(JsonValueHandle& v, float& out, JsonReadContext& ctx) {
        double d = 0;
        if (!decodeJsonDouble(v, d, ctx))
            return false;
        // What rounds to the largest float still fits (the encoder writes that float as
        // 3.4028235e+38, a little above it).
        if (!std::isfinite(static_cast<float>(d))) {
            return ctx.fail(DecodingErrorKind::DataCorrupted,
                            "Parsed JSON number does not fit in Float.");
        }
        out = static_cast<float>(d);
        return true;
    }
    static void encode(JsonOutput& w, const float& v) { w.number(v); }
    static std::size_t jsonSize(const float&) { return kMaxDoubleLength; }
    static std::uint64_t archive(ArchiveWriter& w, const float& v) { return w.real(v); }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, float& out) {
        double d = 0;
        if (!archivedDouble(r, uid, d))
            return false;
        float f = static_cast<float>(d);
        if (static_cast<double>(f) != d)
            return false;
        out = f;
        return true;
    }
    static StoreValue toStore(const float& v) { return static_cast<double>(v); }
    static bool fromStore(const StoreValue& s, float& out) {
        double d = 0;
        if (!ValueCoding<double>::fromStore(s, d))
            return false;
        out = static_cast<float>(d);
        return true;
    }
};

template <>
struct VK_EXPORT ValueCoding<Text> {
    static constexpr FieldKind kind = FieldKind::Text;
    static std::string_view typeName() { return "String"; }
    static std::string_view className() { return "NSString"; }
    static bool decode(JsonValueHandle& v, Text& out, JsonReadContext& ctx) {
        return decodeJsonText(v, out, ctx);
    }
    static void encode(JsonOutput& w, const Text& v) { w.text(v); }
    static std::size_t jsonSize(const Text& v) {
        return jsonStringSize(v.view(), v.isJsonPlain() || !v);
    }
    static std::uint64_t archive(ArchiveWriter& w, const Text& v) {
        return v ? w.string(v.view()) : ArchiveWriter::kNull;
    }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, Text& out) {
        std::string_view s;
        if (!r.string(uid, s))
            return false;
        out = Text(s);
        return true;
    }
    static StoreValue toStore(const Text& v) {
        if (!v)
            return std::monostate{};
        return v.str();
    }
    static bool fromStore(const StoreValue& s, Text& out) {
        if (std::holds_alternative<std::monostate>(s)) {
            out.reset();
            return true;
        }
        auto* str = std::get_if<std::string>(&s);
        if (!str)
            return false;
        out = Text(*str);
        return true;
    }
};

template <>
struct VK_EXPORT ValueCoding<std::string> {
    static constexpr FieldKind kind = FieldKind::Text;
    static std::string_view typeName() { return "String"; }
    static std::string_view className() { return "NSString"; }
    static bool decode(JsonValueHandle& v, std::string& out, JsonReadContext& ctx) {
        std::string_view s;
        if (!decodeJsonString(v, s, ctx))
            return false;
        out.assign(s);
        return true;
    }
    static void encode(JsonOutput& w, const std::string& v) { w.string(v); }
    static std::size_t jsonSize(const std::string& v) { return jsonStringSize(v, false); }
    static std::uint64_t archive(ArchiveWriter& w, const std::string& v) { return w.string(v); }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, std::string& out) {
        std::string_view s;
        if (!r.string(uid, s))
            return false;
        out.assign(s);
        return true;
    }
    static StoreValue toStore(const std::string& v) { return v; }
    static bool fromStore(const StoreValue& s, std::string& out) {
        auto* str = std::get_if<std::string>(&s);
        if (!str)
            return false;
        out = *str;
        return true;
    }
};

template <>
struct VK_EXPORT ValueCoding<Date> {
    static constexpr FieldKind kind = FieldKind::Date;
    static std::string_view typeName() { return "Date"; }
    static std::string_view className() { return "NSDate"; }
    static bool decode(JsonValueHandle& v, Date& out, JsonReadContext& ctx) {
        double d = 0;
        if (!decodeJsonDouble(v, d, ctx))
            return false;
        out = dateFromNumber(d, ctx.decoder->dateDecodingStrategy);
        return true;
    }
    static void encode(JsonOutput& w, const Date& v) {
        w.number(dateToNumber(v, w.options().dates));
    }
    static std::size_t jsonSize(const Date&) { return kMaxDoubleLength; }
    static std::uint64_t archive(ArchiveWriter& w, const Date& v) {
        return w.date(secondsSince2001(v));
    }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, Date& out) {
        double s = 0;
        if (!r.date(uid, s))
            return false;
        out = dateFromSecondsSince2001(s);
        return true;
    }
    static StoreValue toStore(const Date& v) {
        return dateToNumber(v, DateCodingStrategy::SecondsSince1970);
    }
    static bool fromStore(const StoreValue& s, Date& out) {
        double d = 0;
        if (!ValueCoding<double>::fromStore(s, d))
            return false;
        out = dateFromNumber(d, DateCodingStrategy::SecondsSince1970);
        return true;
    }
};

template <>
struct VK_EXPORT ValueCoding<TextMap> {
    static constexpr FieldKind kind = FieldKind::Map;
    static std::string_view typeName() { return "[String: String]"; }
    static std::string_view className() { return "NSDictionary"; }
    static bool decode(JsonValueHandle& v, TextMap& out, JsonReadContext& ctx);
    static void encode(JsonOutput& w, const TextMap& v);
    static std::size_t jsonSize(const TextMap& v);
    static std::uint64_t archive(ArchiveWriter& w, const TextMap& v);
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, TextMap& out);
};
/// @endcond

/// Blobs for list, map and record members: keyed archives.
template <class T>
StoreValue archiveStoreValue(const T& value);

/// @cond INTERNAL
template <CodedEnum E>
struct VK_EXPORT ValueCoding<E> {
    static constexpr FieldKind kind = FieldKind::Enumeration;
    static const EnumCoding& coding() { return enumCoding(E{}); }
    static std::string_view typeName() { return coding().typeName; }
    static std::string_view className() { return coding().rawIsText ? "NSString" : "NSNumber"; }
    static bool decode(JsonValueHandle& v, E& out, JsonReadContext& ctx) {
        std::int64_t raw = 0;
        if (!coding().decodeJson(v, raw, ctx))
            return false;
        out = static_cast<E>(raw);
        return true;
    }
    static void encode(JsonOutput& w, const E& v) {
        if (coding().rawIsText) {
            w.string(coding().text(static_cast<std::int64_t>(v)));
        } else {
            w.integer(static_cast<std::int64_t>(v));
        }
    }
    static std::size_t jsonSize(const E& v) {
        if (coding().rawIsText)
            return jsonStringSize(coding().text(static_cast<std::int64_t>(v)), false);
        return decimalLength(static_cast<std::int64_t>(v));
    }
    static std::uint64_t archive(ArchiveWriter& w, const E& v) {
        if (coding().rawIsText)
            return w.string(coding().text(static_cast<std::int64_t>(v)));
        return w.integer(static_cast<std::int64_t>(v));
    }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, E& out) {
        std::int64_t raw = 0;
        if (coding().rawIsText) {
            std::string_view s;
            if (!r.string(uid, s))
                return false;
            auto value = coding().fromText(s);
            if (!value)
                return false;
            raw = *value;
        } else {
            if (!archivedInteger(r, uid, std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::max(), raw)) {
                return false;
            }
            if (!coding().isCase(raw))
                return false;
        }
        out = static_cast<E>(raw);
        return true;
    }
    static StoreValue toStore(const E& v) {
        if (coding().rawIsText)
            return std::string(coding().text(static_cast<std::int64_t>(v)));
        return static_cast<std::int64_t>(v);
    }
    static bool fromStore(const StoreValue& s, E& out) {
        if (auto* n = std::get_if<std::int64_t>(&s); n && !coding().rawIsText) {
            if (!coding().isCase(*n))
                return false;
            out = static_cast<E>(*n);
            return true;
        }
        if (auto* str = std::get_if<std::string>(&s); str && coding().rawIsText) {
            auto value = coding().fromText(*str);
            if (!value)
                return false;
            out = static_cast<E>(*value);
            return true;
        }
        return false;
    }
};
/// @endcond

// ---------------------------------------------------------------------------------------------
// Records

template <class R>
bool decodeRecordFields(JsonValueHandle& h, R& record, JsonReadContext& ctx, bool resetUnseen);

/// A record from a JSON object; `resetUnseen` makes fields the object leaves out absent (or
/// default) instead of leaving them as they were.
template <class R>
bool decodeRecordObject(JsonValueHandle& h, R& record, JsonReadContext& ctx, bool resetUnseen) {
    if (h.peek() != '{')
        return ctx.failType(h, R::fieldTable().recordName());
    return decodeRecordFields(h, record, ctx, resetUnseen);
}

/// The fields of the object at `h` (its opening brace), dispatched by key through the table.
///
/// The object is read in one pass in the order of its text, with the outcome of reading the
/// table's fields in table order and stopping at the first failure: when fields fail (a bad
/// value, a missing or null required key), the one first in the table wins. With `resetUnseen`
/// (filling an existing record) the fields before it hold what was read and it and the fields
/// after it are left absent (or default). Without it the record is a fresh one that the caller
/// discards on failure, so what was read stays (records of the store it refers to remain
/// reachable for the caller's cleanup). The rest of the object is still walked, so malformed JSON
/// anywhere wins over every field's error.
template <class R>
bool decodeRecordFields(JsonValueHandle& h, R& record, JsonReadContext& ctx, bool resetUnseen) {
    const FieldTable<R>& table = R::fieldTable();
    constexpr std::size_t kWords = (FieldTable<R>::kMaxFields + 63) / 64;
    std::uint64_t seen[kWords] = {};
    std::uint64_t nulls[kWords] = {};
    std::size_t failedField = table.size();  // the first field in table order that failed
    DecodingError failure;                   // its error, while later fields are still walked
    h.advance();
    bool more = h.peek() != '}';
    if (!more)
        h.advance();
    std::size_t previous = table.size();  // the last field read; size() at the start
    while (more) {
        // Objects of one type mostly list their keys in the same order: try the key that
        // followed the previous one last time before looking the key up.
        int index = -1;
        std::size_t expected = table.expectedAfter(previous);
        if (expected < table.size() && atJsonKey(h, table[expected].jsonKey)) {
            index = static_cast<int>(expected);
            h.at += 2;
        } else {
            std::string_view key;
            if (!readKeyAs(h, ctx, key, false))
                return false;
            index = table.indexOf(key);
            if (index < 0) {
                // Table keys hold no backslash: only a key written with escapes can still match.
                std::string_view unescaped;
                bool failed = false;
                if (unescapeLastKey(h, ctx, key, unescaped, failed))
                    index = table.indexOf(unescaped);
                if (failed)
                    return false;
            }
            if (index >= 0)
                table.noteFollows(previous, static_cast<std::size_t>(index));
        }
        if (index < 0 || static_cast<std::size_t>(index) >= failedField) {
            // Unknown keys are ignored; fields after a failed one are not read.
            if (!skipValue(h, ctx))
                return false;
        } else {
            const FieldInfo<R>& info = table[static_cast<std::size_t>(index)];
            auto word = static_cast<std::size_t>(index) / 64;
            std::uint64_t bit = std::uint64_t{1} << (static_cast<std::size_t>(index) % 64);
            bool isNull = false;
            if (h.peek() == 'n' && !readNull(h, ctx, isNull))
                return false;
            if (isNull) {
                seen[word] &= ~bit;
                nulls[word] |= bit;
                info.reset(record);
            } else {
                const std::uint32_t* start = h.at;
                if (info.decodeJson(record, h, ctx)) {
                    seen[word] |= bit;
                    nulls[word] &= ~bit;
                } else {
                    ctx.failedIn(info.key);
                    if (ctx.error != nullptr)
                        failure = std::move(*ctx.error);
                    failedField = static_cast<std::size_t>(index);
                    // Walk the value again from its start: only its structure matters now.
                    h.at = start;
                    if (!skipValue(h, ctx))
                        return ctx.failedIn(info.key);  // malformed: that error wins
                }
            }
            previous = static_cast<std::size_t>(index);
        }
        if (!nextMember(h, ctx, '}', more))
            return false;
    }
    if (!resetUnseen && failedField == table.size()) {
        bool missing = false;
        for (std::size_t w = 0; w < kWords; ++w)
            missing |= (table.requiredMask(w) & ~seen[w]) != 0;
        if (!missing)
            return true;
    }
    // A required field before the failed one that the object left out (or gave as null) is the
    // first failure in table order.
    std::size_t first = failedField;
    for (std::size_t i = 0; i < failedField; ++i) {
        const FieldInfo<R>& info = table[i];
        if (info.presence == Presence::Required &&
            !(seen[i / 64] & (std::uint64_t{1} << (i % 64)))) {
            first = i;
            break;
        }
    }
    // Fields after the first failure are left as reading in table order would have left them.
    for (std::size_t i = 0; resetUnseen && i < table.size(); ++i) {
        const bool wasSeen = (seen[i / 64] & (std::uint64_t{1} << (i % 64))) != 0;
        if (i < first ? !wasSeen : (wasSeen || i == failedField))
            table[i].reset(record);
    }
    if (first == table.size())
        return true;
    if (first == failedField) {
        if (ctx.error != nullptr)
            *ctx.error = std::move(failure);
        return false;
    }
    const FieldInfo<R>& info = table[first];
    if (nulls[first / 64] & (std::uint64_t{1} << (first % 64))) {
        ctx.fail(
            DecodingErrorKind::ValueNotFound,
            "Expected a value for key \"" + std::string(info.key) + "\" but found null instead.");
        return ctx.failedIn(info.key);
    }
    return ctx.fail(DecodingErrorKind::KeyNotFound,
                    "No value associated with key \"" + std::string(info.key) + "\".");
}

template <class R>
void encodeRecord(JsonOutput& w, const R& record) {
    w.beginObject();
    for (const FieldInfo<R>& info : R::fieldTable().fields())
        info.encodeJson(record, info, w);
    w.endObject();
}

template <class R>
std::size_t recordJsonSize(const R& record) {
    std::size_t size = 2;
    for (const FieldInfo<R>& info : R::fieldTable().fields())
        size += info.jsonSize(record, info);
    return size;
}

template <class R>
std::uint64_t archiveRecord(ArchiveWriter& w, const R& record) {
    const FieldTable<R>& table = R::fieldTable();
    std::uint64_t object = w.beginObject(table.recordName());
    for (const FieldInfo<R>& info : table.fields()) {
        w.setEntry(object, info.key, info.archive(record, w));
    }
    return object;
}

template <class R>
bool unarchiveRecord(ArchiveReader& r, std::uint64_t uid, R& record) {
    const FieldTable<R>& table = R::fieldTable();
    if (r.kind(uid) != ArchivedKind::Object || r.className(uid) != table.recordName())
        return false;
    for (const FieldInfo<R>& info : table.fields()) {
        info.unarchive(record, r, r.entry(uid, info.key));
    }
    return true;
}

/// @cond INTERNAL
template <CodedRecord R>
struct VK_EXPORT ValueCoding<R> {
    static constexpr FieldKind kind = FieldKind::Record;
    static std::string_view typeName() { return R::fieldTable().recordName(); }
    static std::string_view className() { return R::fieldTable().recordName(); }
    static bool decode(JsonValueHandle& v, R& out, JsonReadContext& ctx) {
        return decodeRecordObject(v, out, ctx, false);
    }
    static void encode(JsonOutput& w, const R& v) { encodeRecord(w, v); }
    static std::size_t jsonSize(const R& v) { return recordJsonSize(v); }
    static std::uint64_t archive(ArchiveWriter& w, const R& v) { return archiveRecord(w, v); }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, R& out) {
        return unarchiveRecord(r, uid, out);
    }
};

/// Records with identity: decoding creates the object (R::makeForDecoding(decoder) when R has
/// one, std::make_shared otherwise); a null pointer is an absent value.
template <CodedRecord R>
struct VK_EXPORT ValueCoding<std::shared_ptr<R>> {
    static constexpr FieldKind kind = FieldKind::Record;
    static std::string_view typeName() { return R::fieldTable().recordName(); }
    static std::string_view className() { return R::fieldTable().recordName(); }
    static std::shared_ptr<R> make(JsonReadContext& ctx) {
        if constexpr (requires { R::makeForDecoding(*ctx.decoder); }) {
            return R::makeForDecoding(*ctx.decoder);
        } else {
            return std::make_shared<R>();
        }
    }
    static bool decode(JsonValueHandle& v, std::shared_ptr<R>& out, JsonReadContext& ctx) {
        auto object = make(ctx);
        if (!object) {
            // Only records that need a store context make nothing: say why.
            if constexpr (requires { R::missingContextError(); }) {
                if (ctx.error != nullptr)
                    *ctx.error = R::missingContextError();
            }
            return false;
        }
        if (!decodeRecordObject(v, *object, ctx, false)) {
            // A half-filled record must not reach the store with the context's next save.
            if constexpr (std::is_base_of_v<ManagedObject, R>) {
                if (auto context = object->managedObjectContext())
                    context->deleteObject(object);
            }
            return false;
        }
        out = std::move(object);
        return true;
    }
    static void encode(JsonOutput& w, const std::shared_ptr<R>& v) {
        if (v) {
            encodeRecord(w, *v);
        } else {
            w.null();
        }
    }
    static std::size_t jsonSize(const std::shared_ptr<R>& v) { return v ? recordJsonSize(*v) : 4; }
    static std::uint64_t archive(ArchiveWriter& w, const std::shared_ptr<R>& v) {
        return v ? archiveRecord(w, *v) : ArchiveWriter::kNull;
    }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, std::shared_ptr<R>& out) {
        auto object = std::make_shared<R>();
        if (!unarchiveRecord(r, uid, *object))
            return false;
        out = std::move(object);
        return true;
    }
};
/// @endcond

/// The most elements a list decode reserves from the length of the previous list of its type.
inline constexpr std::uint32_t kMaxReservedElements = 64;
/// Lists up to this long are sized exactly before an encode; longer ones from a sample.
inline constexpr std::size_t kExactlySizedElements = 64;
/// How many elements of a longer list its size estimate reads.
inline constexpr std::size_t kSampledElements = 32;

/// @cond INTERNAL
template <class T>
struct VK_EXPORT ValueCoding<std::vector<T>> {
    using Element = ValueCoding<T>;
    static constexpr FieldKind kind = FieldKind::List;
    static constexpr FieldKind elementKind = Element::kind;
    static std::string_view typeName() {
        static const Immortal<std::string> name(std::in_place, [] {
            std::string text(1, '[');
            text.append(Element::typeName());
            text.push_back(']');
            return text;
        });
        return *name;
    }
    static std::string_view className() { return "NSArray"; }
    static bool decode(JsonValueHandle& v, std::vector<T>& out, JsonReadContext& ctx) {
        if (v.peek() != '[')
            return ctx.failType(v, typeName());
        out.clear();
        v.advance();
        bool more = v.peek() != ']';
        if (!more)
            v.advance();
        // Lists of one type mostly have alike lengths: reserving what the last one held (up to
        // a few dozen) spares the copies of growing element by element.
        static std::atomic<std::uint32_t> lastCount{0};
        if (more) {
            std::uint32_t hint = lastCount.load(std::memory_order_relaxed);
            if (hint > 1)
                out.reserve(hint < kMaxReservedElements ? hint : kMaxReservedElements);
        }
        for (std::int64_t index = 0; more; ++index) {
            bool isNull = false;
            if (v.peek() == 'n' && !readNull(v, ctx, isNull))
                return ctx.failedAt(index);
            if (isNull) {
                ctx.fail(DecodingErrorKind::ValueNotFound, "Expected " +
                                                               std::string(Element::typeName()) +
                                                               " value but found null instead.");
                return ctx.failedAt(index);
            }
            out.emplace_back();
            if (!Element::decode(v, out.back(), ctx))
                return ctx.failedAt(index);
            if (!nextMember(v, ctx, ']', more))
                return false;
        }
        lastCount.store(static_cast<std::uint32_t>(std::min<std::size_t>(out.size(), UINT32_MAX)),
                        std::memory_order_relaxed);
        if (out.capacity() > out.size())
            out.shrink_to_fit();
        return true;
    }
    static void encode(JsonOutput& w, const std::vector<T>& v) {
        w.beginArray();
        for (const T& element : v)
            Element::encode(w, element);
        w.endArray();
    }
    /// Exact (an upper bound) up to kExactlySizedElements elements; a longer list is sized from
    /// kSampledElements of its elements spread over it, with a quarter to spare. Sizing every
    /// element of a long list walks the whole tree a second time, which costs a third of an
    /// encode; an estimate that falls short only makes the writer grow its string.
    static std::size_t jsonSize(const std::vector<T>& v) {
        const std::size_t count = v.size();
        std::size_t size = 2 + count;
        if (count <= kExactlySizedElements) {
            for (const T& element : v)
                size += Element::jsonSize(element);
            return size;
        }
        std::size_t sampled = 0;
        for (std::size_t i = 0; i < kSampledElements; ++i)
            sampled += Element::jsonSize(v[i * count / kSampledElements]);
        const std::size_t estimate = sampled / kSampledElements * count;
        return size + estimate + estimate / 4;
    }
    static std::uint64_t archive(ArchiveWriter& w, const std::vector<T>& v) {
        std::vector<std::uint64_t> elements;
        elements.reserve(v.size());
        for (const T& element : v)
            elements.push_back(Element::archive(w, element));
        return w.array(elements);
    }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, std::vector<T>& out) {
        std::vector<std::uint64_t> elements;
        if (!r.arrayElements(uid, elements))
            return false;
        std::vector<T> values;
        values.reserve(elements.size());
        for (std::uint64_t element : elements) {
            if (!r.enter())
                return false;
            values.emplace_back();
            bool ok = Element::unarchive(r, element, values.back());
            r.leave();
            if (!ok)
                return false;
        }
        out = std::move(values);
        return true;
    }
};
/// @endcond

// ---------------------------------------------------------------------------------------------
// Presence of a member value: std::optional, Text and shared_ptr can be absent.

/// @cond INTERNAL
// (The presence traits and the member-pointer split serve field() alone.)
template <class T>
struct VK_EXPORT MemberTraits {
    using Value = T;
    static constexpr bool canBeAbsent = false;
    static bool isPresent(const T&) { return true; }
    static void reset(T& v) { v = T{}; }
    static Value& emplace(T& v) { return v; }
    static const Value& get(const T& v) { return v; }
};

template <class U>
struct VK_EXPORT MemberTraits<std::optional<U>> {
    using Value = U;
    static constexpr bool canBeAbsent = true;
    static bool isPresent(const std::optional<U>& v) { return v.has_value(); }
    static void reset(std::optional<U>& v) { v.reset(); }
    static Value& emplace(std::optional<U>& v) { return v.emplace(); }
    static const Value& get(const std::optional<U>& v) { return *v; }
};

template <>
struct VK_EXPORT MemberTraits<Text> {
    using Value = Text;
    static constexpr bool canBeAbsent = true;
    static bool isPresent(const Text& v) { return v.has_value(); }
    static void reset(Text& v) { v.reset(); }
    static Value& emplace(Text& v) { return v; }
    static const Value& get(const Text& v) { return v; }
};

template <class R>
struct VK_EXPORT MemberTraits<std::shared_ptr<R>> {
    using Value = std::shared_ptr<R>;
    static constexpr bool canBeAbsent = true;
    static bool isPresent(const std::shared_ptr<R>& v) { return v != nullptr; }
    static void reset(std::shared_ptr<R>& v) { v.reset(); }
    static Value& emplace(std::shared_ptr<R>& v) { return v; }
    static const Value& get(const std::shared_ptr<R>& v) { return v; }
};

template <auto Member>
struct MemberPointer;
template <class R, class T, T R::*Member>
struct VK_EXPORT MemberPointer<Member> {
    using Record = R;
    using Type = T;
};
/// @endcond

VK_EXPORT bool setArchivedStoreValue(const StoreValue& value, std::string_view transformer,
                                     const TypeCoding& coding, void* out);
VK_EXPORT StoreValue archivedStoreValue(const TypeCoding& coding, const void* value);

/// The FieldInfo for one member. `attribute` names the store attribute (records that are store
/// entities); `transformer` names the value transformer for a persisted list/map/record.
template <auto Member>
FieldInfo<typename MemberPointer<Member>::Record> field(std::string_view key, Presence presence,
                                                        std::string_view attribute = {},
                                                        std::string_view transformer = {}) {
    using R = typename MemberPointer<Member>::Record;
    using T = typename MemberPointer<Member>::Type;
    using Traits = MemberTraits<T>;
    using Value = typename Traits::Value;
    using Coding = ValueCoding<Value>;

    FieldInfo<R> info;
    info.key = key;
    info.attribute = attribute;
    info.transformer = transformer;
    info.kind = Coding::kind;
    if constexpr (requires { Coding::elementKind; }) {
        info.elementKind = Coding::elementKind;
    } else {
        info.elementKind = Coding::kind;
    }
    info.presence = presence;
    info.valueCoding = &typeCoding<Value>();
    info.isPresent = [](const R& r) { return Traits::isPresent(r.*Member); };
    info.reset = [](R& r) { Traits::reset(r.*Member); };
    info.decodeJson = [](R& r, JsonValueHandle& h, JsonReadContext& ctx) {
        return Coding::decode(h, Traits::emplace(r.*Member), ctx);
    };
    info.encodeJson = [](const R& r, const FieldInfo<R>& self, JsonOutput& w) {
        const T& member = r.*Member;
        if constexpr (Traits::canBeAbsent) {
            if (!Traits::isPresent(member)) {
                if (self.presence == Presence::Optional)
                    return;
                w.encodedKey(self.jsonKey);
                if constexpr (std::is_same_v<T, Text>) {
                    w.text(member);  // ""
                } else {
                    w.null();
                }
                return;
            }
        }
        w.encodedKey(self.jsonKey);
        Coding::encode(w, Traits::get(member));
    };
    info.jsonSize = [](const R& r, const FieldInfo<R>& self) -> std::size_t {
        const T& member = r.*Member;
        if constexpr (Traits::canBeAbsent) {
            if (!Traits::isPresent(member))
                return self.presence == Presence::Optional ? 0 : self.jsonKey.size() + 5;
        }
        return self.jsonKey.size() + 1 + Coding::jsonSize(Traits::get(member));
    };
    info.archive = [](const R& r, ArchiveWriter& w) -> std::uint64_t {
        if (!Traits::isPresent(r.*Member))
            return ArchiveWriter::kNull;
        return Coding::archive(w, Traits::get(r.*Member));
    };
    info.unarchive = [](R& r, ArchiveReader& reader, std::uint64_t uid) {
        if (uid == 0 || !reader.enter()) {
            Traits::reset(r.*Member);
            return;
        }
        Value value{};
        bool ok = Coding::unarchive(reader, uid, value);
        reader.leave();
        if (ok) {
            Traits::emplace(r.*Member) = std::move(value);
        } else {
            Traits::reset(r.*Member);
        }
    };
    info.storeValueFn = [](const R& r) -> StoreValue {
        if (!Traits::isPresent(r.*Member))
            return std::monostate{};
        if constexpr (requires(const Value& v) { Coding::toStore(v); }) {
            return Coding::toStore(Traits::get(r.*Member));
        } else {
            return archivedStoreValue(typeCoding<Value>(), &Traits::get(r.*Member));
        }
    };
    info.setStoreValueFn = [](R& r, const StoreValue& s, std::string_view transformer) -> bool {
        if (std::holds_alternative<std::monostate>(s)) {
            Traits::reset(r.*Member);
            return true;
        }
        Value value{};
        bool ok = false;
        if constexpr (requires(Value & v) { Coding::fromStore(s, v); }) {
            (void)transformer;
            ok = Coding::fromStore(s, value);
        } else {
            ok = setArchivedStoreValue(s, transformer, typeCoding<Value>(), &value);
        }
        if (!ok) {
            Traits::reset(r.*Member);
            return false;
        }
        Traits::emplace(r.*Member) = std::move(value);
        return true;
    };
    return info;
}

// ---------------------------------------------------------------------------------------------
// typeCoding<T>(): the erased form of ValueCoding<T>.

template <class T>
VK_EXPORT const TypeCoding& typeCoding() {
    using Coding = ValueCoding<T>;
    static const TypeCoding coding{
        Coding::typeName(),
        Coding::className(),
        Coding::kind,
        [] {
            if constexpr (CodedEnum<T>) {
                return enumCoding(T{}).rawIsText;
            } else {
                return false;
            }
        }(),
        [](void* out, JsonValueHandle& h, JsonReadContext& ctx) {
            return Coding::decode(h, *static_cast<T*>(out), ctx);
        },
        [](const void* in, JsonOutput& w) { Coding::encode(w, *static_cast<const T*>(in)); },
        [](const void* in, ArchiveWriter& w) {
            return Coding::archive(w, *static_cast<const T*>(in));
        },
        [](void* out, ArchiveReader& r, std::uint64_t uid) {
            return Coding::unarchive(r, uid, *static_cast<T*>(out));
        },
        [](const void* in) -> std::size_t { return Coding::jsonSize(*static_cast<const T*>(in)); },
    };
    return coding;
}

}  // namespace vk

/// Instantiates the codings of a record, its list and its optional list in one .cpp file; the
/// record's header declares them with VK_DECLARE_RECORD_CODING.
#define VK_RECORD_CODING(Type)                                 \
    template const ::vk::TypeCoding& ::vk::typeCoding<Type>(); \
    template const ::vk::TypeCoding& ::vk::typeCoding<std::vector<Type>>();
