#include "VornKit/Model/KeyedArchive.h"

#include "VornKit/Platform/Coding/BinaryPlistWriter.h"
#include "VornKit/Platform/Runtime/Immortal.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vk {

namespace {

std::mutex& classNameMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::string, std::less<>>& classNameMap() {
    static Immortal<std::map<std::string, std::string, std::less<>>> map;
    return *map;
}

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::string_view stringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return {};
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr)
        return {};
    return {text, static_cast<std::size_t>(length)};
}

bool uidOf(plist_t node, std::uint64_t& uid) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UID)
        return false;
    plist_get_uid_val(node, &uid);
    return true;
}

}  // namespace

void setArchivedClassName(std::string archivedName, std::string className) {
    std::lock_guard lock(classNameMutex());
    classNameMap()[std::move(archivedName)] = std::move(className);
}

std::string mappedClassName(std::string_view archivedName) {
    std::lock_guard lock(classNameMutex());
    auto it = classNameMap().find(archivedName);
    return it == classNameMap().end() ? std::string(archivedName) : it->second;
}

// ---------------------------------------------------------------------------------------------
// Writer

// Objects are written straight into a binary property list; keyed objects (records, whose entries
// arrive after the object is made) are laid out, in UID order, when the archive is finished.
// Each thread keeps the state of its last finished writer for the next one, so the containers'
// memory is taken once rather than for every archive.
struct ArchiveWriter::State {
    using Entries = std::vector<std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref>>;
    static constexpr std::uint32_t kNotKeyed = ~std::uint32_t{0};
    /// Archives above this many objects do not leave their state for the next writer.
    static constexpr std::size_t kKeptObjects = 4096;

    BinaryPlistWriter plist;
    static constexpr BinaryPlistWriter::Ref kPending = ~BinaryPlistWriter::Ref{0};
    std::vector<BinaryPlistWriter::Ref> objects;  ///< archive UID -> plist object (or kPending)
    std::vector<std::uint32_t> keyedList;  ///< archive UID -> index into `entries` (or kNotKeyed)
    std::vector<Entries> entries;          ///< entries of pending keyed objects
    std::size_t entriesUsed = 0;
    /// Plist text object -> archive UID of that text as a value / of the class it names.
    std::vector<std::uint64_t> textUids;
    std::vector<std::uint64_t> classUids;
    std::vector<BinaryPlistWriter::Ref> scratch;
    BinaryPlistWriter::Ref classKey = plist.string("$class");

    static std::unique_ptr<State>& spare() {
        thread_local std::unique_ptr<State> state;
        return state;
    }
    /// An empty archive again, keeping the memory taken.
    void clear() {
        plist.clear();
        objects.clear();
        keyedList.clear();
        for (std::size_t i = 0; i < entriesUsed; ++i)
            entries[i].clear();
        entriesUsed = 0;
        textUids.clear();
        classUids.clear();
        classKey = plist.string("$class");
    }
    Entries* keyedEntries(std::uint64_t uid) {
        if (uid >= keyedList.size() || keyedList[uid] == kNotKeyed)
            return nullptr;
        return &entries[keyedList[uid]];
    }

    std::uint64_t append(BinaryPlistWriter::Ref ref) {
        objects.push_back(ref);
        return objects.size() - 1;
    }
    /// The slot of `ref` in a plist-reference -> UID table (0: none yet).
    static std::uint64_t& slot(std::vector<std::uint64_t>& table, BinaryPlistWriter::Ref ref) {
        if (ref >= table.size())
            table.resize(ref + 1, 0);
        return table[ref];
    }
    std::uint64_t classObject(std::string_view name) {
        const BinaryPlistWriter::Ref nameRef = plist.string(name);
        std::uint64_t& uid = slot(classUids, nameRef);
        if (uid != 0)
            return uid;
        const BinaryPlistWriter::Ref names[] = {nameRef, plist.string("NSObject")};
        const std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref> entries[] = {
            {plist.string("$classes"), plist.array(names, 2)},
            {plist.string("$classname"), names[0]}};
        uid = append(plist.dictionary(entries, 2));
        return uid;
    }
    BinaryPlistWriter::Ref uidArray(const std::uint64_t* uids, std::size_t count) {
        scratch.clear();
        for (std::size_t i = 0; i < count; ++i)
            scratch.push_back(plist.uid(uids[i]));
        return plist.array(scratch);
    }
};

ArchiveWriter::ArchiveWriter() {
    auto& spare = State::spare();
    state_ = spare ? std::move(spare) : std::make_unique<State>();
    state_->append(state_->plist.string("$null"));
}

ArchiveWriter::~ArchiveWriter() {
    auto& spare = State::spare();
    if (!spare && state_->objects.capacity() <= State::kKeptObjects) {
        state_->clear();
        spare = std::move(state_);
    }
}

