// Library queries of ApiClient against the reference library: paths, user ids, parameters,
// methods and headers as the server receives them, decoded answers, and the failure paths.
#include <map>
#include <set>

#include "LibraryTestSupport.h"

using vk::ApiClient;
using vk::BaseItemDto;
using vk::GetItemsResponse;
using vk::UserItemDataDto;
using vk::test::LibraryServerTest;
using vk::test::makeServerInfo;
using Items = ApiClient::ItemList;
using Params = ApiClient::QueryParams;

namespace {

std::map<std::string, std::string> queryOf(const refserver::RecordedRequest& request) {
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : request.query)
        out[name] = value;
    return out;
}

std::vector<std::string> names(const std::vector<std::shared_ptr<BaseItemDto>>& items) {
    std::vector<std::string> out;
    for (const auto& item : items)
        out.push_back(item->Name.str());
    return out;
}

class LibraryQueries : public LibraryServerTest {
  protected:
    std::optional<GetItemsResponse> items(std::optional<std::string> user, Params params) {
        return await<GetItemsResponse>(
            [&](auto done) { client_->getItems(user, params, std::move(done)); });
    }
    const refserver::LibraryItem& firstAlbum() { return *library_->ofType("MusicAlbum").front(); }
};

TEST_F(LibraryQueries, ViewsUseTheGivenUserElseTheClientsOwn) {
    auto views = await<GetItemsResponse>(
        [&](auto done) { client_->getUserViews(std::string("user-1"), {}, std::move(done)); });
    ASSERT_TRUE(views);
    EXPECT_EQ(names(views->Items), (std::vector<std::string>{"Music", "Movies", "Shows"}));
    EXPECT_EQ(views->TotalRecordCount, 3);
    EXPECT_EQ(views->Items[0]->CollectionType, "music");

    auto fallback = await<GetItemsResponse>([&](auto done) {
        client_->getUserViews(std::nullopt, {{"Limit", "2"}}, std::move(done));
    });
    ASSERT_TRUE(fallback);
    auto recorded = requestsAt("Users/user-1/Views");
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].method, "GET");
    EXPECT_TRUE(recorded[0].query.empty());
    EXPECT_EQ(queryOf(recorded[1]), (std::map<std::string, std::string>{{"Limit", "2"}}));
}

TEST_F(LibraryQueries, AnotherUserIdGoesIntoThePathAsGiven) {
    auto none = await<GetItemsResponse>(
        [&](auto done) { client_->getUserViews(std::string("user-2"), {}, std::move(done)); });
    EXPECT_FALSE(none) << "the server knows no user-2";
    EXPECT_EQ(requestsAt("Users/user-2/Views").size(), 1u);
}

TEST_F(LibraryQueries, WithoutAnyUserIdViewsAndLatestFailWithoutARequest) {
    auto info = makeServerInfo(base_);
    info.UserId.reset();
    client_ = makeClient(info);
    auto views = await<GetItemsResponse>(
        [&](auto done) { client_->getUserViews(std::nullopt, {}, std::move(done)); }, true);
    auto latest = await<Items>(
        [&](auto done) { client_->getLatestItems(std::nullopt, {}, std::move(done)); }, true);
    auto favorite = await<UserItemDataDto>(
        [&](auto done) { client_->favoriteItem("x", true, std::move(done)); }, true);
    EXPECT_FALSE(views);
    EXPECT_FALSE(latest);
    EXPECT_FALSE(favorite);
    EXPECT_EQ(log_->messages("ApiClient"),
              (std::vector<std::string>{"Error: getUserViews invalid url",
                                        "Error: getLatestItems invalid url",
                                        "Error: favoriteItem invalid url"}));
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(LibraryQueries, GetItemsWithAUserAsksUnderTheUserWithTheOptionsUnchanged) {
    const Params options = {{"ParentId", firstAlbum().id},
                            {"SortBy", "IndexNumber"},
                            {"SearchTerm", "the & a/b"},
                            {"Fields", "MediaSources,Genres"}};
    auto answer = items(std::string("user-1"), options);
    ASSERT_TRUE(answer);
    auto recorded = requestsAt("Users/user-1/Items");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(queryOf(recorded[0]), Params(options.begin(), options.end()));
    EXPECT_EQ(recorded[0].method, "GET");
}

TEST_F(LibraryQueries, AnAlbumsTracksArriveDecodedInOrderWithTheirUserData) {
    auto answer =
        items(std::string("user-1"), {{"ParentId", firstAlbum().id}, {"SortBy", "IndexNumber"}});
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->Items.size(), 10u);
    EXPECT_EQ(answer->TotalRecordCount, 10);
    for (std::size_t i = 0; i < answer->Items.size(); ++i) {
        const BaseItemDto& track = *answer->Items[i];
        EXPECT_EQ(track.IndexNumber, static_cast<int>(i + 1));
        EXPECT_EQ(track.Type, "Audio");
        EXPECT_EQ(track.AlbumId, firstAlbum().id);
        EXPECT_EQ(track.ServerId, "server-1");
        ASSERT_TRUE(track.UserData);
        ASSERT_TRUE(track.MediaSources);
        EXPECT_EQ(track.MediaSources->front().Container, "wav");
    }
    EXPECT_EQ(answer->Items[0]->UserData->Played, true) << "the sample's first track is played";
}

