#include "VornKit/Model/TextMap.h"

namespace vk {

TextMap::TextMap(std::initializer_list<std::pair<std::string_view, std::string_view>> entries) {
    for (const auto& [key, value] : entries)
        set(Text(key), Text(value));
}

Text TextMap::find(std::string_view key) const {
    for (const auto& entry : entries_) {
        if (entry.first.view() == key)
            return entry.second;
    }
    return {};
}

bool TextMap::contains(std::string_view key) const {
    for (const auto& entry : entries_) {
        if (entry.first.view() == key)
            return true;
    }
    return false;
}

void TextMap::set(Text key, Text value) {
    for (auto& entry : entries_) {
        if (entry.first.view() == key.view()) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

bool TextMap::erase(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first.view() == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

bool operator==(const TextMap& a, const TextMap& b) {
    if (a.size() != b.size())
        return false;
    for (const auto& entry : a.entries_) {
        if (!(b.find(entry.first.view()) == entry.second))
            return false;
    }
    return true;
}

}  // namespace vk
