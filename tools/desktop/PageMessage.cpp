#include "PageMessage.h"

namespace desktop {

std::optional<PageMessage> PageMessage::parse(const std::string& json, std::string& error) {
    PageMessage message;
    message.parser_ = std::make_shared<simdjson::dom::parser>();
    if (message.parser_->parse(json).get(message.root_) != simdjson::SUCCESS ||
        !message.root_.is_object()) {
        error = "a message is a JSON object";
        return std::nullopt;
    }
    std::string_view type;
    if (message.root_["type"].get(type) != simdjson::SUCCESS) {
        error = "a message needs a text \"type\"";
        return std::nullopt;
    }
    message.type_ = std::string(type);
    return message;
}

std::optional<simdjson::dom::element> PageMessage::field(const char* key) const {
    simdjson::dom::element value;
    if (root_[key].get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<std::string> PageMessage::text(const char* key) const {
    std::string_view value;
    auto element = field(key);
    if (!element || element->get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return std::string(value);
}

std::optional<double> PageMessage::number(const char* key) const {
    auto element = field(key);
    if (!element || !element->is_number())
        return std::nullopt;
    double value = 0;
    if (element->get(value) == simdjson::SUCCESS)
        return value;
    std::int64_t whole = 0;
    if (element->get(whole) == simdjson::SUCCESS)
        return static_cast<double>(whole);
    std::uint64_t large = 0;
    if (element->get(large) == simdjson::SUCCESS)
        return static_cast<double>(large);
    return std::nullopt;
}

std::optional<bool> PageMessage::boolean(const char* key) const {
    bool value = false;
    auto element = field(key);
    if (!element || element->get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<std::vector<std::string>> PageMessage::texts(const char* key) const {
    auto element = field(key);
    simdjson::dom::array array;
    if (!element || element->get(array) != simdjson::SUCCESS)
        return std::nullopt;
    std::vector<std::string> out;
    for (simdjson::dom::element entry : array) {
        std::string_view value;
        if (entry.get(value) != simdjson::SUCCESS)
            return std::nullopt;
        out.emplace_back(value);
    }
    return out;
}

std::optional<std::string> PageMessage::json(const char* key,
                                             simdjson::dom::element_type wanted) const {
    auto element = field(key);
    if (!element || element->type() != wanted)
        return std::nullopt;
    return simdjson::minify(*element);
}

}  // namespace desktop