TEST_F(LibraryQueries, GetItemsWithoutAUserAsksItemsAndNeverTheClientsUser) {
    auto answer = items(std::nullopt, {{"IncludeItemTypes", "MusicAlbum"}, {"Recursive", "true"}});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Items.size(), 6u);
    EXPECT_FALSE(answer->Items[0]->UserData) << "no user, no user data";
    EXPECT_EQ(requestsAt("Items").size(), 1u);
    EXPECT_TRUE(requestsAt("Users/user-1/Items").empty());
}

TEST_F(LibraryQueries, GetItemUsesOnlyTheGivenUser) {
    const std::string id = library_->ofType("Movie").front()->id;
    auto withUser = await<std::shared_ptr<BaseItemDto>>([&](auto done) {
        client_->getItem(std::string("user-1"), id, vk::JsonDecoder(), std::move(done));
    });
    ASSERT_TRUE(withUser && *withUser);
    EXPECT_EQ((*withUser)->Id, id);
    EXPECT_EQ((*withUser)->Type, "Movie");
    EXPECT_TRUE((*withUser)->UserData);
    auto without = await<std::shared_ptr<BaseItemDto>>(
        [&](auto done) { client_->getItem(std::nullopt, id, vk::JsonDecoder(), std::move(done)); });
    ASSERT_TRUE(without && *without);
    EXPECT_FALSE((*without)->UserData);
    EXPECT_EQ(requestsAt("Users/user-1/Items/" + id).size(), 1u);
    EXPECT_EQ(requestsAt("Items/" + id).size(), 1u);
    EXPECT_TRUE(requestsAt("Items/" + id)[0].query.empty());
}

TEST_F(LibraryQueries, AnUnknownItemIsAbsent) {
    auto item = await<std::shared_ptr<BaseItemDto>>([&](auto done) {
        client_->getItem(std::string("user-1"), "0000", vk::JsonDecoder(), std::move(done));
    });
    EXPECT_FALSE(item);
    EXPECT_TRUE(log_->contains("Error fetching content for " + base_ +
                               "/vorn/Users/user-1/Items/0000: Invalid response"));
}

TEST_F(LibraryQueries, LatestIsAListNewestFirst) {
    auto latest = await<Items>([&](auto done) {
        client_->getLatestItems(std::nullopt,
                                {{"IncludeItemTypes", "Audio,MusicAlbum"}, {"Limit", "4"}},
                                std::move(done));
    });
    ASSERT_TRUE(latest);
    ASSERT_EQ(latest->size(), 4u);
    // Tracks are grouped into their albums; the last album added comes first.
    auto albums = library_->ofType("MusicAlbum");
    EXPECT_EQ((*latest)[0]->Id, albums.back()->id);
    EXPECT_EQ((*latest)[0]->Type, "MusicAlbum");
    auto recorded = requestsAt("Users/user-1/Items/Latest");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(queryOf(recorded[0]).at("Limit"), "4");

    auto other = await<Items>(
        [&](auto done) { client_->getLatestItems(std::string("user-1"), {}, std::move(done)); });
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->empty());
}

