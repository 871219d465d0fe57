#include "VornKit/Platform/Coding/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace vk {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

PlistValue::Date dateAt(std::int64_t microsSince1970) {
    return PlistValue::Date(std::chrono::microseconds(microsSince1970));
}

PlistValue roundTrip(const PlistValue& value) {
    auto bytes = encodeBinaryPlist(value);
    EXPECT_TRUE(bytes.has_value());
    if (!bytes)
        return {};
    std::string reason;
    auto back = decodeBinaryPlist(bytes->data(), bytes->size(), {}, &reason);
    EXPECT_TRUE(back.has_value()) << reason;
    return back.value_or(PlistValue());
}

// A binary property list of `count` arrays, each holding the next, written by hand: libplist
// itself takes seconds over such input, which is what the structure check spares it.
Bytes nestedArrays(std::uint32_t count) {
    Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        std::uint32_t next = i + 1;
        out.insert(out.end(), {0xA1, std::uint8_t(next >> 24), std::uint8_t(next >> 16),
                               std::uint8_t(next >> 8), std::uint8_t(next)});
    }
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    out.push_back(0xA0);
    auto table = static_cast<std::uint64_t>(out.size());
    for (std::uint32_t offset : offsets)
        out.insert(out.end(), {std::uint8_t(offset >> 24), std::uint8_t(offset >> 16),
                               std::uint8_t(offset >> 8), std::uint8_t(offset)});
    Bytes trailer(32, 0);
    trailer[6] = 4;
    trailer[7] = 4;
    auto put = [&](std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            trailer[at + i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
    };
    put(8, offsets.size());
    put(16, 0);
    put(24, table);
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

TEST(PropertyList, ValuesKeepTheirKindsThroughTheBinaryForm) {
    PlistDictionary dict{
        {"text", "héllo wörld"},
        {"ascii", "plain"},
        {"negative", -42},
        {"large", std::int64_t{1} << 40},
        {"real", 2.5},
        {"flag", true},
        {"date", dateAt(1714557600123456)},
        {"before2001", dateAt(978307200000000 - 1500000)},
        {"data", PlistValue::Data{0x00, 0xFF, 0x7B, 0x22}},
        {"empty data", PlistValue::Data{}},
        {"list", PlistValue::Array{1, "two", PlistDictionary{{"three", 3.0}}}},
    };
    PlistValue back = roundTrip(dict);
    ASSERT_NE(back.dictionary(), nullptr);
    EXPECT_EQ(back, PlistValue(dict));
    // Data stays data and dates stay dates, not texts or numbers.
    EXPECT_NE(back.dictionary()->at("data").data(), nullptr);
    EXPECT_NE(back.dictionary()->at("date").date(), nullptr);
}

TEST(PropertyList, WritingRefusesWhatTheFormatCannotHold) {
    EXPECT_FALSE(encodeBinaryPlist(PlistDictionary{{"bad", std::string("a\0b", 3)}}));
    EXPECT_FALSE(encodeBinaryPlist(PlistDictionary{{std::string("k\0", 2), 1}}));
    EXPECT_FALSE(encodeBinaryPlist(PlistDictionary{{"cut", "abc\xc3"}}));
    EXPECT_FALSE(encodeBinaryPlist(PlistDictionary{{"\xff\xfe", 1}}));
    EXPECT_FALSE(encodeBinaryPlist(dateAt(978307200000000 + (std::int64_t{1} << 31) * 1000000)));
    PlistValue deep = PlistDictionary{};
    for (int i = 0; i < 40; ++i)
        deep = PlistValue::Array{deep};
    EXPECT_FALSE(encodeBinaryPlist(deep));
    EXPECT_TRUE(encodeBinaryPlist(deep, PlistLimits{64, 1000}));
}

TEST(PropertyList, ReadingRefusesMalformedAndHostileInput) {
    auto good = encodeBinaryPlist(PlistDictionary{{"command", "getCredentials"}}).value();
    std::string reason;
    // Not a property list at all, cut short, and its trailer pointing outside.
    for (const Bytes& bytes : {Bytes{}, Bytes{'{', '}'}, Bytes(good.begin(), good.end() - 1),
                               Bytes(good.begin(), good.begin() + 20)}) {
        EXPECT_FALSE(decodeBinaryPlist(bytes.data(), bytes.size(), {}, &reason));
        EXPECT_FALSE(reason.empty());
    }
    Bytes badOffset = good;
    badOffset[badOffset.size() - 1] = 0xFF;  // offset table beyond the end
    EXPECT_FALSE(decodeBinaryPlist(badOffset.data(), badOffset.size()));

    // Deep nesting is refused quickly, whatever the size.
    Bytes deep = nestedArrays(200000);
    EXPECT_FALSE(decodeBinaryPlist(deep.data(), deep.size(), {}, &reason));
    EXPECT_EQ(reason, "nested too deep");
    Bytes shallow = nestedArrays(20);
    EXPECT_TRUE(decodeBinaryPlist(shallow.data(), shallow.size()));
}

TEST(PropertyList, SharedReferencesCannotExpandBeyondTheLimit) {
    // Each level is an array holding the level below twice: 2^30 values once expanded, from a
    // few hundred bytes.
    Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint8_t> offsets;
    const int levels = 30;
    for (int i = 0; i < levels; ++i) {
        offsets.push_back(static_cast<std::uint8_t>(out.size()));
        auto next = static_cast<std::uint8_t>(i + 1);
        out.insert(out.end(), {0xA2, next, next});
    }
    offsets.push_back(static_cast<std::uint8_t>(out.size()));
    out.push_back(0x08);
    auto table = static_cast<std::uint8_t>(out.size());
    out.insert(out.end(), offsets.begin(), offsets.end());
    Bytes trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<std::uint8_t>(offsets.size());
    trailer[31] = table;
    out.insert(out.end(), trailer.begin(), trailer.end());
    std::string reason;
    EXPECT_FALSE(decodeBinaryPlist(out.data(), out.size(), PlistLimits{64, 1 << 18}, &reason));
    EXPECT_EQ(reason, "too many values once shared references are expanded");
}

TEST(PropertyList, ReadingRefusesReferenceLoopsAndKeysThatAreNotTexts) {
    // Object 0: an array holding object 0.
    Bytes loop = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xA1, 0x00, 0x08};
    Bytes trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 1;
    trailer[31] = 10;
    loop.insert(loop.end(), trailer.begin(), trailer.end());
    std::string reason;
    EXPECT_FALSE(decodeBinaryPlist(loop.data(), loop.size(), {}, &reason));
    EXPECT_EQ(reason, "a reference loop");

    // A dictionary whose key is an integer (what libplist would otherwise take).
    Bytes dict = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xD1, 0x01, 0x01, 0x10, 0x05, 0x08, 0x0B};
    Bytes tail(32, 0);
    tail[6] = 1;
    tail[7] = 1;
    tail[15] = 2;
    tail[31] = 13;
    dict.insert(dict.end(), tail.begin(), tail.end());
    EXPECT_FALSE(decodeBinaryPlist(dict.data(), dict.size(), {}, &reason));
    EXPECT_EQ(reason, "a dictionary key that is not a string");
}

