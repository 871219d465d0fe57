// The JSON walk under the record decoders: grammar, skipped values, strings and numbers.
#include "VornKit/Model/JsonReadContext.h"

#include <gtest/gtest.h>

#include <string>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/UserItemDataDto.h"

namespace vk {
namespace {

CodingResult<UserItemDataDto> userData(const std::string& json) {
    return JsonDecoder().decode<UserItemDataDto>(json);
}

void expectCorrupted(const std::string& json) {
    auto result = userData(json);
    ASSERT_FALSE(result) << json;
    EXPECT_EQ(result.error().kind, DecodingErrorKind::DataCorrupted) << json;
}

TEST(JsonWalk, UnknownValuesOfEveryShapeAreSkipped) {
    auto data =
        userData(R"({"A":{"x":[1,{"y":null,"z":[[],{}]},"s\"}"],"w":true},"PlayCount":3,"B":[],)"
                 R"("C":{},"D":-1.5e3,"E":"]","F":false,"G":null,"Key":"k"})");
    ASSERT_TRUE(data) << data.error().description();
    EXPECT_EQ(data->PlayCount, 3);
    EXPECT_EQ(data->Key, "k");
}

TEST(JsonWalk, KeysInAnyOrderSpacingOrSpellingMatchTheirFields) {
    // The decoder guesses each key from the order of the previous object; every one of these
    // breaks the guess in another way and must still land in the right field.
    auto list = JsonDecoder().decode<std::vector<UserItemDataDto>>(
        R"([{"PlayCount":1,"Key":"a","Played":true},)"
        R"({"PlayCount":2,"Key":"b","Played":false},)"
        R"({"Key":"c","PlayCount":3},)"
        R"({"PlayCount" :4,"Key":"d"},)"
        R"({"PlayCoun":9,"PlayCount":5,"Ke":"x","Key":"e"},)"
        R"({"PlayCount":6,"Key":"f"},)"
        R"({"PlayCount":7,"Key":"g","PlayCountX":1,"Played":true}])");
    ASSERT_TRUE(list) << list.error().description();
    ASSERT_EQ(list->size(), 7u);
    for (std::size_t i = 0; i < list->size(); ++i) {
        EXPECT_EQ((*list)[i].PlayCount, static_cast<std::int64_t>(i + 1)) << i;
        EXPECT_EQ((*list)[i].Key, std::string(1, static_cast<char>('a' + i))) << i;
    }
    EXPECT_EQ((*list)[0].Played, true);
    EXPECT_EQ((*list)[1].Played, false);
    EXPECT_FALSE((*list)[2].Played);
    EXPECT_EQ((*list)[6].Played, true);
}

TEST(JsonWalk, WhitespaceAnywhereBetweenTokens) {
    auto data =
        userData(" \n{ \"PlayCount\" :\t7 ,\r\n \"Key\"  :  \"k\" , \"X\" : [ 1 , 2 ] }\n ");
    ASSERT_TRUE(data) << data.error().description();
    EXPECT_EQ(data->PlayCount, 7);
    EXPECT_EQ(data->Key, "k");
    auto list = JsonDecoder().decode<std::vector<NameIdPair>>(" [ { \"Id\" : \"1\" } , { } ] ");
    ASSERT_TRUE(list) << list.error().description();
    EXPECT_EQ(list->size(), 2u);
}

