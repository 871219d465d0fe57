#include "VornKit/Model/BaseItemDto.h"

#include <gtest/gtest.h>

#include "VornKit/Model/GetItemsResponse.h"

namespace vk {
namespace {

std::shared_ptr<BaseItemDto> decodeItem(const std::string& json) {
    auto item = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(json);
    EXPECT_TRUE(item) << item.error().description();
    return item ? *item : nullptr;
}

TEST(BaseItemDtoCoding, MinimalItemHasDefaultsAndEncodesEveryScalar) {
    auto item = decodeItem(R"({"Id":"a","ServerId":"s"})");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->RunTimeTicks, 0);
    EXPECT_FALSE(item->IsFolder);
    EXPECT_TRUE(item->ImageTags.empty());
    EXPECT_TRUE(item->AlbumArtists.empty());
    EXPECT_FALSE(item->Name);
    EXPECT_FALSE(item->MediaSources);
    EXPECT_FALSE(item->UserData);
    auto json = JsonEncoder().encode(item);
    ASSERT_TRUE(json);
    EXPECT_EQ(
        json->rfind(
            R"({"ImageTags":{},"AlbumArtists":[],"ArtistItems":[],"ServerId":"s","Id":"a",)", 0),
        0u);
    EXPECT_NE(json->find(R"("RunTimeTicks":0,)"), std::string::npos);
    EXPECT_NE(json->find(R"("CriticRating":0,)"), std::string::npos);
    EXPECT_EQ(json->find("Name"), std::string::npos);
    EXPECT_EQ(json->find("null"), std::string::npos);
    // 5 always-written non-scalars + 48 scalars
    std::size_t keys = 0;
    for (std::size_t p = json->find("\":"); p != std::string::npos; p = json->find("\":", p + 1)) {
        ++keys;
    }
    EXPECT_EQ(keys, 53u);
}

TEST(BaseItemDtoCoding, RequiredKeysAndNulls) {
    auto noServer = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(R"({"Id":"a"})");
    ASSERT_FALSE(noServer);
    EXPECT_EQ(noServer.error().kind, DecodingErrorKind::KeyNotFound);
    EXPECT_NE(noServer.error().description().find("ServerId"), std::string::npos);

    auto item =
        decodeItem(R"({"Id":"a","ServerId":"s","IsFolder":null,"Name":null,"ImageTags":null})");
    ASSERT_TRUE(item);
    EXPECT_FALSE(item->IsFolder);
    EXPECT_FALSE(item->Name);
    EXPECT_TRUE(item->ImageTags.empty());
}

TEST(BaseItemDtoCoding, IntegerWidthAndTypesAreEnforced) {
    auto overflow = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(
        R"({"Id":"a","ServerId":"s","ProductionYear":2147483648})");
    ASSERT_FALSE(overflow);
    EXPECT_EQ(overflow.error().kind, DecodingErrorKind::DataCorrupted);
    EXPECT_EQ(overflow.error().codingPath, "ProductionYear");

    auto fits = decodeItem(
        R"({"Id":"a","ServerId":"s","ProductionYear":-2147483648,"RunTimeTicks":9223372036854775807})");
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->ProductionYear, INT32_MIN);
    EXPECT_EQ(fits->RunTimeTicks, INT64_MAX);

    auto tooBig = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(
        R"({"Id":"a","ServerId":"s","RunTimeTicks":9223372036854775808})");
    EXPECT_FALSE(tooBig);

    auto fraction = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(
        R"({"Id":"a","ServerId":"s","IndexNumber":2.5})");
    ASSERT_FALSE(fraction);
    EXPECT_EQ(fraction.error().kind, DecodingErrorKind::DataCorrupted);

    auto text = JsonDecoder().decode<std::shared_ptr<BaseItemDto>>(
        R"({"Id":"a","ServerId":"s","IsFolder":"yes"})");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind, DecodingErrorKind::TypeMismatch);
    EXPECT_EQ(text.error().codingPath, "IsFolder");
}

