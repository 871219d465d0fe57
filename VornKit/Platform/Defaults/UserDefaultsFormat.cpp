#include "VornKit/Platform/Defaults/UserDefaultsFormat.h"

#include <simdjson.h>
#include <vector>

#include "VornKit/Platform/Coding/Base64.h"
#include "VornKit/Platform/Coding/JsonWriter.h"

namespace vk {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

/// Reads the file's top-level object as (key text, value text) pairs without interpreting the
/// values: strings are passed over with their escapes, brackets must balance.
class EntryScanner {
  public:
    explicit EntryScanner(std::string_view text) : text_(text) {}

    /// Calls `entry(quotedKey, valueText)` for each entry; false when the text is not an object.
    template <class F>
    bool scan(F&& entry) {
        skipSpace();
        if (!take('{'))
            return false;
        skipSpace();
        if (!take('}')) {
            while (true) {
                skipSpace();
                std::size_t keyStart = at_;
                if (!passString())
                    return false;
                std::string_view key = text_.substr(keyStart, at_ - keyStart);
                skipSpace();
                if (!take(':'))
                    return false;
                skipSpace();
                std::string_view value;
                if (!passValue(value))
                    return false;
                entry(key, value);
                skipSpace();
                if (take(','))
                    continue;
                if (take('}'))
                    break;
                return false;
            }
        }
        skipSpace();
        return at_ == text_.size();
    }

  private:
    void skipSpace() {
        while (at_ < text_.size() && isSpace(text_[at_]))
            ++at_;
    }
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    /// A string with its quotes; escapes are passed over, not checked.
    bool passString() {
        if (!take('"'))
            return false;
        while (at_ < text_.size()) {
            char c = text_[at_++];
            if (c == '\\') {
                ++at_;
            } else if (c == '"') {
                return true;
            }
        }
        return false;
    }
    /// One value up to the ',' or '}' that ends it, without its trailing whitespace.
    bool passValue(std::string_view& value) {
        std::size_t start = at_;
        std::vector<char> closers;
        while (at_ < text_.size()) {
            char c = text_[at_];
            if (c == '"') {
                if (!passString())
                    return false;
                continue;
            }
            if (closers.empty() && (c == ',' || c == '}'))
                break;
            if (c == '{' || c == '[') {
                closers.push_back(c == '{' ? '}' : ']');
            } else if (c == '}' || c == ']') {
                if (closers.empty() || closers.back() != c)
                    return false;
                closers.pop_back();
            }
            ++at_;
        }
        if (!closers.empty())
            return false;
        std::size_t end = at_;
        while (end > start && isSpace(text_[end - 1]))
            --end;
        value = text_.substr(start, end - start);
        return !value.empty();
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

std::optional<DefaultsValue> readValue(simdjson::dom::element element);

std::optional<DefaultsDictionary> readObject(simdjson::dom::object object) {
    DefaultsDictionary dict;
    for (auto field : object) {
        auto value = readValue(field.value);
        if (!value)
            return std::nullopt;
        dict.insert_or_assign(std::string(field.key), std::move(*value));
    }
    return dict;
}

/// The modelled value of one JSON value, or absent when the store does not model it.
std::optional<DefaultsValue> readValue(simdjson::dom::element element) {
    using simdjson::dom::element_type;
    switch (element.type()) {
        case element_type::STRING:
            return DefaultsValue(std::string(element.get_string().value_unsafe()));
        case element_type::BOOL:
            return DefaultsValue(element.get_bool().value_unsafe());
        case element_type::INT64:
            return DefaultsValue(element.get_int64().value_unsafe());
        case element_type::DOUBLE:
            return DefaultsValue(element.get_double().value_unsafe());
        case element_type::UINT64:  // beyond 64-bit integers: kept as written, never rounded
        case element_type::NULL_VALUE:
            return std::nullopt;
        case element_type::ARRAY: {
            std::vector<std::string> list;
            simdjson::dom::array array = element.get_array().value_unsafe();
            for (auto item : array) {
                std::string_view text;
                if (item.get_string().get(text) != simdjson::SUCCESS)
                    return std::nullopt;
                list.emplace_back(text);
            }
            return DefaultsValue(std::move(list));
        }
        case element_type::OBJECT: {
            auto object = element.get_object().value_unsafe();
            if (object.size() == 1) {
                auto field = *object.begin();
                std::string_view text;
                if (field.key == "$data" &&
                    field.value.get_string().get(text) == simdjson::SUCCESS) {
                    auto bytes = Base64::decode(text);
                    return bytes ? std::optional<DefaultsValue>(DefaultsValue(std::move(*bytes)))
                                 : std::nullopt;
                }
                simdjson::dom::object inner;
                if (field.key == "$dictionary" &&
                    field.value.get_object().get(inner) == simdjson::SUCCESS) {
                    auto dict = readObject(inner);
                    return dict ? std::optional<DefaultsValue>(DefaultsValue(std::move(*dict)))
                                : std::nullopt;
                }
            }
            auto dict = readObject(object);
            return dict ? std::optional<DefaultsValue>(DefaultsValue(std::move(*dict)))
                        : std::nullopt;
        }
    }
    return std::nullopt;
}

void writeValue(JsonWriter& w, std::string& out, const DefaultsValue& value);

void writeDictionary(JsonWriter& w, std::string& out, const DefaultsDictionary& dict) {
    const bool wrap =
        dict.size() == 1 && !dict.begin()->first.empty() && dict.begin()->first.front() == '$';
    if (wrap) {
        w.beginObject();
        w.key("$dictionary");
    }
    w.beginObject();
    for (const auto& [k, v] : dict) {
        w.key(k);
        writeValue(w, out, v);
    }
    w.endObject();
    if (wrap)
        w.endObject();
}

void writeValue(JsonWriter& w, std::string& out, const DefaultsValue& value) {
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                w.string(v);
            } else if constexpr (std::is_same_v<T, bool>) {
                w.boolean(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                w.integer(v);
            } else if constexpr (std::is_same_v<T, double>) {
                // A whole double keeps a ".0" so that it reads back as a double.
                const std::size_t before = out.size();
                w.number(v);
                std::string_view written(out.data() + before, out.size() - before);
                if (written.find_first_of(".eE") == std::string_view::npos)
                    out.append(".0");
            } else if constexpr (std::is_same_v<T, DefaultsData>) {
                w.beginObject();
                w.key("$data");
                w.string(Base64::encode(v));
                w.endObject();
            } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                w.beginArray();
                for (const auto& s : v)
                    w.string(s);
                w.endArray();
            } else {
                writeDictionary(w, out, v);
            }
        },
        value.value);
}

}  // namespace

