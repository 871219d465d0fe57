#include "VornKit/Settings/SubtitleStyles.h"

#include <simdjson.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

namespace {

using Element = simdjson::dom::element;

/// ASCII letters in lower case, whatever the process's locale; other bytes as they are.
std::string lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

/// An integer JSON value; an integral double counts as the integer it holds.
std::optional<std::int64_t> integerValue(Element element) {
    std::int64_t i = 0;
    if (element.get_int64().get(i) == simdjson::SUCCESS) {
        return i;
    }
    double d = 0;
    if (element.get_double().get(d) == simdjson::SUCCESS && std::isfinite(d) &&
        std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

/// Text names first (compared in lower case), then integers: in range gives that value, any
/// other integer gives `fallback`; neither text nor integer fails.
template <class Enum, size_t N>
std::optional<Enum> decodeNamedEnum(Element element, const std::array<std::string_view, N>& names,
                                    Enum fallback) {
    std::string_view text;
    if (element.get_string().get(text) == simdjson::SUCCESS) {
        const std::string lower = lowercase(text);
        for (size_t i = 0; i < N; ++i) {
            if (lowercase(names[i]) == lower) {
                return static_cast<Enum>(i);
            }
        }
        return std::nullopt;  // text is no integer either
    }
    if (auto i = integerValue(element)) {
        return (*i >= 0 && *i < static_cast<std::int64_t>(N)) ? static_cast<Enum>(*i) : fallback;
    }
    return std::nullopt;
}

constexpr std::array<std::string_view, 6> kTextSizeNames = {"smaller", "small",  "normal",
                                                            "large",   "larger", "extralarge"};
constexpr std::array<std::string_view, 5> kDropShadowNames = {"none", "raised", "depressed",
                                                              "uniform", "dropShadow"};

/// Decimal text with C-locale rules; the whole text must be a finite number (no "nan", no
/// "inf", nothing beyond the float range).
std::optional<float> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            return std::nullopt;
        }
    }
    float value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

/// A JSON number; JSON has no NaN or infinity, so those are written as the default opacity.
void writeOpacity(JsonWriter& w, float value) {
    char buffer[JsonWriter::kMaxNumberLength];
    char* end = JsonWriter::writeNumber(buffer, std::isfinite(value) ? value : 1.0f);
    w.raw(std::string_view(buffer, static_cast<size_t>(end - buffer)));
}

// The record's fields, declared once: key, how one JSON value is read into the record (a failed
// read leaves the default), and how the field is written.
struct Field {
    std::string_view key;
    std::function<void(SubtitleStyles&, Element)> read;
    std::function<void(const SubtitleStyles&, JsonWriter&)> write;
};

const std::array<Field, 6>& fields() {
    static const Immortal<std::array<Field, 6>> table(std::in_place, [] {
        return std::array<Field, 6>{{
            {"verticalPosition",
             [](SubtitleStyles& s, Element e) {
                 if (auto i = integerValue(e)) {
                     s.verticalPosition = *i;
                 }
             },
             [](const SubtitleStyles& s, JsonWriter& w) { w.integer(s.verticalPosition); }},
            {"textSize",
             [](SubtitleStyles& s, Element e) {
                 if (auto v = decodeNamedEnum(e, kTextSizeNames, SubtitleTextSize::normal)) {
                     s.textSize = *v;
                 }
             },
             [](const SubtitleStyles& s, JsonWriter& w) {
                 w.integer(static_cast<std::int64_t>(s.textSize));
             }},
            {"dropShadow",
             [](SubtitleStyles& s, Element e) {
                 if (auto v =
                         decodeNamedEnum(e, kDropShadowNames, SubtitleDropShadow::dropShadow)) {
                     s.dropShadow = *v;
                 }
             },
             [](const SubtitleStyles& s, JsonWriter& w) {
                 w.integer(static_cast<std::int64_t>(s.dropShadow));
             }},
            {"textBackground",
             [](SubtitleStyles& s, Element e) {
                 std::string_view text;
                 if (e.get_string().get(text) == simdjson::SUCCESS) {
                     s.textBackground = std::string(text);
                 }
             },
             [](const SubtitleStyles& s, JsonWriter& w) { w.string(s.textBackground); }},
            {"textColor",
             [](SubtitleStyles& s, Element e) {
                 std::string_view text;
                 if (e.get_string().get(text) == simdjson::SUCCESS) {
                     s.textColor = std::string(text);
                 }
             },
             [](const SubtitleStyles& s, JsonWriter& w) { w.string(s.textColor); }},
            {"textBackgroundOpacity",
             [](SubtitleStyles& s, Element e) {
                 // Stored as text ("0.5"); a JSON number is not accepted and gives the
                 // default.
                 std::string_view text;
                 if (e.get_string().get(text) == simdjson::SUCCESS) {
                     s.textBackgroundOpacity = parseDecimal(text).value_or(1.0f);
                 }
             },
             [](const SubtitleStyles& s, JsonWriter& w) {
                 writeOpacity(w, s.textBackgroundOpacity);
             }},
        }};
    });
    return *table;
}

}  // namespace

std::optional<SubtitleTextSize> makeSubtitleTextSize(std::int64_t rawValue) {
    if (rawValue < 0 || rawValue > 5) {
        return std::nullopt;
    }
    return static_cast<SubtitleTextSize>(rawValue);
}

std::optional<SubtitleDropShadow> makeSubtitleDropShadow(std::int64_t rawValue) {
    if (rawValue < 0 || rawValue > 4) {
        return std::nullopt;
    }
    return static_cast<SubtitleDropShadow>(rawValue);
}

std::shared_ptr<SubtitleStyles> SubtitleStyles::decode(std::string_view json) {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(json.data(), json.size()).get(root) != simdjson::SUCCESS) {
        return nullptr;
    }
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) {
        return nullptr;
    }
    auto styles = std::make_shared<SubtitleStyles>();
    for (auto member : object) {
        for (const auto& field : fields()) {
            if (field.key == member.key) {
                if (!member.value.is_null()) {
                    field.read(*styles, member.value);
                }
                break;
            }
        }
    }
    return styles;
}

std::string SubtitleStyles::encode() const {
    std::string out;
    JsonWriter w(out);
    w.beginObject();
    for (const auto& field : fields()) {
        w.key(field.key);
        field.write(*this, w);
    }
    w.endObject();
    return out;
}

}  // namespace vk
