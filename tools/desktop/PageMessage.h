// PageMessage: one message of the page, read from its JSON text: an object with a "type" and the
// fields of that type (docs/desktop-messages.md).
//
// Thread rule: a value; used on one thread at a time.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

class PageMessage {
  public:
    /// The message of `json`; absent, with `error` set, when it is no JSON object with a text
    /// "type".
    static std::optional<PageMessage> parse(const std::string& json, std::string& error);

    /// The message's "type".
    const std::string& type() const { return type_; }
    /// A text field; absent when missing or not a text.
    std::optional<std::string> text(const char* key) const;
    /// A number field; absent when missing or not a number.
    std::optional<double> number(const char* key) const;
    /// A Boolean field; absent when missing or not a Boolean.
    std::optional<bool> boolean(const char* key) const;
    /// A list of texts; absent when missing, not a list, or holding anything but texts.
    std::optional<std::vector<std::string>> texts(const char* key) const;
    /// A field as compact JSON text (an object or list handed on whole); absent when missing or
    /// of another kind than `wanted`.
    std::optional<std::string> json(const char* key, simdjson::dom::element_type wanted) const;

  private:
    PageMessage() = default;
    std::optional<simdjson::dom::element> field(const char* key) const;

    std::shared_ptr<simdjson::dom::parser> parser_;
    simdjson::dom::element root_;
    std::string type_;
};

}  // namespace desktop
