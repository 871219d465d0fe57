// The record encoder's writer: escaping, numbers, separators, and strings of every size.
#include "VornKit/Model/JsonOutput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "VornKit/Model/MediaStream.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/UserItemDataDto.h"

namespace vk {
namespace {

std::string written(void (*write)(JsonOutput&)) {
    std::string out = "prefix:";
    JsonWriteOptions options;
    JsonOutput w(out, options);
    write(w);
    w.finish();
    return out;
}

TEST(JsonOutput, PlacesCommasAndAppendsToWhatIsThere) {
    EXPECT_EQ(written([](JsonOutput& w) {
                  w.beginObject();
                  w.key("a");
                  w.beginArray();
                  w.integer(1);
                  w.beginObject();
                  w.endObject();
                  w.null();
                  w.boolean(false);
                  w.endArray();
                  w.encodedKey("\"b\":");
                  w.string("x");
                  w.endObject();
              }),
              R"(prefix:{"a":[1,{},null,false],"b":"x"})");
}

TEST(JsonOutput, EscapesWhatJsonRequiresAndNothingElse) {
    std::string all;
    for (int c = 1; c < 0x80; ++c)
        all.push_back(static_cast<char>(c));
    all += "\xc3\xa9\xf0\x9f\x98\x80";
    std::string expected =
        "\"\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
        "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017"
        "\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f !\\\"#$%&'()*+,"
        "-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\\\]^_`abcdefghijklmnop"
        "qrstuvwxyz{|}~\x7f\xc3\xa9\xf0\x9f\x98\x80\"";
    std::string out;
    JsonWriteOptions options;
    {
        JsonOutput w(out, options);
        w.string(all);
        w.text(Text(all));
    }
    EXPECT_EQ(out, expected + "," + expected);

    std::string key;
    JsonOutput::appendEscaped(key, "a\"b\\c\x01");
    EXPECT_EQ(key, "a\\\"b\\\\c\\u0001");
}

TEST(JsonOutput, StringsOfEverySizeRoundTrip) {
    // Sizes around the word and growth boundaries, with an escape at every position mod 8.
    for (std::size_t size : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 70000u, 200000u}) {
        NameIdPair pair;
        std::string name(size, 'n');
        if (size > 0)
            name[size / 2] = '"';
        if (size > 3)
            name[size - 1] = '\n';
        pair.Name = name;
        pair.Id = std::string(size, 'i');
        auto json = JsonEncoder().encode(pair);
        ASSERT_TRUE(json);
        auto back = JsonDecoder().decode<NameIdPair>(*json);
        ASSERT_TRUE(back) << size << ": " << back.error().description();
        EXPECT_EQ(back->Name, name) << size;
        EXPECT_EQ(back->Id, pair.Id) << size;
    }
}

TEST(JsonOutput, ALongListWhoseSampleIsUntypicalIsWrittenWhole) {
    // A long list is sized from a sample of its elements. Here the elements between the sampled
    // ones are a thousand times longer, so the estimate falls far short and the writer has to
    // grow its string many times over.
    std::vector<NameIdPair> pairs(3200);
    std::string expected = "[";
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        pairs[i].Id = std::to_string(i);
        pairs[i].Name = std::string(i % 100 == 0 ? 1 : 1000, static_cast<char>('a' + i % 26));
        expected += (i ? ",{\"Name\":\"" : "{\"Name\":\"") + pairs[i].Name.str() + "\",\"Id\":\"" +
                    std::to_string(i) + "\"}";
    }
    expected += "]";
    auto json = JsonEncoder().encode(pairs);
    ASSERT_TRUE(json);
    EXPECT_EQ(*json, expected);
}

TEST(JsonOutput, NumbersInShortestFormAndNonFiniteValuesRefused) {
    UserItemDataDto data;
    data.Rating = 0.1;
    data.PlayedPercentage = -1e-300;
    data.PlayCount = std::numeric_limits<std::int64_t>::min();
    data.UnplayedItemCount = std::numeric_limits<std::int64_t>::max();
    auto json = JsonEncoder().encode(data);
    ASSERT_TRUE(json);
    EXPECT_EQ(*json,
              R"({"Rating":0.1,"PlayedPercentage":-1e-300,"UnplayedItemCount":9223372036854775807,)"
              R"("PlayCount":-9223372036854775808})");
    auto back = JsonDecoder().decode<UserItemDataDto>(*json);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, data);

    data.Rating = std::nan("");
    EXPECT_FALSE(JsonEncoder().encode(data));
    MediaStream stream;
    stream.AverageFrameRate = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(JsonEncoder().encode(stream));
    // The largest floats are written in a form a little above them, which must read back.
    stream.AverageFrameRate = -std::numeric_limits<float>::max();
    stream.RealFrameRate = std::numeric_limits<float>::denorm_min();
    auto extremes = JsonEncoder().encode(stream);
    ASSERT_TRUE(extremes);
    auto extremesBack = JsonDecoder().decode<MediaStream>(*extremes);
    ASSERT_TRUE(extremesBack) << *extremes << ": " << extremesBack.error().description();
    EXPECT_EQ(extremesBack->AverageFrameRate, stream.AverageFrameRate);
    EXPECT_EQ(extremesBack->RealFrameRate, stream.RealFrameRate);
    EXPECT_FALSE(JsonDecoder().decode<MediaStream>(R"({"AverageFrameRate":3.5e38})"));
    stream.RealFrameRate.reset();
    stream.AverageFrameRate = 29.97f;
    auto streamJson = JsonEncoder().encode(stream);
    ASSERT_TRUE(streamJson);
    EXPECT_EQ(*streamJson, R"({"AverageFrameRate":29.97})");
}

// Servers read tick and position fields as 64-bit integers even where the record holds a double:
// an integral value must not reach them as 1.5e+07.
TEST(JsonOutput, IntegralNumbersBelowTwoToThe53AreWrittenAsIntegers) {
    auto number = [](double value) {
        std::string out;
        JsonWriteOptions options;
        JsonOutput w(out, options);
        w.number(value);
        w.finish();
        return out;
    };
    EXPECT_EQ(number(15000000.0), "15000000");
    EXPECT_EQ(number(-36000000000.0), "-36000000000");
    EXPECT_EQ(number(1e15), "1000000000000000");
    EXPECT_EQ(number(9007199254740991.0), "9007199254740991");
    EXPECT_EQ(number(-9007199254740991.0), "-9007199254740991");
    EXPECT_EQ(number(0.0), "0");
    // Everything else keeps the shortest form that reads back the same.
    EXPECT_EQ(number(1e20), "1e+20");
    EXPECT_EQ(number(0.5), "0.5");
    EXPECT_EQ(number(1e-7), "1e-07");
    EXPECT_EQ(number(15000000.5), "15000000.5");

    std::string floats;
    JsonWriteOptions options;
    JsonOutput w(floats, options);
    w.beginArray();
    w.number(1.5e7f);
    w.number(3e10f);
    w.number(2.5f);
    w.endArray();
    w.finish();
    EXPECT_EQ(floats, "[15000000,30000001024,2.5]");

    UserItemDataDto data;
    data.Rating = 15000000.0;
    data.PlayedPercentage = 100.0;
    auto json = JsonEncoder().encode(data);
    ASSERT_TRUE(json);
    EXPECT_NE(json->find(R"("Rating":15000000,"PlayedPercentage":100)"), std::string::npos)
        << *json;
    auto back = JsonDecoder().decode<UserItemDataDto>(*json);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Rating, 15000000.0);
}

}  // namespace
}  // namespace vk