TEST(BaseItemDtoCoding, NestedErrorsNameTheirPath) {
    auto bad = JsonDecoder().decode<GetItemsResponse>(
        R"({"TotalRecordCount":2,"Items":[{"Id":"a","ServerId":"s"},)"
        R"({"Id":"b","ServerId":"s","MediaSources":[{"MediaStreams":[{"Index":"1"}]}]}]})");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().codingPath, "Items[1].MediaSources[0].MediaStreams[0].Index");
    EXPECT_EQ(bad.error().kind, DecodingErrorKind::TypeMismatch);
}

TEST(BaseItemDtoCoding, EscapedKeysAndValuesAndUnknownKeys) {
    auto item = decodeItem(
        R"({"\u0049d":"a","ServerId":"s","N\u0061me":"Caf\u00e9 \"Live\"","Unknown":{"x":[1,{"y":2}]},)"
        R"("ImageTags":{"Pri\u006dary":"t1"}})");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->Id, "a");
    EXPECT_EQ(item->Name, "Caf\xc3\xa9 \"Live\"");
    EXPECT_EQ(item->primaryImageTag(), "t1");
    auto json = JsonEncoder().encode(item);
    ASSERT_TRUE(json);
    EXPECT_NE(json->find(R"("Name":"Café \"Live\"")"), std::string::npos);
}

TEST(BaseItemDtoCoding, RoundTripKeepsNestedRecords) {
    auto item = decodeItem(
        R"({"Id":"a","ServerId":"s","UserData":{"Likes":false,"PlayCount":2},)"
        R"("MediaSources":[{"Id":"m","MediaStreams":[{"Codec":"flac","Index":0}],"RunTimeTicks":5}],)"
        R"("ArtistItems":[{"Name":"A","Id":"1"}],"Genres":["Rock"],"CommunityRating":7.25,)"
        R"("ProviderIds":{"MusicBrainz":"x"}})");
    ASSERT_TRUE(item);
    auto json = JsonEncoder().encode(item);
    ASSERT_TRUE(json);
    auto again = decodeItem(*json);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->UserData, item->UserData);
    ASSERT_TRUE(again->UserData->Likes.has_value());
    EXPECT_FALSE(*again->UserData->Likes);
    EXPECT_EQ(again->MediaSources, item->MediaSources);
    EXPECT_EQ(again->ArtistItems, item->ArtistItems);
    EXPECT_EQ(again->Genres, item->Genres);
    EXPECT_EQ(again->ProviderIds, item->ProviderIds);
    EXPECT_FLOAT_EQ(again->CommunityRating, 7.25f);
    EXPECT_EQ(JsonEncoder().encode(again), json);
}

TEST(BaseItemDtoCoding, ResponsesOfManyMegabytesRoundTrip) {
    // Large enough for a parser of its own and an output buffer advised for huge pages; the
    // same streams and artist in every item, so texts are shared across arena chunks.
    std::string json = R"({"Items":[)";
    for (int i = 0; i < 12000; ++i) {
        if (i)
            json += ',';
        json += R"({"Id":"item-)" + std::to_string(i) + R"(","ServerId":"s","Name":"Track )" +
                std::to_string(i) + R"(","MediaSources":[{"Id":"m","MediaStreams":[)" +
                R"({"Codec":"flac","Index":0,"Path":"/music/)" + std::string(200, 'p') +
                R"("},{"Codec":"mjpeg","Index":1}]}],"ArtistItems":[{"Name":"Artist","Id":"1"}],)" +
                R"("RunTimeTicks":)" + std::to_string(1000000LL * i) + "}";
    }
    json += R"(],"TotalRecordCount":12000})";
    ASSERT_GT(json.size(), 4u << 20);
    auto response = JsonDecoder().decode<GetItemsResponse>(json);
    ASSERT_TRUE(response) << response.error().description();
    ASSERT_EQ(response->Items.size(), 12000u);
    const auto& last = *response->Items.back();
    EXPECT_EQ(last.Id, "item-11999");
    EXPECT_EQ(last.RunTimeTicks, 11999000000LL);
    EXPECT_EQ((*last.MediaSources)[0].MediaStreams[1].Codec, "mjpeg");
    auto encoded = JsonEncoder().encode(*response);
    ASSERT_TRUE(encoded);
    auto again = JsonDecoder().decode<GetItemsResponse>(*encoded);
    ASSERT_TRUE(again) << again.error().description();
    auto reencoded = JsonEncoder().encode(*again);
    ASSERT_TRUE(reencoded);
    EXPECT_EQ(*reencoded, *encoded);
    EXPECT_EQ((*again->Items[7]->MediaSources)[0].MediaStreams[0].Path,
              "/music/" + std::string(200, 'p'));
}