std::uint64_t ArchiveWriter::integer(std::int64_t value) {
    return state_->append(state_->plist.integer(value));
}

std::uint64_t ArchiveWriter::real(double value) {
    return state_->append(state_->plist.real(value));
}

std::uint64_t ArchiveWriter::boolean(bool value) {
    return state_->append(state_->plist.boolean(value));
}

std::uint64_t ArchiveWriter::string(std::string_view value) {
    auto& s = *state_;
    const BinaryPlistWriter::Ref ref = s.plist.string(value);
    std::uint64_t& uid = State::slot(s.textUids, ref);
    if (uid == 0)
        uid = s.append(ref);
    return uid;
}

std::uint64_t ArchiveWriter::date(double secondsSince2001) {
    auto& plist = state_->plist;
    std::uint64_t cls = state_->classObject("NSDate");
    const std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref> entries[] = {
        {plist.string("NS.time"), plist.real(secondsSince2001)},
        {state_->classKey, plist.uid(cls)}};
    return state_->append(plist.dictionary(entries, 2));
}

std::uint64_t ArchiveWriter::beginObject(std::string_view className) {
    std::uint64_t cls = state_->classObject(className);
    auto& s = *state_;
    std::uint64_t uid = s.append(State::kPending);
    if (s.entriesUsed == s.entries.size())
        s.entries.emplace_back();
    s.keyedList.resize(s.objects.size(), State::kNotKeyed);
    s.keyedList[uid] = static_cast<std::uint32_t>(s.entriesUsed);
    s.entries[s.entriesUsed++].emplace_back(s.classKey, s.plist.uid(cls));
    return uid;
}

void ArchiveWriter::setEntry(std::uint64_t object, std::string_view key, std::uint64_t value) {
    auto* entries = state_->keyedEntries(object);
    if (entries == nullptr)
        return;  // not a keyed object of this writer
    auto& plist = state_->plist;
    entries->emplace_back(plist.string(key), plist.uid(value));
}

std::uint64_t ArchiveWriter::array(const std::vector<std::uint64_t>& elements) {
    auto& plist = state_->plist;
    std::uint64_t cls = state_->classObject("NSArray");
    const std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref> entries[] = {
        {plist.string("NS.objects"), state_->uidArray(elements.data(), elements.size())},
        {state_->classKey, plist.uid(cls)}};
    return state_->append(plist.dictionary(entries, 2));
}

std::uint64_t ArchiveWriter::dictionary(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) {
    auto& plist = state_->plist;
    std::uint64_t cls = state_->classObject("NSDictionary");
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> values;
    for (const auto& [key, value] : entries) {
        keys.push_back(key);
        values.push_back(value);
    }
    const std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref> fields[] = {
        {plist.string("NS.keys"), state_->uidArray(keys.data(), keys.size())},
        {plist.string("NS.objects"), state_->uidArray(values.data(), values.size())},
        {state_->classKey, plist.uid(cls)}};
    return state_->append(plist.dictionary(fields, 3));
}

