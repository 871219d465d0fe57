// JSON coding of the records: JsonDecoder (simdjson's first stage, then one forward pass over each
// object's fields, dispatch by key through the record's FieldTable; see JsonReadContext.h) and
// JsonEncoder (compact, keys in table order, absent optionals left out).
//
// Texts of a decoded document come from one arena (Text.h): they live independently of the
// document and of the decoder, and free their storage with the last of them.
//
// Decoding rules shared by every record: absent and null read alike; unknown keys are ignored;
// keys are matched exactly after unescaping; a value of the wrong JSON type is a type mismatch;
// an integer outside its field's width, an unknown enumeration case or malformed JSON is data
// corrupted; a missing required key is key not found. Nesting is bounded by the record types
// themselves (skipped values are walked without recursion), so any input gives a record or an
// error.
//
// Decoding reads from a padded buffer (kJsonPadding readable bytes after the text, the first of
// them a zero). Passing a std::string whose capacity already leaves that room (see
// reservePadding) avoids a copy; anything else is copied once. Each thread keeps simdjson's
// buffers for documents up to 1 MiB; larger documents get buffers released when the decode
// ends.
//
// Thread rule: a decoder or encoder object is a small value of options; it may be used from
// several threads at once as long as nobody changes its options meanwhile. Results belong to the
// caller.
#pragma once

#include <any>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/CodingError.h"
#include "VornKit/Model/Text.h"
#include "VornKit/Model/TextMap.h"

namespace vk {

class JsonOutput;
class ArchiveWriter;
class ArchiveReader;
struct JsonReadContext;
struct JsonValueHandle;
enum class FieldKind : std::uint8_t;

/// A point in time. Records hold dates as this; coders turn them into numbers per strategy.
using Date = std::chrono::system_clock::time_point;

enum class DateCodingStrategy {
    DeferredToDate,         ///< seconds since 2001-01-01 00:00 UTC, a JSON number (the default)
    SecondsSince1970,       ///< seconds since 1970-01-01 00:00 UTC
    MillisecondsSince1970,  ///< milliseconds since 1970-01-01 00:00 UTC
};

/// Options the encoder passes down to every value.
struct VK_EXPORT JsonWriteOptions {
    /// How dates are written.
    DateCodingStrategy dates = DateCodingStrategy::DeferredToDate;
    mutable bool invalidValue = false;  ///< set when a value cannot be written (a NaN double)
    /// The coding path of the value that could not be written, when `invalidValue` is set.
    mutable std::string invalidPath;
};

/// How one C++ type is coded; one instance per type, built on first use (FieldCoding.h).
struct VK_EXPORT TypeCoding {
    std::string_view typeName;   ///< "BaseItemDto", "[NameIdPair]", "Text", ...
    std::string_view className;  ///< archived class name: the record name, "NSArray", "NSString"
    /// What kind of value the type is.
    FieldKind kind;
    bool enumRawIsText = false;  ///< for enumerations: raw values are texts, not integers
    /// The type's coding over erased values: `out` and `in` point to a value of the type.
    /// decodeJson reads one value (false, with the error in the context); encodeJson writes it;
    /// archive writes it to a keyed archive and returns its UID.
    /// @{
    bool (*decodeJson)(void* out, JsonValueHandle&, JsonReadContext&) = nullptr;
    void (*encodeJson)(const void* in, JsonOutput&) = nullptr;
    std::uint64_t (*archive)(const void* in, ArchiveWriter&) = nullptr;
    /// @}
    /// false when the archived object is not a value of this type.
    bool (*unarchive)(void* out, ArchiveReader&, std::uint64_t uid) = nullptr;
    /// Room to reserve for encodeJson: an upper bound, estimated for long lists.
    std::size_t (*jsonSize)(const void* in) = nullptr;
};

/// The coding of T. Defined in FieldCoding.h; record headers declare their instantiations.
template <class T>
VK_EXPORT const TypeCoding& typeCoding();

// Plain values and lists of them, instantiated by the library: decode<T>() and encode() take
// these as a document's top-level value too.
extern template const TypeCoding& typeCoding<bool>();
extern template const TypeCoding& typeCoding<std::int16_t>();
extern template const TypeCoding& typeCoding<std::int32_t>();
extern template const TypeCoding& typeCoding<std::int64_t>();
extern template const TypeCoding& typeCoding<float>();
extern template const TypeCoding& typeCoding<double>();
extern template const TypeCoding& typeCoding<std::string>();
extern template const TypeCoding& typeCoding<Text>();
extern template const TypeCoding& typeCoding<TextMap>();
extern template const TypeCoding& typeCoding<std::vector<std::int64_t>>();
extern template const TypeCoding& typeCoding<std::vector<std::string>>();
extern template const TypeCoding& typeCoding<std::vector<Text>>();

inline constexpr std::size_t kJsonPadding = 64;

/// Decodes JSON text into records (see the file comment for the rules).
class VK_EXPORT JsonDecoder {
  public:
    /// How numbers in date fields are read.
    DateCodingStrategy dateDecodingStrategy = DateCodingStrategy::DeferredToDate;
    /// Values a record's decoding may consult (the offline store puts its context under
    /// "managedObjectContext").
    std::map<std::string, std::any> userInfo;

    template <class T>
    /// The value of type T that `json` holds, or the decoding error; `json` is copied once.
    CodingResult<T> decode(std::string_view json) const {
        return decodeAs<T>(json, 0);
    }
    template <class T>
    /// As decode(std::string_view), for a NUL-terminated text.
    CodingResult<T> decode(const char* json) const {
        return decodeAs<T>(std::string_view(json), 0);
    }
    /// No copy when `json.capacity()` leaves kJsonPadding bytes after the text.
    template <class T>
    CodingResult<T> decode(const std::string& json) const {
        return decodeAs<T>(json, json.capacity() - json.size());
    }

    /// Grows the capacity of `json` so that decode() can read it in place.
    static void reservePadding(std::string& json) { json.reserve(json.size() + kJsonPadding); }

    /// Type-erased entry used by decode<T>; `slack` is how many readable bytes follow the text
    /// (it is read in place when there are kJsonPadding of them and the first is a zero).
    bool decodeInto(std::string_view json, std::size_t slack, const TypeCoding& coding, void* out,
                    DecodingError& error) const;

  private:
    template <class T>
    CodingResult<T> decodeAs(std::string_view json, std::size_t slack) const {
        T value{};
        DecodingError error;
        if (decodeInto(json, slack, typeCoding<T>(), &value, error))
            return value;
        return error;
    }
};

/// Encodes records as compact JSON (see the file comment).
class VK_EXPORT JsonEncoder {
  public:
    /// How dates are written.
    DateCodingStrategy dateEncodingStrategy = DateCodingStrategy::DeferredToDate;

    /// Compact JSON, or absent when a value cannot be represented (a NaN or infinite double).
    template <class T>
    std::optional<std::string> encode(const T& value) const {
        return encodeErased(typeCoding<T>(), &value);
    }
    /// Type-erased entry used by encode<T>: `value` points to a value that `coding` describes.
    std::optional<std::string> encodeErased(const TypeCoding& coding, const void* value) const;
};

}  // namespace vk

/// Declares, in a record's header, the codings its .cpp instantiates with VK_RECORD_CODING.
#define VK_DECLARE_RECORD_CODING(Type)                                \
    extern template const ::vk::TypeCoding& ::vk::typeCoding<Type>(); \
    extern template const ::vk::TypeCoding& ::vk::typeCoding<std::vector<Type>>();
