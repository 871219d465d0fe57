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

class VK_EXPORT TextMap {
  public:
    using Entry = std::pair<Text, Text>;

    TextMap() = default;
    TextMap(std::initializer_list<std::pair<std::string_view, std::string_view>> entries);

    /// The value under `key`, absent when there is none.
    Text find(std::string_view key) const;
    bool contains(std::string_view key) const;
    void set(Text key, Text value);
    bool erase(std::string_view key);

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    void reserve(std::size_t n) { entries_.reserve(n); }
    void clear() { entries_.clear(); }
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }
    const std::vector<Entry>& entries() const { return entries_; }
    std::vector<Entry>& mutableEntries() { return entries_; }

    /// Equal when both hold the same keys with the same values, in any order.
    friend bool operator==(const TextMap& a, const TextMap& b);

  private:
    std::vector<Entry> entries_;
};

}  // namespace vk
