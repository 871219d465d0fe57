#include "VornKit/Platform/Http/Url.h"

#include <curl/curl.h>

#include <cctype>
#include <charconv>
#include <mutex>

namespace vk {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool curlAcceptsUrl(const std::string& text) {
    ensureCurl();
    CURLU* handle = curl_url();
    if (handle == nullptr)
        return false;
    CURLUcode code = curl_url_set(handle, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME);
    curl_url_cleanup(handle);
    return code == CURLUE_OK;
}

// The five parts of the generic URL syntax, as views into the text.
struct Parts {
    std::optional<std::string_view> scheme;
    std::optional<std::string_view> authority;
    std::string_view path;
    std::optional<std::string_view> query;
    std::optional<std::string_view> fragment;
};

Parts split(std::string_view text) {
    Parts parts;
    std::string_view rest = text;
    std::size_t colon = rest.find(':');
    std::size_t delimiter = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && colon > 0 && colon < delimiter &&
        std::isalpha(static_cast<unsigned char>(rest[0]))) {
        bool valid = true;
        for (char c : rest.substr(0, colon)) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
                valid = false;
            }
        }
        if (valid) {
            parts.scheme = rest.substr(0, colon);
            rest.remove_prefix(colon + 1);
        }
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        std::size_t end = rest.find_first_of("/?#");
        parts.authority = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    std::size_t hash = rest.find('#');
    if (hash != std::string_view::npos) {
        parts.fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
    }
    std::size_t question = rest.find('?');
    if (question != std::string_view::npos) {
        parts.query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    parts.path = rest;
    return parts;
}

// Characters a URL may carry unescaped anywhere, and well-formed escapes.
bool validUrlText(std::string_view text) {
    static constexpr std::string_view kForbidden = "\"<>\\^`{|}";
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7f ||
            kForbidden.find(static_cast<char>(c)) != std::string_view::npos) {
            return false;
        }
        if (c == '%') {
            if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) {
                return false;
            }
        }
    }
    return true;
}

std::string_view hostAndPort(std::string_view authority) {
    std::size_t at = authority.rfind('@');
    return at == std::string_view::npos ? authority : authority.substr(at + 1);
}

std::optional<std::string> optionalString(std::optional<std::string_view> view) {
    return view ? std::optional<std::string>(std::string(*view)) : std::nullopt;
}

}  // namespace

const UrlCharacterSet& UrlCharacterSet::unreserved() {
    static constexpr UrlCharacterSet set("");
    return set;
}

const UrlCharacterSet& UrlCharacterSet::queryAllowed() {
    static constexpr UrlCharacterSet set("!$&'()*+,;=:@/?");
    return set;
}

const UrlCharacterSet& UrlCharacterSet::pathAllowed() {
    static constexpr UrlCharacterSet set("!$&'()*+,;=:@/");
    return set;
}