ArchiveBytes ArchiveWriter::finish(std::uint64_t root) {
    auto& plist = state_->plist;
    for (std::size_t uid = 0; uid < state_->keyedList.size(); ++uid) {
        if (auto* entries = state_->keyedEntries(uid))
            state_->objects[uid] = plist.dictionary(*entries);
    }
    const auto objects = plist.array(state_->objects);
    const std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref> topEntries[] = {
        {plist.string("root"), plist.uid(root)}};
    const auto top = plist.dictionary(topEntries, 1);
    const std::pair<BinaryPlistWriter::Ref, BinaryPlistWriter::Ref> archive[] = {
        {plist.string("$archiver"), plist.string("NSKeyedArchiver")},
        {plist.string("$objects"), objects},
        {plist.string("$top"), top},
        {plist.string("$version"), plist.integer(100000)}};
    ArchiveBytes bytes = plist.finish(plist.dictionary(archive, 4));
    state_->clear();
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Reader

struct ArchiveReader::State {
    PlistPtr top;
    plist_t objects = nullptr;
    std::uint64_t count = 0;
    std::uint64_t root = 0;

    plist_t object(std::uint64_t uid) const {
        if (uid >= count)
            return nullptr;
        return plist_array_get_item(objects, static_cast<uint32_t>(uid));
    }
    /// The raw "$classname" of a keyed object, or empty.
    std::string_view rawClassName(plist_t node) const {
        if (node == nullptr || plist_get_node_type(node) != PLIST_DICT)
            return {};
        std::uint64_t cls = 0;
        if (!uidOf(plist_dict_get_item(node, "$class"), cls))
            return {};
        plist_t clsNode = object(cls);
        if (clsNode == nullptr || plist_get_node_type(clsNode) != PLIST_DICT)
            return {};
        return stringOf(plist_dict_get_item(clsNode, "$classname"));
    }
};

ArchiveReader::ArchiveReader() : state_(std::make_unique<State>()) {}
ArchiveReader::~ArchiveReader() = default;

bool ArchiveReader::open(const std::uint8_t* bytes, std::size_t size, DecodingError& error) {
    error = DecodingError{DecodingErrorKind::DataCorrupted, "", "The data is not a keyed archive."};
    if (bytes == nullptr || size < 8 || size > UINT32_MAX)
        return false;
    if (std::memcmp(bytes, "bplist00", 8) != 0)
        return false;
    plist_t top = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes), static_cast<uint32_t>(size), &top);
    if (top == nullptr)
        return false;
    state_->top.reset(top);
    if (plist_get_node_type(top) != PLIST_DICT)
        return false;
    if (stringOf(plist_dict_get_item(top, "$archiver")) != "NSKeyedArchiver")
        return false;
    plist_t objects = plist_dict_get_item(top, "$objects");
    if (objects == nullptr || plist_get_node_type(objects) != PLIST_ARRAY)
        return false;
    plist_t topDict = plist_dict_get_item(top, "$top");
    if (topDict == nullptr || plist_get_node_type(topDict) != PLIST_DICT)
        return false;
    std::uint64_t root = 0;
    if (!uidOf(plist_dict_get_item(topDict, "root"), root))
        return false;
    state_->objects = objects;
    state_->count = plist_array_get_size(objects);
    if (state_->count == 0 || stringOf(state_->object(0)) != "$null")
        return false;
    if (root >= state_->count) {
        error.message = "The archive's root object is out of range.";
        return false;
    }
    state_->root = root;
    budget_ = size + 64;
    depth_ = 0;
    return true;
}

std::uint64_t ArchiveReader::root() const {
    return state_->root;
}

bool ArchiveReader::enter() {
    if (depth_ >= kMaxDepth || budget_ == 0)
        return false;
    ++depth_;
    --budget_;
    return true;
}

ArchivedKind ArchiveReader::kind(std::uint64_t uid) const {
    if (uid == 0)
        return ArchivedKind::Null;
    plist_t node = state_->object(uid);
    if (node == nullptr)
        return ArchivedKind::Other;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN:
            return ArchivedKind::Boolean;
        case PLIST_UINT:
            return ArchivedKind::Integer;
        case PLIST_REAL:
            return ArchivedKind::Real;
        case PLIST_STRING:
            return ArchivedKind::String;
        case PLIST_DICT: {
            std::string name = mappedClassName(state_->rawClassName(node));
            if (name.empty())
                return ArchivedKind::Other;
            if (name == "NSArray" || name == "NSMutableArray")
                return ArchivedKind::Array;
            if (name == "NSDictionary" || name == "NSMutableDictionary") {
                return ArchivedKind::Dictionary;
            }
            if (name == "NSDate")
                return ArchivedKind::Date;
            return ArchivedKind::Object;
        }
        default:
            return ArchivedKind::Other;
    }
}

std::string ArchiveReader::className(std::uint64_t uid) const {
    switch (kind(uid)) {
        case ArchivedKind::Null:
            return "NSNull";
        case ArchivedKind::Boolean:
        case ArchivedKind::Integer:
        case ArchivedKind::Real:
            return "NSNumber";
        case ArchivedKind::String:
            return "NSString";
        case ArchivedKind::Array:
            return "NSArray";
        case ArchivedKind::Dictionary:
            return "NSDictionary";
        case ArchivedKind::Date:
            return "NSDate";
        case ArchivedKind::Object:
            return mappedClassName(state_->rawClassName(state_->object(uid)));
        case ArchivedKind::Other:
            return {};
    }
    return {};
}

bool ArchiveReader::boolean(std::uint64_t uid, bool& value) const {
    plist_t node = uid == 0 ? nullptr : state_->object(uid);
    if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN)
        return false;
    uint8_t b = 0;
    plist_get_bool_val(node, &b);
    value = b != 0;
    return true;
}

bool ArchiveReader::integer(std::uint64_t uid, std::int64_t& value) const {
    plist_t node = uid == 0 ? nullptr : state_->object(uid);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT)
        return false;
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    value = static_cast<std::int64_t>(v);
    return true;
}

bool ArchiveReader::real(std::uint64_t uid, double& value) const {
    plist_t node = uid == 0 ? nullptr : state_->object(uid);
    if (node == nullptr || plist_get_node_type(node) != PLIST_REAL)
        return false;
    plist_get_real_val(node, &value);
    return true;
}

