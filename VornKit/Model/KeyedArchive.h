// Keyed archives in the keyed-archiver binary property-list layout: a dictionary with
// "$archiver" = "NSKeyedArchiver", "$version" = 100000, "$top" = {"root": UID} and "$objects", an
// array whose first element is "$null". Records are dictionaries holding one UID per field and a
// "$class" UID that points to {"$classname", "$classes"}; lists are NSArray objects
// ("NS.objects"), maps NSDictionary objects ("NS.keys", "NS.objects"), dates NSDate objects
// ("NS.time", seconds since 2001); numbers, Booleans and text are plain property-list values
// referenced by UID; an absent field is UID 0 ($null). Standard property-list tools read these
// archives (Python's plistlib, plistutil).
//
// Reading is defensive: every UID is range-checked, nesting depth is limited, and the number of
// objects visited is bounded by the archive's size, so shared or cyclic references cannot make
// reading loop or grow without bound. Archived class names are mapped through setClassName()
// ("Vorn.MediaSourceInfo" -> "MediaSourceInfo").
//
// ArchiveWriter and ArchiveReader are the building blocks the field tables use (FieldCoding.h);
// archivedData / unarchivedObject are the entry points for callers.
//
// Thread rule: writer and reader objects are single-use and externally synchronised; the free
// functions and the class-name registry are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/CodingError.h"
#include "VornKit/Model/JsonCoding.h"

namespace vk {

/// The bytes of one keyed archive (a binary property list).
using ArchiveBytes = std::vector<std::uint8_t>;

/// Builds one keyed archive object by object. Each call appends an object and returns its UID,
/// which later calls refer to (as a field, an element or the root); finish() gives the bytes.
/// Single-use, externally synchronised.
class VK_EXPORT ArchiveWriter {
  public:
    ArchiveWriter();
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    /// The UID of "$null": what an absent value archives as.
    static constexpr std::uint64_t kNull = 0;
    /// Scalars: a number, a Boolean or (date()) an NSDate object; each returns the new object's
    /// UID.
    /// @{
    std::uint64_t integer(std::int64_t value);
    std::uint64_t real(double value);
    std::uint64_t boolean(bool value);
    std::uint64_t string(std::string_view value);  ///< equal texts share one object
    std::uint64_t date(double secondsSince2001);
    /// @}
    /// A keyed object of `className` ("$classes" = [className, "NSObject"]); fill it with setEntry.
    std::uint64_t beginObject(std::string_view className);
    /// Sets field `key` of the keyed object `object` (from beginObject()) to the UID `value`;
    /// ignored when `object` is no keyed object of this writer.
    void setEntry(std::uint64_t object, std::string_view key, std::uint64_t value);
    /// An NSArray of the objects `elements` names, in order; returns its UID.
    std::uint64_t array(const std::vector<std::uint64_t>& elements);
    /// An NSDictionary of (key UID, value UID) pairs; returns its UID.
    std::uint64_t dictionary(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries);

    /// The binary property list with `root` as "$top"/"root". The writer is spent afterwards.
    ArchiveBytes finish(std::uint64_t root);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

/// What an archived object is, as ArchiveReader::kind() tells it.
enum class ArchivedKind {
    Null,
    Boolean,
    Integer,
    Real,
    String,
    Date,
    Array,
    Dictionary,
    Object,
    Other
};

/// Reads one keyed archive after open(). Every accessor takes a UID and checks it: an unknown UID
/// or an object of another kind gives false (or 0, Other, empty), never a crash, whatever the
/// bytes hold. Single-use, externally synchronised.
class VK_EXPORT ArchiveReader {
  public:
    ArchiveReader();
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    /// The deepest nesting enter() admits.
    static constexpr int kMaxDepth = 32;

    /// Parses and checks the layout; false (with `error`) when this is no keyed archive.
    bool open(const std::uint8_t* bytes, std::size_t size, DecodingError& error);
    /// The UID of the root object ("$top"/"root"); valid after a successful open().
    std::uint64_t root() const;

    /// The kind of the object `uid` names; Other for an out-of-range UID or an unknown object.
    ArchivedKind kind(std::uint64_t uid) const;
    /// The (mapped) class name of an object: record class, "NSArray", "NSDictionary", "NSDate",
    /// "NSString", "NSNumber" or "NSNull" ($null); empty for anything else.
    std::string className(std::uint64_t uid) const;
    /// Scalars: the value of a Boolean, integer, real, string or NSDate object (seconds since
    /// 2001). False, `value` untouched, when `uid` names no object of that kind; a string view
    /// lives as long as the reader.
    /// @{
    bool boolean(std::uint64_t uid, bool& value) const;
    bool integer(std::uint64_t uid, std::int64_t& value) const;
    bool real(std::uint64_t uid, double& value) const;
    bool string(std::uint64_t uid, std::string_view& value) const;
    bool date(std::uint64_t uid, double& secondsSince2001) const;
    /// @}
    /// The UID stored under `key` in a keyed object; 0 ($null) when the key is missing or holds
    /// no UID.
    std::uint64_t entry(std::uint64_t object, std::string_view key) const;
    /// The element UIDs of an NSArray; false when `uid` names none.
    bool arrayElements(std::uint64_t uid, std::vector<std::uint64_t>& elements) const;
    /// The (key UID, value UID) pairs of an NSDictionary; false when `uid` names none.
    bool dictionaryEntries(std::uint64_t uid,
                           std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) const;

    /// Called around each nested value read; false when depth or the visit budget is spent.
    bool enter();
    /// Ends the nested read a successful enter() began.
    void leave() { --depth_; }

  private:
    struct State;
    std::unique_ptr<State> state_;
    int depth_ = 0;
    std::size_t budget_ = 0;
};

/// Maps an archived class name to today's class name (for example "Vorn.NameIdPair" ->
/// "NameIdPair"). Thread-safe.
VK_EXPORT void setArchivedClassName(std::string archivedName, std::string className);
/// The class name `archivedName` maps to, or `archivedName` itself when it has no mapping.
/// Thread-safe.
VK_EXPORT std::string mappedClassName(std::string_view archivedName);

/// Archives `value` with `coding` as the root object.
VK_EXPORT ArchiveBytes archiveRoot(const TypeCoding& coding, const void* value);

/// Reads the root object into `out`. `allowedClasses` (empty: no check) must contain the root's
/// class and, for an NSArray root, each element's class. Fails with DataCorrupted for bytes that
/// are no keyed archive or a root that is not a value of `coding`'s type.
VK_EXPORT bool unarchiveRoot(const std::uint8_t* bytes, std::size_t size,
                             const std::vector<std::string>& allowedClasses,
                             const TypeCoding& coding, void* out, DecodingError& error);

/// The class name of an archive's root object ("NSArray", "NameIdPair", ...), or empty.
VK_EXPORT std::string archivedRootClassName(const std::uint8_t* bytes, std::size_t size);

/// `value` (any coded type: a record, a list, a map, a scalar) as a keyed archive.
template <class T>
ArchiveBytes archivedData(const T& value) {
    return archiveRoot(typeCoding<T>(), &value);
}

/// The T a keyed archive holds, or the decoding error; `allowedClasses` as for unarchiveRoot().
template <class T>
CodingResult<T> unarchivedObject(const ArchiveBytes& bytes,
                                 const std::vector<std::string>& allowedClasses) {
    T value{};
    DecodingError error;
    if (unarchiveRoot(bytes.data(), bytes.size(), allowedClasses, typeCoding<T>(), &value, error)) {
        return value;
    }
    return error;
}

}  // namespace vk