std::string percentEncode(std::string_view text, const UrlCharacterSet& allowed) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (allowed.contains(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        int high = hexValue(text[i + 1]);
        int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<Url> Url::parse(std::string_view text) {
    std::string copy(text);
    Parts parts = split(copy);
    if (!parts.scheme || !curlAcceptsUrl(copy))
        return std::nullopt;
    return Url(std::move(copy));
}

Url Url::fileUrl(const std::filesystem::path& absolutePath) {
    return Url("file://" + percentEncode(absolutePath.string(), UrlCharacterSet::pathAllowed()));
}

std::string Url::scheme() const {
    return std::string(split(text_).scheme.value_or(""));
}

std::string Url::host() const {
    Parts parts = split(text_);
    if (!parts.authority)
        return {};
    std::string_view hp = hostAndPort(*parts.authority);
    if (!hp.empty() && hp.front() == '[') {
        std::size_t close = hp.find(']');
        return std::string(
            hp.substr(1, close == std::string_view::npos ? hp.size() - 1 : close - 1));
    }
    return std::string(hp.substr(0, hp.find(':')));
}

std::optional<int> Url::port() const {
    Parts parts = split(text_);
    if (!parts.authority)
        return std::nullopt;
    std::string_view hp = hostAndPort(*parts.authority);
    std::size_t close = hp.rfind(']');
    std::size_t colon = hp.rfind(':');
    if (colon == std::string_view::npos || (close != std::string_view::npos && colon < close)) {
        return std::nullopt;
    }
    std::string_view digits = hp.substr(colon + 1);
    int port = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
        return std::nullopt;
    }
    return port;
}

std::string Url::path() const {
    return std::string(split(text_).path);
}

std::optional<std::string> Url::query() const {
    return optionalString(split(text_).query);
}

Url Url::appendingPathComponent(std::string_view component) const {
    Parts parts = split(text_);
    std::string encoded = percentEncode(component, UrlCharacterSet::pathAllowed());
    std::string out;
    if (parts.scheme)
        out.append(*parts.scheme).push_back(':');
    if (parts.authority)
        out.append("//").append(*parts.authority);
    out.append(parts.path);
    bool endsWithSlash = !parts.path.empty() && parts.path.back() == '/';
    bool startsWithSlash = !encoded.empty() && encoded.front() == '/';
    if (endsWithSlash && startsWithSlash) {
        encoded.erase(0, 1);
    } else if (!endsWithSlash && !startsWithSlash) {
        out.push_back('/');
    }
    out.append(encoded);
    if (parts.query)
        out.append("?").append(*parts.query);
    if (parts.fragment)
        out.append("#").append(*parts.fragment);
    return Url(std::move(out));
}

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
    if (!validUrlText(text))
        return std::nullopt;
    Parts parts = split(text);
    UrlComponents components;
    components.scheme = optionalString(parts.scheme);
    components.percentEncodedAuthority = optionalString(parts.authority);
    components.percentEncodedPath = std::string(parts.path);
    components.percentEncodedQuery = optionalString(parts.query);
    components.percentEncodedFragment = optionalString(parts.fragment);
    return components;
}

std::optional<std::vector<UrlQueryItem>> UrlComponents::queryItems() const {
    if (!percentEncodedQuery)
        return std::nullopt;
    std::vector<UrlQueryItem> items;
    std::string_view rest = *percentEncodedQuery;
    while (!rest.empty()) {
        std::size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest.remove_prefix(amp == std::string_view::npos ? rest.size() : amp + 1);
        UrlQueryItem item;
        std::size_t eq = pair.find('=');
        item.name = percentDecode(pair.substr(0, eq)).value_or(std::string(pair.substr(0, eq)));
        if (eq != std::string_view::npos) {
            std::string_view value = pair.substr(eq + 1);
            item.value = percentDecode(value).value_or(std::string(value));
        }
        items.push_back(std::move(item));
    }
    return items;
}

void UrlComponents::setQueryItems(const std::optional<std::vector<UrlQueryItem>>& items) {
    if (!items || items->empty()) {
        percentEncodedQuery.reset();
        return;
    }
    std::string query;
    for (const auto& item : *items) {
        if (!query.empty())
            query.push_back('&');
        query += percentEncode(item.name, UrlCharacterSet::unreserved());
        if (item.value) {
            query.push_back('=');
            query += percentEncode(*item.value, UrlCharacterSet::unreserved());
        }
    }
    percentEncodedQuery = std::move(query);
}

std::string UrlComponents::string() const {
    std::string out;
    if (scheme)
        out.append(*scheme).push_back(':');
    if (percentEncodedAuthority)
        out.append("//").append(*percentEncodedAuthority);
    out.append(percentEncodedPath);
    if (percentEncodedQuery)
        out.append("?").append(*percentEncodedQuery);
    if (percentEncodedFragment)
        out.append("#").append(*percentEncodedFragment);
    return out;
}

std::optional<Url> UrlComponents::url() const {
    return Url::parse(string());
}

}  // namespace vk
