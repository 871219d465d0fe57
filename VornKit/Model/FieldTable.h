// FieldTable: the one declaration of a record's fields, in order. JSON decoding, JSON encoding,
// keyed-archive coding and the offline store's mapping all run from it; no record writes its
// mapping twice.
//
// Each FieldInfo carries:
//   key          JSON key and archive key (the server's capitalised name, "RunTimeTicks")
//   attribute    persistent attribute name for store entities ("runTimeTicks"); empty otherwise
//   transformer  for a persisted list/map/record attribute: the name of the value transformer
//                (ValueTransformer.h) its archive is read back with; empty means the default
//                collection transformer (lists and maps of text)
//   kind         what the value is (FieldKind); elementKind for lists and maps
//   presence     Required, Optional or Defaulted (see Presence)
//   accessors    type-erased functions over the member (presence, reset, store values, coding)
//
// For the store author: iterate `table.fields()`; persist the fields whose `attribute` is set.
// Scalar kinds (Boolean, Integer16/32/64, Float, Double, Text, Date, Enumeration) map to columns
// and travel as StoreValue scalars (integers and Booleans as int64, floats as double, enumerations
// as their raw value, dates as seconds since 1970); List, Map and Record travel as StoreBytes,
// which are keyed archives (KeyedArchive.h) read back through the named transformer.
// `storeValue(record)` reads a member, `setStoreValue(record, value)` writes one (a null value
// makes the member absent, or its default for Defaulted fields; false when the value cannot be
// taken).
//
// Thread rule: a table is built once (function-local static, thread-safe initialisation) and its
// fields are immutable afterwards; reading it from any thread is safe. The decoder's key-order
// guesses (expectedAfter) are relaxed atomics, updated from any thread. The accessors touch only
// the record passed in, which the caller synchronises.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Store/ManagedObject.h"

namespace vk {

class JsonOutput;
class ArchiveWriter;
class ArchiveReader;
struct JsonReadContext;
struct JsonValueHandle;
struct TypeCoding;

/// What kind of value a field holds; decides its store column and how its archive is read.
enum class FieldKind : std::uint8_t {
    Boolean,
    Integer16,
    Integer32,
    Integer64,
    Float,   ///< 32-bit floating point
    Double,  ///< 64-bit floating point
    Text,
    Date,
    Enumeration,  ///< raw value an integer or a text, see TypeCoding::enumRawIsText
    Record,
    List,
    Map,  ///< text keys to text values
};

/// What decoding does when the key is absent or null, and when encoding writes the key.
enum class Presence : std::uint8_t {
    Required,   ///< decoding fails (key not found / value not found); always written
    Optional,   ///< absent stays absent; written only when present
    Defaulted,  ///< absent becomes the member type's default (0, false, empty); always written
};

/// The kind's name for messages ("Integer32"); a static string.
VK_EXPORT const char* fieldKindName(FieldKind kind);

/// One field of a record: its keys, kind and presence, and type-erased accessors of the member.
/// Built by field() (FieldCoding.h); the accessors take the record, which the caller synchronises.
template <class R>
struct VK_EXPORT FieldInfo {
    /// JSON key and archive key, the server's capitalised name ("RunTimeTicks").
    std::string_view key;
    std::string_view jsonKey;  ///< the key as JSON with its colon ("\"Id\":"), set by the table
    /// Store attribute name for store entities ("runTimeTicks"); empty when the field is not
    /// persisted.
    std::string_view attribute;
    /// Value transformer a persisted list/map/record is read back with; empty for the default one.
    std::string_view transformer;
    /// What the member's value is.
    FieldKind kind = FieldKind::Text;
    FieldKind elementKind = FieldKind::Text;  ///< element kind of a List or Map
    /// What decoding does with an absent or null key, and when encoding writes it.
    Presence presence = Presence::Optional;
    const TypeCoding* valueCoding = nullptr;  ///< coding of the member's (unwrapped) value type

    bool (*isPresent)(const R&) = nullptr;  ///< false for an absent optional
    void (*reset)(R&) = nullptr;            ///< absent, or the default for Defaulted fields
    /// Backs storeValue(); call that instead.
    StoreValue (*storeValueFn)(const R&) = nullptr;
    /// Backs setStoreValue(); call that instead.
    bool (*setStoreValueFn)(R&, const StoreValue&, std::string_view transformer) = nullptr;

