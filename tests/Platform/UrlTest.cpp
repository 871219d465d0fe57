#include "VornKit/Platform/Http/Url.h"

#include "gtest/gtest.h"

using vk::Url;
using vk::UrlComponents;
using vk::UrlQueryItem;

namespace {

TEST(Url, KeepsTheTextExactlyAsGiven) {
    auto url = Url::parse("http://Example.com:8096");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), "http://Example.com:8096");  // no slash added, case kept
    EXPECT_EQ(url->host(), "Example.com");
    EXPECT_EQ(url->port(), 8096);
    EXPECT_EQ(url->path(), "");
    EXPECT_NE(*url, *Url::parse("http://Example.com:8096/"));
}

TEST(Url, RejectsTextThatIsNotAnAbsoluteUrl) {
    EXPECT_FALSE(Url::parse(""));
    EXPECT_FALSE(Url::parse("server.local"));
    EXPECT_FALSE(Url::parse("/vorn/System/Info"));
    EXPECT_FALSE(Url::parse("http://exa mple.com/"));
    EXPECT_FALSE(Url::parse("http://host:99999/"));
}

TEST(Url, ReadsBracketedIpv6HostsAndPorts) {
    auto url = Url::parse("https://[::1]:8920/vorn?x=1#top");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_EQ(url->host(), "::1");
    EXPECT_EQ(url->port(), 8920);
    EXPECT_EQ(url->path(), "/vorn");
    EXPECT_EQ(url->query(), "x=1");
    EXPECT_FALSE(Url::parse("https://[::1]/")->port());
}

TEST(Url, AppendingAComponentEscapesItsQuestionMarkIntoThePath) {
    auto base = Url::parse("http://127.0.0.1:8096");
    ASSERT_TRUE(base);
    EXPECT_EQ(base->appendingPathComponent("/vorn/system/info/public?format=json").absoluteString(),
              "http://127.0.0.1:8096/vorn/system/info/public%3Fformat=json");
    // One slash between the parts, whichever side brings it; the query stays at the end.
    EXPECT_EQ(Url::parse("http://h/a/")->appendingPathComponent("/b").absoluteString(),
              "http://h/a/b");
    EXPECT_EQ(Url::parse("http://h/a?q=1")->appendingPathComponent("b c#d").absoluteString(),
              "http://h/a/b%20c%23d?q=1");
}

TEST(UrlComponents, QueryValuesWithReservedCharactersSurviveTheRoundTrip) {
    auto components = UrlComponents::parse("http://h:1/vorn/Items");
    ASSERT_TRUE(components);
    std::vector<UrlQueryItem> items = {
        {"SearchTerm", "rock & roll"},
        {"Filter", "a=b"},
        {"Plus", "C++"},
        {"Hash", "#1"},
        {"Percent", "100%"},
        {"Unicode", "Motörhead ✓"},
        {"Fields", "Name,Path/Genres"},
        {"Empty", ""},
        {"Na me&", "v"},
    };
    components->setQueryItems(items);
    const std::string query = *components->percentEncodedQuery;
    EXPECT_NE(query.find("SearchTerm=rock%20%26%20roll"), std::string::npos) << query;
    EXPECT_NE(query.find("Filter=a%3Db"), std::string::npos) << query;
    EXPECT_NE(query.find("Plus=C%2B%2B"), std::string::npos) << query;
    EXPECT_NE(query.find("Hash=%231"), std::string::npos) << query;
    EXPECT_NE(query.find("Percent=100%25"), std::string::npos) << query;
    EXPECT_NE(query.find("Na%20me%26=v"), std::string::npos) << query;
    EXPECT_EQ(components->queryItems(), items);

    auto url = components->url();
    ASSERT_TRUE(url);
    auto reparsed = UrlComponents::parse(url->absoluteString());
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(reparsed->queryItems(), items);
}

TEST(UrlComponents, AnEmptyItemListLeavesNoQuestionMark) {
    auto components = UrlComponents::parse("http://h:1/vorn/System/Endpoint?old=1");
    ASSERT_TRUE(components);
    components->setQueryItems(std::vector<UrlQueryItem>{});
    EXPECT_EQ(components->string(), "http://h:1/vorn/System/Endpoint");
    EXPECT_FALSE(components->queryItems());
}

TEST(UrlComponents, RefusesCharactersAUrlCannotCarry) {
    EXPECT_FALSE(UrlComponents::parse("http://h/a b"));
    EXPECT_FALSE(UrlComponents::parse("http://h/a\"b"));
    EXPECT_FALSE(UrlComponents::parse("http://h/%zz"));
    EXPECT_FALSE(UrlComponents::parse("http://h/%4"));
    EXPECT_FALSE(UrlComponents::parse("http://h/\xC3\xA9"));
    EXPECT_TRUE(UrlComponents::parse("http://h/a%20b"));
}

TEST(UrlComponents, ComponentsWithoutAValidUrlGiveNone) {
    auto components = UrlComponents::parse("vorn/Users");  // a relative reference
    ASSERT_TRUE(components);
    EXPECT_FALSE(components->url());
}

TEST(PercentEncoding, DecodingRejectsMalformedEscapesAndKeepsPlus) {
    EXPECT_EQ(vk::percentDecode("a%20b+c"), "a b+c");
    EXPECT_FALSE(vk::percentDecode("50%"));
    EXPECT_FALSE(vk::percentDecode("%G0"));
    EXPECT_EQ(vk::percentEncode("a b/?", vk::UrlCharacterSet::queryAllowed()), "a%20b/?");
    EXPECT_EQ(vk::percentEncode("a b/?", vk::UrlCharacterSet::pathAllowed()), "a%20b/%3F");
}

}  // namespace