TEST(BaseItemDtoDerived, RemoteItemIdAndMediaId) {
    BaseItemDto item;
    item.Id = "local:123";
    item.ServerId = "s1";
    EXPECT_EQ(item.remoteItemId(), "123");
    EXPECT_EQ(item.mediaId(), "s1/123");
    item.Id = "123";
    EXPECT_EQ(item.remoteItemId(), "123");
    item.Id = "xlocal:9local:8";
    EXPECT_EQ(item.remoteItemId(), "9local:8");
}

TEST(BaseItemDtoDerived, FullNameAndArtistItem) {
    BaseItemDto item;
    item.Type = "MusicAlbum";
    item.Name = "N";
    item.Artists = std::vector<Text>{"A", "B"};
    EXPECT_EQ(item.fullName(), "A - N");
    item.Name.reset();
    EXPECT_EQ(item.fullName(), "A - ");
    item.Type = "Movie";
    item.Name = "N";
    EXPECT_EQ(item.fullName(), "N");
    item.Type = "Audio";
    item.Artists = std::vector<Text>{};
    EXPECT_EQ(item.fullName(), "N");

    item.Type = "mUsIcArTiSt";
    EXPECT_TRUE(item.isArtistItem());
    item.Type = "Artist";
    EXPECT_FALSE(item.isArtistItem());
    item.Type.reset();
    EXPECT_FALSE(item.isArtistItem());
}

TEST(BaseItemDtoDerived, ImageTagsAreExactCase) {
    BaseItemDto item;
    item.ImageTags.set("primary", "x");
    item.ImageTags.set("Thumb", "t");
    EXPECT_FALSE(item.primaryImageTag());
    EXPECT_EQ(item.thumbImageTag(), "t");
    EXPECT_FALSE(item.logoImageTag());
}

TEST(BaseItemDtoDecodeFields, StopsAtFirstErrorAndResetsOthers) {
    BaseItemDto item;
    item.Album = "old";
    item.ProductionYear = 1999;
    EXPECT_FALSE(item.decodeFields(R"({"Id":"a","ServerId":"s","Name":"n"})"));
    EXPECT_EQ(item.Name, "n");
    EXPECT_FALSE(item.Album);
    EXPECT_EQ(item.ProductionYear, 0);

    auto error = item.decodeFields(R"({"Name":"m","Id":"b"})");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, DecodingErrorKind::KeyNotFound);
    EXPECT_EQ(item.Name, "m");
}

