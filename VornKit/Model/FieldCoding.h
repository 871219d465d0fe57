// The coders behind the field tables: how records, record pointers and lists are read from JSON
// (the token walk of JsonReadContext.h, one forward pass), written to JSON (JsonOutput), archived
// and unarchived (KeyedArchive.h), and turned into store values; and `field<&R::Member>(...)`,
// which builds a FieldInfo from a member. The codings of single values (numbers, texts, dates,
// enumerations) are in ValueCoding.h.
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

#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/ValueCoding.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

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
