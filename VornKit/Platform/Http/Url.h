// URLs: Url (an absolute URL kept exactly as written), UrlComponents (a URL taken apart so that
// its query can be replaced by query items), UrlQueryItem, and the percent-encoding character
// sets they use.
//
// A Url is valid by construction: Url::parse accepts a text only when libcurl's URL parser accepts
// it as an absolute URL (any scheme). The text is never normalised: "http://h:1" and "http://h:1/"
// are different URLs, and equality compares the text.
//
// Query items: UrlComponents::setQueryItems percent-encodes names and values so that they reach
// the server unchanged. Everything except the unreserved characters (letters, digits, "-", ".",
// "_", "~") is escaped, '&', '=', '+', '#', '%' and the space (as %20) included; leaving '&', '='
// or '+' as they are would split or alter such values on the server.
//
// Thread rule: values; a const object may be read from any thread, a mutable one is externally
// synchronised. Everything here is pure apart from libcurl's URL parser, which is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// A set of ASCII characters left as they are by percent-encoding; every other byte is escaped.
class VK_EXPORT UrlCharacterSet {
  public:
    /// The unreserved characters (letters, digits, "-._~") plus the ASCII characters of `extra`.
    constexpr explicit UrlCharacterSet(std::string_view extra) : allowed_{} {
        for (char c = 'a'; c <= 'z'; ++c)
            allowed_[static_cast<unsigned char>(c)] = true;
        for (char c = 'A'; c <= 'Z'; ++c)
            allowed_[static_cast<unsigned char>(c)] = true;
        for (char c = '0'; c <= '9'; ++c)
            allowed_[static_cast<unsigned char>(c)] = true;
        for (char c : std::string_view("-._~"))
            allowed_[static_cast<unsigned char>(c)] = true;
        for (char c : extra)
            allowed_[static_cast<unsigned char>(c)] = true;
    }
    /// Whether `c` stays unescaped (never for a byte outside ASCII).
    constexpr bool contains(unsigned char c) const { return c < 128 && allowed_[c]; }

    /// Letters, digits and "-._~": what a query item name or value may carry unescaped.
    static const UrlCharacterSet& unreserved();
    /// The characters a URL query may carry unescaped (unreserved, "!$&'()*+,;=:@/?").
    static const UrlCharacterSet& queryAllowed();
    /// The characters a URL path may carry unescaped (unreserved, "!$&'()*+,;=:@/").
    static const UrlCharacterSet& pathAllowed();

  private:
    std::array<bool, 128> allowed_;
};

/// Escapes every byte of `text` outside `allowed` as %XX (upper-case hex).
VK_EXPORT std::string percentEncode(std::string_view text, const UrlCharacterSet& allowed);
/// Resolves %XX escapes; absent when an escape is malformed. '+' stays '+'.
VK_EXPORT std::optional<std::string> percentDecode(std::string_view text);

/// An absolute URL as text (a value); components are read from the text.
class VK_EXPORT Url {
  public:
    /// The URL `text` stands for, or absent when it is not an absolute URL.
    static std::optional<Url> parse(std::string_view text);
    /// A file URL for an absolute path ("file:///tmp/a%20b").
    static Url fileUrl(const std::filesystem::path& absolutePath);

    /// The URL's text, exactly as parsed or built.
    const std::string& absoluteString() const { return text_; }
    /// Same as absoluteString(): the text log lines print for a URL.
    const std::string& description() const { return text_; }

    /// The scheme as written ("https").
    std::string scheme() const;
    /// The host without brackets or port (empty when the URL has no authority).
    std::string host() const;
    /// The port written in the URL, if any.
    std::optional<int> port() const;
    /// The path as written (percent-encoded).
    std::string path() const;
    /// The query as written (percent-encoded), absent when there is no '?'.
    std::optional<std::string> query() const;

    /// This URL with `component` added to its path after one "/", percent-encoded for a path: a
    /// '?' or '#' inside `component` becomes part of the path. Query and fragment are kept.
    Url appendingPathComponent(std::string_view component) const;

    /// Same text, character for character (no normalisation).
    friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

  private:
    explicit Url(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

/// One query item: a name and, unless it stands alone ("?flag"), a value; both unescaped.
struct VK_EXPORT UrlQueryItem {
    /// The item's name and value, unescaped; an absent value is a name alone.
    /// @{
    std::string name;
    std::optional<std::string> value;
    /// @}

    /// Field-by-field equality.
    friend bool operator==(const UrlQueryItem&, const UrlQueryItem&) = default;
};

/// A URL split into scheme, authority, path, query and fragment, each kept percent-encoded.
class VK_EXPORT UrlComponents {
  public:
    UrlComponents() = default;
    /// Splits `text` (generic URL syntax). Absent when it holds a character a URL may not carry
    /// unescaped (space, control characters, '"', '<', '>', '\', '^', '`', '{', '|', '}',
    /// non-ASCII) or a malformed %-escape.
    static std::optional<UrlComponents> parse(std::string_view text);

    /// The scheme ("https") as written; absent in a reference without one.
    std::optional<std::string> scheme;
    /// Everything between "//" and the path ("user@host:port"); absent without "//".
    std::optional<std::string> percentEncodedAuthority;
    /// The path, query and fragment as written in the URL, %-escapes kept; query and fragment
    /// absent when the URL has no "?" or "#".
    /// @{
    std::string percentEncodedPath;
    std::optional<std::string> percentEncodedQuery;
    std::optional<std::string> percentEncodedFragment;
    /// @}

    /// The query split at '&' and '=' and decoded; absent when there is no query.
    std::optional<std::vector<UrlQueryItem>> queryItems() const;
    /// Replaces the query: each name and value is escaped so that it arrives unchanged (see the
    /// file comment). An empty list or absent removes the query, so no bare '?' is written.
    void setQueryItems(const std::optional<std::vector<UrlQueryItem>>& items);

    /// The text of the components put back together.
    std::string string() const;
    /// The URL of string(), absent when that is not a valid absolute URL.
    std::optional<Url> url() const;
};

}  // namespace vk