// Fields are read in one pass in the order of the text, but the outcome is that of reading them in
// table order and stopping at the first failure: that field's error is reported, the fields
// before it are filled and the ones after it are not.
TEST(BaseItemDtoDecodeFields, TheFirstFailureInTableOrderWinsWhateverTheTextOrder) {
    using Item = std::shared_ptr<BaseItemDto>;
    // ProductionYear (44) is bad, but the missing Id (10) comes first in the table.
    BaseItemDto item;
    auto missingId = item.decodeFields(
        R"({"ProductionYear":"x","Album":"al","Name":"n","ServerId":"s","Genres":["g"]})");
    ASSERT_TRUE(missingId);
    EXPECT_EQ(missingId->kind, DecodingErrorKind::KeyNotFound) << missingId->description();
    EXPECT_NE(missingId->description().find("\"Id\""), std::string::npos);
    EXPECT_EQ(item.Name, "n");
    EXPECT_EQ(item.ServerId, "s");
    EXPECT_FALSE(item.Album) << "Album comes after Id in the table";
    EXPECT_FALSE(item.Genres);
    EXPECT_EQ(item.ProductionYear, 0);

    auto noKeys = JsonDecoder().decode<Item>(R"({"ProductionYear":"x","Width":"w"})");
    ASSERT_FALSE(noKeys);
    EXPECT_EQ(noKeys.error().kind, DecodingErrorKind::KeyNotFound);
    EXPECT_NE(noKeys.error().description().find("ServerId"), std::string::npos);

    // Two bad values: the one earlier in the table wins, later ones are not read.
    BaseItemDto typed;
    auto badYear = typed.decodeFields(
        R"({"Width":"w","Album":"al","ProductionYear":"x","RunTimeTicks":5,"Id":"a","ServerId":"s"})");
    ASSERT_TRUE(badYear);
    EXPECT_EQ(badYear->kind, DecodingErrorKind::TypeMismatch);
    EXPECT_EQ(badYear->codingPath, "ProductionYear");
    EXPECT_EQ(typed.RunTimeTicks, 5);
    EXPECT_EQ(typed.Id, "a");
    EXPECT_FALSE(typed.Album);
    EXPECT_EQ(typed.Width, 0);

    // A nested failure competes by the position of its field; the failed list is not half kept.
    auto nested = JsonDecoder().decode<Item>(
        R"({"Genres":["a",1],"Id":"a","ServerId":"s","UserData":{"PlayCount":"x"}})");
    ASSERT_FALSE(nested);
    EXPECT_EQ(nested.error().codingPath, "UserData.PlayCount");
    BaseItemDto list;
    auto badGenre = list.decodeFields(R"({"Genres":["a",1],"Id":"a","ServerId":"s","Name":"n"})");
    ASSERT_TRUE(badGenre);
    EXPECT_EQ(badGenre->codingPath, "Genres[1]");
    EXPECT_FALSE(list.Genres) << "a list that failed half-way is not kept";
    EXPECT_EQ(list.Name, "n");

    // Malformed JSON anywhere in the document still wins over every field's error.
    auto malformed =
        JsonDecoder().decode<Item>(R"({"ProductionYear":"x","Id":"a","ServerId":"s",,"Name":1})");
    ASSERT_FALSE(malformed);
    EXPECT_EQ(malformed.error().kind, DecodingErrorKind::DataCorrupted);
}

TEST(BaseItemDtoStore, EveryAttributeHasALowerCamelNameAndRoundTrips) {
    const auto& table = BaseItemDto::fieldTable();
    ASSERT_EQ(table.size(), 121u);
    EXPECT_EQ(table[42].key, "RunTimeTicks");
    EXPECT_EQ(table[42].attribute, "runTimeTicks");
    EXPECT_EQ(table[42].kind, FieldKind::Integer64);
    EXPECT_EQ(table[10].attribute, "etag");
    EXPECT_EQ(table[0].transformer, "MediaSourceInfo");

    auto item = decodeItem(
        R"({"Id":"a","ServerId":"s","UserData":{"Played":true},"AlbumArtists":[{"Name":"A"}],)"
        R"("MediaStreams":[{"Codec":"aac"}],"Tags":["x"],"ImageTags":{"Primary":"p"},"IsKids":true})");
    ASSERT_TRUE(item);
    BaseItemDto copy;
    for (std::size_t i = 0; i < table.size(); ++i)
        copy.setStoreValue(i, item->storeValue(i));
    EXPECT_EQ(JsonEncoder().encode(copy), JsonEncoder().encode(*item));
    const auto* isKids = table.fieldForAttribute("isKids");
    ASSERT_TRUE(isKids);
    EXPECT_EQ(std::get<std::int64_t>(isKids->storeValue(*item)), 1);
}

}  // namespace
}  // namespace vk