void DefaultsFileContents::assign(const std::string& key,
                                  const std::optional<DefaultsValue>& value) {
    kept.erase(key);
    if (value) {
        values.insert_or_assign(key, *value);
    } else {
        values.erase(key);
    }
}

std::optional<DefaultsFileContents> UserDefaultsFormat::decode(std::string_view text) {
    DefaultsFileContents contents;
    std::size_t firstNonSpace = 0;
    while (firstNonSpace < text.size() && isSpace(text[firstNonSpace]))
        ++firstNonSpace;
    if (firstNonSpace == text.size())
        return contents;

    simdjson::dom::parser parser;
    bool keysAreText = true;
    bool scanned = EntryScanner(text).scan([&](std::string_view quotedKey, std::string_view raw) {
        std::string_view key;
        simdjson::padded_string keyJson(quotedKey);
        if (parser.parse(keyJson).get_string().get(key) != simdjson::SUCCESS) {
            keysAreText = false;
            return;
        }
        std::string name(key);
        simdjson::dom::element element;
        std::optional<DefaultsValue> value;
        simdjson::padded_string valueJson(raw);
        if (parser.parse(valueJson).get(element) == simdjson::SUCCESS)
            value = readValue(element);
        if (value) {
            contents.assign(name, value);
        } else {
            contents.values.erase(name);
            contents.kept.insert_or_assign(name, std::string(raw));
        }
    });
    if (!scanned || !keysAreText)
        return std::nullopt;
    return contents;
}

std::string UserDefaultsFormat::encode(const DefaultsFileContents& contents) {
    std::string out;
    JsonWriter w(out);
    w.beginObject();
    auto value = contents.values.begin();
    auto kept = contents.kept.begin();
    while (value != contents.values.end() || kept != contents.kept.end()) {
        if (kept == contents.kept.end() ||
            (value != contents.values.end() && value->first < kept->first)) {
            w.key(value->first);
            writeValue(w, out, value->second);
            ++value;
        } else {
            w.key(kept->first);
            w.raw(kept->second);
            ++kept;
        }
    }
    w.endObject();
    out.push_back('\n');
    return out;
}

}  // namespace vk