bool ArchiveReader::string(std::uint64_t uid, std::string_view& value) const {
    plist_t node = uid == 0 ? nullptr : state_->object(uid);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return false;
    value = stringOf(node);
    return true;
}

bool ArchiveReader::date(std::uint64_t uid, double& secondsSince2001) const {
    if (kind(uid) != ArchivedKind::Date)
        return false;
    plist_t time = plist_dict_get_item(state_->object(uid), "NS.time");
    if (time == nullptr)
        return false;
    if (plist_get_node_type(time) == PLIST_REAL) {
        plist_get_real_val(time, &secondsSince2001);
        return true;
    }
    if (plist_get_node_type(time) == PLIST_UINT) {
        uint64_t v = 0;
        plist_get_uint_val(time, &v);
        secondsSince2001 = static_cast<double>(static_cast<std::int64_t>(v));
        return true;
    }
    return false;
}

std::uint64_t ArchiveReader::entry(std::uint64_t object, std::string_view key) const {
    plist_t node = object == 0 ? nullptr : state_->object(object);
    if (node == nullptr || plist_get_node_type(node) != PLIST_DICT)
        return 0;
    std::uint64_t uid = 0;
    if (!uidOf(plist_dict_get_item(node, std::string(key).c_str()), uid))
        return 0;
    return uid < state_->count ? uid : 0;
}

namespace {

bool uidList(plist_t list, std::uint64_t count, std::vector<std::uint64_t>& out) {
    if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY)
        return false;
    uint32_t size = plist_array_get_size(list);
    out.clear();
    out.reserve(size);
    for (uint32_t i = 0; i < size; ++i) {
        std::uint64_t uid = 0;
        if (!uidOf(plist_array_get_item(list, i), uid) || uid >= count)
            return false;
        out.push_back(uid);
    }
    return true;
}

}  // namespace

bool ArchiveReader::arrayElements(std::uint64_t uid, std::vector<std::uint64_t>& elements) const {
    if (kind(uid) != ArchivedKind::Array)
        return false;
    return uidList(plist_dict_get_item(state_->object(uid), "NS.objects"), state_->count, elements);
}

bool ArchiveReader::dictionaryEntries(
    std::uint64_t uid, std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) const {
    if (kind(uid) != ArchivedKind::Dictionary)
        return false;
    plist_t node = state_->object(uid);
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> values;
    if (!uidList(plist_dict_get_item(node, "NS.keys"), state_->count, keys))
        return false;
    if (!uidList(plist_dict_get_item(node, "NS.objects"), state_->count, values))
        return false;
    if (keys.size() != values.size())
        return false;
    entries.clear();
    for (std::size_t i = 0; i < keys.size(); ++i)
        entries.emplace_back(keys[i], values[i]);
    return true;
}

// ---------------------------------------------------------------------------------------------

ArchiveBytes archiveRoot(const TypeCoding& coding, const void* value) {
    ArchiveWriter writer;
    std::uint64_t root = coding.archive(value, writer);
    return writer.finish(root);
}

std::string archivedRootClassName(const std::uint8_t* bytes, std::size_t size) {
    ArchiveReader reader;
    DecodingError error;
    if (!reader.open(bytes, size, error))
        return {};
    return reader.className(reader.root());
}

bool unarchiveRoot(const std::uint8_t* bytes, std::size_t size,
                   const std::vector<std::string>& allowedClasses, const TypeCoding& coding,
                   void* out, DecodingError& error) {
    ArchiveReader reader;
    if (!reader.open(bytes, size, error))
        return false;
    std::uint64_t root = reader.root();
    if (!allowedClasses.empty()) {
        auto allowed = [&](const std::string& name) {
            for (const auto& a : allowedClasses) {
                if (a == name)
                    return true;
            }
            return false;
        };
        std::string rootClass = reader.className(root);
        if (!allowed(rootClass)) {
            error = {DecodingErrorKind::DataCorrupted, "",
                     "The archive's top-level class \"" + rootClass + "\" is not allowed."};
            return false;
        }
        if (reader.kind(root) == ArchivedKind::Array) {
            std::vector<std::uint64_t> elements;
            reader.arrayElements(root, elements);
            for (std::size_t i = 0; i < elements.size(); ++i) {
                std::string elementClass = reader.className(elements[i]);
                if (!allowed(elementClass)) {
                    error = {DecodingErrorKind::DataCorrupted, "[" + std::to_string(i) + "]",
                             "The archive holds an object of class \"" + elementClass +
                                 "\", which is not allowed."};
                    return false;
                }
            }
        }
    }
    if (!coding.unarchive(out, reader, root)) {
        error = {DecodingErrorKind::DataCorrupted, "",
                 "The archive's root object is not a " + std::string(coding.typeName) + "."};
        return false;
    }
    return true;
}

}  // namespace vk