TEST(PropertyList, ReadsWhatLibplistWritesAndRefusesUids) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "n", plist_new_uint(7));
    plist_dict_set_item(dict, "list", plist_new_array());
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    auto value = decodeBinaryPlist(reinterpret_cast<std::uint8_t*>(bin), length);
    std::free(bin);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, PlistValue(PlistDictionary{{"n", 7}, {"list", PlistValue::Array{}}}));

    plist_dict_set_item(dict, "uid", plist_new_uid(3));
    bin = nullptr;  // libplist writes nothing into a pointer that is already set
    plist_to_bin(dict, &bin, &length);
    ASSERT_NE(bin, nullptr);
    std::string reason;
    EXPECT_FALSE(decodeBinaryPlist(reinterpret_cast<std::uint8_t*>(bin), length, {}, &reason));
    std::free(bin);
    plist_free(dict);
}

TEST(PropertyList, DescriptionIsOneReadableLine) {
    PlistDictionary dict{
        {"command", "getCredentials"},
        {"timestamp", dateAt(1714557600000000)},
        {"data", PlistValue::Data(30, 0xAB)},
        {"n", 3},
    };
    std::string shown;
    for (int i = 0; i < 24; ++i)
        shown += "ab";
    EXPECT_EQ(describePlist(dict),
              "{command = \"getCredentials\"; data = {length = 30, bytes = 0x" + shown +
                  "...}; n = 3; timestamp = 2024-05-01 10:00:00 +0000}");
    EXPECT_EQ(describePlist(PlistValue(PlistValue::Array{true, "a\"b\n"})), "(1, \"a\\\"b\\n\")");
}

}  // namespace
}  // namespace vk