TEST(JsonWalk, MalformedStructureFailsEvenInsideSkippedValues) {
    for (const char* json : {
             R"({"PlayCount":1,})",             // trailing comma
             R"({"PlayCount":1 "Key":"k"})",    // missing comma
             R"({"PlayCount" 1})",              // missing colon
             R"({"PlayCount":})",               // missing value
             R"({"X":{"a" 1},"PlayCount":1})",  // skipped object without colon
             R"({"X":[1 2],"PlayCount":1})",    // skipped array without comma
             R"({"X":[1,],"PlayCount":1})",     // skipped array with trailing comma
             R"({"X":{"a":1],"PlayCount":1})",  // mismatched brackets
             R"({"X":{1:2}})",                  // non-string key
             R"({"PlayCount":1)",               // unclosed object
             R"({"PlayCount":1}})",             // content after the value
             R"({"PlayCount":1} {})",           // a second document
             R"({"Key":"k"}x)",                 // trailing garbage
             R"({"Key":tru})",                  // bad atom
             R"({"X":nul})",                    // bad atom in a skipped value
             R"({"PlayCount":01})",             // leading zero
             R"({"X":01})",                     // leading zero in a skipped number
             R"({"X":-})",                      // a sign without digits
             R"({"X":12a})",                    // letters after digits
             R"({"X":1.})",                     // no digits after the point
             R"({"X":-01,"PlayCount":1})",      // negative with a leading zero
             R"({"Key":"\x"})",                 // bad escape
             R"({"Key":"\ud800"})",             // lone surrogate
             "",                                // nothing
             "   ",                             // nothing but whitespace
             "{\"Key\":\"a\tb\"}",              // raw control character
             "{\"Key\":\"\xff\"}",              // invalid UTF-8
         }) {
        expectCorrupted(json);
    }
}

TEST(JsonWalk, SkippedNumbersOfEveryFormPass) {
    auto data = userData(R"({"A":0,"B":-0,"C":123456789012345678,"D":1234567890123456789012,)"
                         R"("E":-1.5e-3,"F":2E+8,"G": 7 ,"PlayCount":3})");
    ASSERT_TRUE(data) << data.error().description();
    EXPECT_EQ(data->PlayCount, 3);
}

TEST(JsonWalk, DeeplyNestedSkippedValuesFailInsteadOfOverflowing) {
    std::string deep = R"({"X":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
    expectCorrupted(deep);
    std::string fine = R"({"X":)" + std::string(500, '[') + std::string(500, ']') + "}";
    EXPECT_TRUE(userData(fine)) << userData(fine).error().description();
}

TEST(JsonWalk, EscapedKeysMatchAndEscapedStringsUnescape) {
    auto data = userData(R"({"Pl\u0061yCount":4,"\u004bey":"a\\b\/c\n\u00e9\ud83d\ude00"})");
    ASSERT_TRUE(data) << data.error().description();
    EXPECT_EQ(data->PlayCount, 4);
    EXPECT_EQ(data->Key, "a\\b/c\n\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_FALSE(data->Key.isJsonPlain());
    auto item = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(
        R"({"Id":"i","ServerId":"s","ImageTags":{"Pri\u006dary":"t\"1","Logo":"x"}})");
    ASSERT_TRUE(item) << item.error().description();
    EXPECT_EQ((*item)->ImageTags.find("Primary"), "t\"1");
    EXPECT_EQ((*item)->ImageTags.find("Logo"), "x");
}

TEST(JsonWalk, TypeMismatchesNameWhatWasFound) {
    auto text = userData(R"({"PlayCount":"3"})");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind, DecodingErrorKind::TypeMismatch);
    EXPECT_NE(text.error().message.find("a string"), std::string::npos) << text.error().message;
    auto object = userData(R"({"Key":{}})");
    ASSERT_FALSE(object);
    EXPECT_EQ(object.error().kind, DecodingErrorKind::TypeMismatch);
    EXPECT_NE(object.error().message.find("a dictionary"), std::string::npos);
    auto list = JsonDecoder().decode<std::vector<NameIdPair>>(R"({"Id":"1"})");
    ASSERT_FALSE(list);
    EXPECT_EQ(list.error().kind, DecodingErrorKind::TypeMismatch);
    auto nullElement = JsonDecoder().decode<std::vector<NameIdPair>>(R"([{},null])");
    ASSERT_FALSE(nullElement);
    EXPECT_EQ(nullElement.error().kind, DecodingErrorKind::ValueNotFound);
    EXPECT_EQ(nullElement.error().codingPath, "[1]");
}