    // Coding of the member; used by the coders in FieldCoding.h.
    /// Reads the member's value; false with the error in the context.
    bool (*decodeJson)(R&, JsonValueHandle&, JsonReadContext&) = nullptr;
    /// Writes key and value when encodes(record) (the field passed is this one).
    void (*encodeJson)(const R&, const FieldInfo&, JsonOutput&) = nullptr;
    /// Room to reserve for encodeJson, with the comma before the key (estimated for long lists).
    std::size_t (*jsonSize)(const R&, const FieldInfo&) = nullptr;
    /// Archives the member; returns the archived value's uid (ArchiveWriter::kNull when absent).
    std::uint64_t (*archive)(const R&, ArchiveWriter&) = nullptr;
    /// Sets the member from an archived object, or makes it absent/default when unsuitable.
    void (*unarchive)(R&, ArchiveReader&, std::uint64_t uid) = nullptr;

    /// The member as a store value: null when absent; scalars as such; lists, maps and records
    /// as keyed-archive blobs.
    StoreValue storeValue(const R& record) const { return storeValueFn(record); }
    /// Sets the member from a store value (blobs are read through `transformer`); a null value
    /// makes it absent (or default). False, with the member absent/default, when unsuitable.
    bool setStoreValue(R& record, const StoreValue& value) const {
        return setStoreValueFn(record, value, transformer);
    }

    /// Whether encoding writes this field's key for `record`.
    bool encodes(const R& record) const {
        return presence != Presence::Optional || isPresent(record);
    }
};

/// The ordered fields of one record type plus the key index used by the decoder.
template <class R>
class VK_EXPORT FieldTable {
  public:
    /// The most fields a record may declare; more is a fatal error at table construction.
    static constexpr std::size_t kMaxFields = 128;

    /// Builds the table and its key index. Duplicate or empty keys and more than kMaxFields fields
    /// are programming errors: they end the process with a message naming the record.
    FieldTable(std::string_view recordName, std::vector<FieldInfo<R>> fields)
        : recordName_(recordName), fields_(std::move(fields)) {
        buildIndex();
    }
    /// A copy with an index of its own (key-order guesses start afresh).
    FieldTable(const FieldTable& other) : FieldTable(other.recordName_, other.fields_) {}
    FieldTable& operator=(const FieldTable&) = delete;

    /// The record's type name, also its archived class name ("BaseItemDto").
    std::string_view recordName() const { return recordName_; }
    /// The fields in declaration order.
    const std::vector<FieldInfo<R>>& fields() const { return fields_; }
    /// Number of fields.
    std::size_t size() const { return fields_.size(); }
    /// Field `i` in declaration order; `i` must be below size().
    const FieldInfo<R>& operator[](std::size_t i) const { return fields_[i]; }