TEST_F(LibraryQueries, ArtistsAskTheArtistsPath) {
    auto artists = await<GetItemsResponse>([&](auto done) {
        client_->getArtistItems({{"SortBy", "SortName"}, {"SortOrder", "Descending"}},
                                std::move(done));
    });
    ASSERT_TRUE(artists);
    ASSERT_EQ(artists->Items.size(), 2u);
    for (const auto& artist : artists->Items)
        EXPECT_TRUE(artist->isArtistItem());
    EXPECT_GT(artists->Items[0]->SortName.str(), artists->Items[1]->SortName.str());
    EXPECT_EQ(requestsAt("Artists").size(), 1u);
}

TEST_F(LibraryQueries, FavoriteOnPostsOffDeletesBothAskingForJson) {
    const std::string id = library_->ofType("Audio")[1]->id;
    ASSERT_FALSE(library_->userState(id).isFavorite);
    auto on = await<UserItemDataDto>(
        [&](auto done) { client_->favoriteItem(id, true, std::move(done)); });
    ASSERT_TRUE(on);
    EXPECT_EQ(on->IsFavorite, true);
    EXPECT_EQ(on->ItemId, id);
    EXPECT_TRUE(library_->userState(id).isFavorite);
    auto off = await<UserItemDataDto>(
        [&](auto done) { client_->favoriteItem(id, false, std::move(done)); });
    ASSERT_TRUE(off);
    EXPECT_EQ(off->IsFavorite, false);
    EXPECT_FALSE(library_->userState(id).isFavorite);

    auto recorded = requestsAt("Users/user-1/FavoriteItems/" + id);
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[1].method, "DELETE");
    for (const auto& request : recorded) {
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_TRUE(request.body.empty());
        EXPECT_TRUE(request.query.empty());
    }
}

TEST_F(LibraryQueries, AnIdCannotReachAnotherPathOfTheServer) {
    // Unescaped, the dot segments would take this POST to "Sessions/Playing".
    const std::string id = "a/../../../../Sessions/Playing";
    EXPECT_FALSE(await<UserItemDataDto>(
        [&](auto done) { client_->favoriteItem(id, true, std::move(done)); }));
    EXPECT_TRUE(requestsAt("Sessions/Playing").empty());
    EXPECT_EQ(requestsAt("Users/user-1/FavoriteItems/" + id).size(), 1u);
    // A '?' in an id is part of it, not the start of a query.
    EXPECT_FALSE(await<std::shared_ptr<BaseItemDto>>([&](auto done) {
        client_->getItem(std::string("user-1"), "abc?x", vk::JsonDecoder(), std::move(done));
    }));
    EXPECT_EQ(requestsAt("Users/user-1/Items/abc?x").size(), 1u);
}

TEST_F(LibraryQueries, FavoriteOfAnUnknownItemIsAbsent) {
    auto answer = await<UserItemDataDto>(
        [&](auto done) { client_->favoriteItem("no-such-item", true, std::move(done)); });
    EXPECT_FALSE(answer);
}

TEST_F(LibraryQueries, WithoutAnAddressEveryQueryLogsItsOwnLine) {
    auto info = makeServerInfo(std::nullopt);  // no candidate: resolution finds nothing
    client_ = std::make_shared<ApiClient>(info, vk::test::makeDeviceInfo());
    EXPECT_FALSE(await<GetItemsResponse>(
        [&](auto done) { client_->getItems(std::nullopt, {}, std::move(done)); }, true));
    EXPECT_FALSE(await<std::shared_ptr<BaseItemDto>>(
        [&](auto done) { client_->getItem(std::nullopt, "1", vk::JsonDecoder(), std::move(done)); },
        true));
    EXPECT_FALSE(await<GetItemsResponse>(
        [&](auto done) { client_->getArtistItems({}, std::move(done)); }, true));
    auto lines = log_->messages("ApiClient");
    for (const char* expected : {"Error: getItems invalid url", "Error: getItem invalid url",
                                 "Error: getArtistItems invalid url"}) {
        EXPECT_EQ(log_->count(expected), 1u) << expected;
    }
    EXPECT_EQ(log_->count("Error: Server address not set"), 3u);
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(LibraryQueries, AWrongTokenIsRefusedAndReportedAbsent) {
    client_->setServerCredentials(std::string("stolen"));
    EXPECT_FALSE(items(std::string("user-1"), {}));
    auto recorded = requestsAt("Users/user-1/Items");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_NE(recorded[0].header("X-Vorn-Authorization")->find("Token=stolen"), std::string::npos);
}

}  // namespace
