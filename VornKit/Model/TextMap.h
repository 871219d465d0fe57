// TextMap: a small map of text keys to text values, kept in insertion order (JSON objects such as
// an item's image tags or provider ids). Lookups compare keys exactly, case-sensitively. Setting
// an existing key replaces its value in place.
//
// Thread rule: a value; externally synchronised.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/Text.h"

namespace vk {

/// Text keys to text values in insertion order (see the file comment).
class VK_EXPORT TextMap {
  public:
    /// One key and its value.
    using Entry = std::pair<Text, Text>;

    TextMap() = default;
    /// A map of `entries` in order; a repeated key keeps its first place and its last value.
    TextMap(std::initializer_list<std::pair<std::string_view, std::string_view>> entries);

    /// The value under `key`, absent when there is none.
    Text find(std::string_view key) const;
    /// Whether `key` is in the map.
    bool contains(std::string_view key) const;
    /// Replaces the value of `key` in place, or appends the entry.
    void set(Text key, Text value);
    /// Removes `key`'s entry; false when there was none.
    bool erase(std::string_view key);

    /// Whether the map has no entry.
    bool empty() const { return entries_.empty(); }
    /// The number of entries.
    std::size_t size() const { return entries_.size(); }
    /// Makes room for `n` entries.
    void reserve(std::size_t n) { entries_.reserve(n); }
    /// Removes every entry.
    void clear() { entries_.clear(); }
    /// The first entry, in insertion order.
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    /// Past the last entry.
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }
    /// The entries in insertion order.
    const std::vector<Entry>& entries() const { return entries_; }
    /// The entries for in-place changes (decoders); the caller keeps keys unique.
    std::vector<Entry>& mutableEntries() { return entries_; }

    /// Equal when both hold the same keys with the same values, in any order.
    friend bool operator==(const TextMap& a, const TextMap& b);

  private:
    std::vector<Entry> entries_;
};

}  // namespace vk
