#include <cmath>
#include <limits>

#include "VornKit/Platform/Coding/Base64.h"
#include "VornKit/Platform/Coding/JsonWriter.h"
#include "gtest/gtest.h"

namespace {

TEST(Base64, RoundTripsEveryLengthAndRejectsMalformedText) {
    std::vector<std::uint8_t> bytes;
    for (int n = 0; n < 8; ++n) {
        auto text = vk::Base64::encode(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(vk::Base64::decode(text), bytes);
        bytes.push_back(static_cast<std::uint8_t>(250 + n));
    }
    EXPECT_EQ(vk::Base64::encode({'M', 'a'}), "TWE=");
    EXPECT_FALSE(vk::Base64::decode("TWE"));
    EXPECT_FALSE(vk::Base64::decode("T=WE"));
    EXPECT_FALSE(vk::Base64::decode("TW E"));
    EXPECT_FALSE(vk::Base64::decode("TWE=TWE="));
}

TEST(JsonWriter, PlacesCommasEscapesTextAndWritesShortestNumbers) {
    std::string out;
    vk::JsonWriter w(out);
    w.beginObject();
    w.key("a\"b");
    w.string("line\nbreak\x01\\");
    w.key("list");
    w.beginArray();
    w.integer(-1);
    w.number(0.1);
    w.number(1e300);
    w.number(std::numeric_limits<double>::quiet_NaN());
    w.beginObject();
    w.endObject();
    w.endArray();
    w.key("t");
    w.boolean(true);
    w.endObject();
    EXPECT_EQ(out, R"({"a\"b":"line\nbreak\u0001\\","list":[-1,0.1,1e+300,null,{}],"t":true})");
}

TEST(JsonWriter, IntegralDoublesBelowTwoToThe53HaveNeitherExponentNorFraction) {
    std::string out;
    vk::JsonWriter w(out);
    w.beginArray();
    for (double v : {15000000.0, -2e12, 9007199254740991.0, 9007199254740992.0, 1e21, 2.5e-3}) {
        w.number(v);
    }
    w.endArray();
    EXPECT_EQ(out, "[15000000,-2000000000000,9007199254740991,9007199254740992,1e+21,0.0025]");
}

}  // namespace
