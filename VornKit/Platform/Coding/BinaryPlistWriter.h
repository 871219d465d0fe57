// Writes binary property lists ("bplist00"): values are added bottom-up and referred to by the
// reference each add returns; finish() lays out the object table, the offset table and the
// trailer. Strings and UIDs are stored once however often they are added. Text that is not plain
// ASCII is written as UTF-16 (big-endian), as the format requires.
//
// Thread rule: externally synchronised; one writer builds one property list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// Builds one binary property list bottom-up: each add returns a reference the containers and
/// finish() take. Externally synchronised.
class VK_EXPORT BinaryPlistWriter {
  public:
    /// A reference to an added object; valid only with the writer that returned it.
    using Ref = std::uint32_t;

    /// A text (UTF-8); an equal text added before gives the same reference.
    Ref string(std::string_view text);
    /// Scalars: an integer, a real or a Boolean.
    /// @{
    Ref integer(std::int64_t value);
    Ref real(double value);
    Ref boolean(bool value);
    /// @}
    /// A UID object (the references of keyed archives); an equal UID added before gives the same
    /// reference.
    Ref uid(std::uint64_t value);
    /// An array of the objects referred to, in order.
    /// @{
    Ref array(const Ref* elements, std::size_t count);
    Ref array(const std::vector<Ref>& elements) { return array(elements.data(), elements.size()); }
    /// @}
    /// A dictionary of (key, value) references, in order; keys must be string references.
    /// @{
    Ref dictionary(const std::pair<Ref, Ref>* entries, std::size_t count);
    Ref dictionary(const std::vector<std::pair<Ref, Ref>>& entries) {
        return dictionary(entries.data(), entries.size());
    }
    /// @}

    /// The property list with `top` as its root object.
    std::vector<std::uint8_t> finish(Ref top) const;

    /// Objects added so far (shared texts and UIDs count once).
    std::size_t objectCount() const { return objects_.size(); }
    /// Back to an empty property list; the memory already taken is kept for the next one.
    void clear();

  private:
    struct Object {
        bool container;
        std::uint8_t marker;  ///< containers: 0xA0 array, 0xD0 dictionary
        std::uint32_t begin;  ///< into bytes_ (scalars) or refs_ (containers)
        std::uint32_t size;   ///< byte count, or element count (entries for dictionaries)
    };
    Ref addScalar(const std::uint8_t* bytes, std::size_t size);

    std::vector<Object> objects_;
    std::vector<std::uint8_t> bytes_;  ///< encoded scalars, back to back
    std::vector<Ref> refs_;            ///< container elements (dictionaries: keys, then values)
    /// Texts added so far: an open-addressing table over `texts_` (every distinct text, back to
    /// back), so a writer that is cleared and reused allocates nothing for them.
    struct TextSlot {
        std::uint32_t begin = 0;
        std::uint32_t size = 0;
        Ref ref = kNone;
    };
    static constexpr Ref kNone = ~Ref{0};
    std::size_t textSlot(std::string_view text, std::size_t hash) const;  ///< or its empty slot
    void growTexts();
    std::string texts_;
    std::vector<TextSlot> textSlots_;
    std::vector<std::uint32_t> usedSlots_;  ///< indexes of the filled slots, for clear()
    /// UID objects by value (dense small values, as archives use), and the rare large ones.
    std::vector<Ref> smallUids_;
    std::unordered_map<std::uint64_t, Ref> uids_;
};

}  // namespace vk
