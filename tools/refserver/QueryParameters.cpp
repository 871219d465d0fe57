#include "refserver/QueryParameters.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace refserver {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::vector<std::string> splitList(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view part = text.substr(0, comma);
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ')
            part.remove_suffix(1);
        if (!part.empty())
            out.push_back(lower(part));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return out;
}

std::optional<std::int64_t> parseCount(const std::string& text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

std::optional<bool> parseFlag(const std::string& text) {
    std::string value = lower(text);
    if (value == "true")
        return true;
    if (value == "false")
        return false;
    return std::nullopt;
}

QueryParameters::QueryParameters(const Fields& query) {
    for (const auto& [name, value] : query)
        values_.emplace(lower(name), value);
}

std::optional<std::string> QueryParameters::get(std::string_view name) const {
    auto found = values_.find(lower(name));
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

}  // namespace refserver