    /// Index of the field with this exact key, or -1.
    int indexOf(std::string_view key) const {
        if (key.empty())
            return -1;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hashKey(key) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.index < 0)
                return -1;
            if (slot.length == key.size() && slot.head == head(key) &&
                (key.size() <= 8 || sameTail(slot.key, key))) {
                return slot.index;
            }
        }
    }
    /// A guess for the decoder: the field that came after field `previous` (size() for the
    /// start of an object) in the last object read; size() when there is none yet. Guesses are
    /// shared by all threads (relaxed atomics); a wrong one only costs a lookup by key.
    std::size_t expectedAfter(std::size_t previous) const {
        return follow_[previous].load(std::memory_order_relaxed);
    }
    /// Records that field `next` followed field `previous` (size() for the start) in the object
    /// just read, for expectedAfter(). Safe from any thread.
    void noteFollows(std::size_t previous, std::size_t next) const {
        follow_[previous].store(static_cast<std::uint8_t>(next), std::memory_order_relaxed);
    }

    /// Bit i % 64 of word i / 64 is set when field i is required.
    std::uint64_t requiredMask(std::size_t word) const { return required_[word]; }
    /// The field whose store attribute is `attribute`, or nullptr.
    const FieldInfo<R>* fieldForAttribute(std::string_view attribute) const {
        for (const auto& f : fields_) {
            if (!f.attribute.empty() && f.attribute == attribute)
                return &f;
        }
        return nullptr;
    }

  private:
    struct Slot {
        int index = -1;
        std::uint32_t length = 0;
        std::uint64_t head = 0;  // the first eight characters, zero-filled
        const char* key = nullptr;
    };
    static std::uint64_t head(std::string_view key) {
        const char* p = key.data();
        std::size_t n = key.size();
        if (n >= 8) {
            std::uint64_t h;
            std::memcpy(&h, p, 8);
            return h;
        }
        if (n >= 4) {
            std::uint32_t lo;
            std::uint32_t hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + n - 4, 4);
            return lo | (std::uint64_t{hi} << ((n - 4) * 8));
        }
        return std::uint64_t{static_cast<unsigned char>(p[0])} |
               (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << (n / 2 * 8)) |
               (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << ((n - 1) * 8));
    }
    /// Whether the characters after the first eight agree (both `a` and `key` have key.size()).
    static bool sameTail(const char* a, std::string_view key) {
        const char* b = key.data();
        std::size_t n = key.size();
        for (std::size_t i = 8; i + 8 < n; i += 8) {
            if (load(a + i) != load(b + i))
                return false;
        }
        return load(a + n - 8) == load(b + n - 8);
    }
    static std::uint64_t load(const char* p) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    static std::size_t hashKey(std::string_view key) {
        std::size_t h = key.size() * 0x9E3779B1u;
        h ^= static_cast<unsigned char>(key[0]) * 0x85EBCA77u;
        h ^= static_cast<unsigned char>(key[key.size() - 1]) * 0xC2B2AE3Du;
        h ^= static_cast<unsigned char>(key[key.size() / 2]) * 0x27D4EB2Fu;
        return h ^ (h >> 15);
    }
    void buildIndex();

    std::string_view recordName_;
    std::vector<FieldInfo<R>> fields_;
    std::vector<Slot> slots_;
    std::unique_ptr<char[]> jsonKeys_;                     // every field's jsonKey, back to back
    std::unique_ptr<std::atomic<std::uint8_t>[]> follow_;  // see expectedAfter()
    std::uint64_t required_[(kMaxFields + 63) / 64] = {};
};

/// Logs a malformed table declaration (`problem` in record `recordName`) and aborts; never returns.
VK_EXPORT void fieldTableFailure(std::string_view recordName, std::string_view problem);
/// Writes `key` as JSON with its colon at `to`; returns the end (room: 6 bytes a byte, plus 3).
VK_EXPORT char* writeJsonKey(char* to, std::string_view key);

template <class R>
void FieldTable<R>::buildIndex() {
    if (fields_.size() > kMaxFields)
        fieldTableFailure(recordName_, "more than 128 fields");
    std::size_t size = 16;
    while (size < fields_.size() * 4)
        size *= 2;
    slots_.assign(size, Slot{});
    std::size_t keyBytes = 0;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        std::string_view key = fields_[f].key;
        if (key.empty())
            fieldTableFailure(recordName_, "empty key");
        if (indexOf(key) >= 0)
            fieldTableFailure(recordName_, key);
        std::size_t i = hashKey(key) & (size - 1);
        while (slots_[i].index >= 0)
            i = (i + 1) & (size - 1);
        slots_[i] = Slot{static_cast<int>(f), static_cast<std::uint32_t>(key.size()), head(key),
                         key.data()};
        keyBytes += key.size() * 6 + 3;
        if (fields_[f].presence == Presence::Required)
            required_[f / 64] |= std::uint64_t{1} << (f % 64);
    }
    follow_.reset(new std::atomic<std::uint8_t>[fields_.size() + 1]);
    for (std::size_t f = 0; f <= fields_.size(); ++f)
        follow_[f].store(static_cast<std::uint8_t>(fields_.size()), std::memory_order_relaxed);
    jsonKeys_.reset(new char[keyBytes + 1]);
    char* at = jsonKeys_.get();
    for (auto& info : fields_) {
        char* end = writeJsonKey(at, info.key);
        info.jsonKey = std::string_view(at, static_cast<std::size_t>(end - at));
        at = end;
    }
}

}  // namespace vk
