// How one member type is coded: the per-type codings behind the field tables (ValueCoding) for
// bool, the integers, float, double, Text, std::string, Date, TextMap and enumerations with an
// EnumCoding, and the number conversions they share. Records, record pointers and lists, and the
// field tables built from them, are in FieldCoding.h.
//
// Include only in .cpp files, through FieldCoding.h (it pulls in simdjson).
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

}  // namespace vk