TEST(JsonWalk, ErrorsNameTheWholeCodingPath) {
    auto path = [](std::string_view json) {
        auto items = JsonDecoder().decode<std::vector<std::shared_ptr<BaseItemDto>>>(json);
        EXPECT_FALSE(items);
        return items ? std::string("(decoded)") : items.error().codingPath;
    };
    const char* item = R"({"Id":"a","ServerId":"s"},)";
    EXPECT_EQ(
        path(std::string("[") + item + R"({"Id":"b","ServerId":"s","ImageTags":{"Logo":1}}])"),
        "[1].ImageTags.Logo");
    EXPECT_EQ(path(std::string("[") + item + item +
                   R"({"Id":"c","ServerId":"s","MediaSources":[{"MediaStreams":[]},)"
                   R"({"MediaStreams":null}]}])"),
              "[2].MediaSources[1].MediaStreams");
    EXPECT_EQ(path(R"([{"Id":"a","ServerId":"s","Genres":["x",null]}])"), "[0].Genres[1]");
    EXPECT_EQ(path(R"([{"Id":"a","ServerId":"s","UserData":{"PlayCount":nul}}])"), "[0].UserData");
    EXPECT_EQ(path(R"([{"Id":"a"}])"), "[0]");  // a missing required key names its record
}

TEST(JsonWalk, NumbersFollowTheFieldsWidthAndExactness) {
    auto big =
        userData(R"({"PlayCount":9223372036854775807,"Rating":-0.0,"PlayedPercentage":1e-7})");
    ASSERT_TRUE(big) << big.error().description();
    EXPECT_EQ(big->PlayCount, 9223372036854775807);
    EXPECT_EQ(big->PlayedPercentage, 1e-7);
    auto integral = userData(R"({"PlayCount":2.0,"UnplayedItemCount":1E3})");
    ASSERT_TRUE(integral) << integral.error().description();
    EXPECT_EQ(integral->PlayCount, 2);
    EXPECT_EQ(integral->UnplayedItemCount, 1000);
    for (const char* json : {R"({"PlayCount":9223372036854775808})", R"({"PlayCount":2.5})",
                             R"({"PlayCount":1e400})", R"({"Rating":1e400})"}) {
        expectCorrupted(json);
    }
}

TEST(JsonWalk, DocumentsWithoutSpareCapacityAreCopiedFirst) {
    // A std::string whose capacity ends at its text, a view into a larger buffer, a literal.
    std::string exact = R"({"Key":"k","PlayCount":12})";
    exact.shrink_to_fit();
    auto fromString = JsonDecoder().decode<UserItemDataDto>(exact);
    ASSERT_TRUE(fromString);
    EXPECT_EQ(fromString->PlayCount, 12);
    std::string buffer = std::string(R"({"PlayCount":345})") + "6789\"junk";
    buffer.reserve(256);
    auto fromView = JsonDecoder().decode<UserItemDataDto>(std::string_view(buffer.data(), 17));
    ASSERT_TRUE(fromView) << fromView.error().description();
    EXPECT_EQ(fromView->PlayCount, 345);
    // Readable bytes after the text, but no terminating zero: still read correctly.
    DecodingError error;
    UserItemDataDto out;
    EXPECT_TRUE(JsonDecoder().decodeInto(std::string_view(buffer.data(), 17), 200,
                                         typeCoding<UserItemDataDto>(), &out, error))
        << error.description();
    EXPECT_EQ(out.PlayCount, 345);
}

TEST(JsonWalk, ScalarRootsAndListsOfScalars) {
    auto number = JsonDecoder().decode<std::int64_t>("  42 ");
    ASSERT_TRUE(number) << number.error().description();
    EXPECT_EQ(*number, 42);
    auto text = JsonDecoder().decode<Text>(R"("x\ty")");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "x\ty");
    auto texts = JsonDecoder().decode<std::vector<Text>>(R"(["a","b","a"])");
    ASSERT_TRUE(texts);
    ASSERT_EQ(texts->size(), 3u);
    EXPECT_TRUE((*texts)[0].sharesStorageWith((*texts)[2]));
    EXPECT_FALSE(JsonDecoder().decode<std::int64_t>("42 43"));
    EXPECT_FALSE(JsonDecoder().decode<bool>("truex"));
}

}  // namespace
}  // namespace vk
