// The reference server's library as the tests, the demo and host developers rely on it: the
// generated sample, the query parameters it honours, images and reports applied to user data.
#include <algorithm>
#include <set>

#include "LibraryTestSupport.h"
#include "VornKit/Platform/Coding/Image.h"

using vk::ApiClient;
using vk::BaseItemDto;
using vk::GetItemsResponse;
using vk::test::LibraryServerTest;
using Params = ApiClient::QueryParams;

namespace {

class ReferenceLibrary : public LibraryServerTest {
  protected:
    std::optional<GetItemsResponse> query(Params params,
                                          std::optional<std::string> user = "user-1") {
        return await<GetItemsResponse>(
            [&](auto done) { client_->getItems(user, params, std::move(done)); });
    }
    std::vector<std::string> ids(const GetItemsResponse& response) {
        std::vector<std::string> out;
        for (const auto& item : response.Items)
            out.push_back(item->Id.str());
        return out;
    }
};

TEST_F(ReferenceLibrary, TheSampleIsTheSameForTheSameOptions) {
    refserver::LibraryOptions options;
    options.tracks = 60;
    refserver::Library a(options, "s");
    refserver::Library b(options, "s");
    ASSERT_EQ(a.items().size(), b.items().size());
    for (std::size_t i = 0; i < a.items().size(); ++i) {
        EXPECT_EQ(a.items()[i].id, b.items()[i].id);
        EXPECT_EQ(a.items()[i].name, b.items()[i].name);
    }
    EXPECT_EQ(a.ofType("Audio").size(), 60u);
    EXPECT_EQ(a.ofType("MusicAlbum").size(), 6u);
    EXPECT_EQ(a.ofType("MusicArtist").size(), 2u);
    EXPECT_EQ(a.ofType("Movie").size(), 4u);
    EXPECT_EQ(a.ofType("Episode").size(), 6u);
    std::set<std::string> unique;
    for (const auto& item : a.items())
        unique.insert(item.id);
    EXPECT_EQ(unique.size(), a.items().size());
}

TEST_F(ReferenceLibrary, RecursiveQueriesFilterByTypeAndPage) {
    auto all = query({{"Recursive", "true"}, {"IncludeItemTypes", "Audio"}});
    ASSERT_TRUE(all);
    EXPECT_EQ(all->TotalRecordCount, 60);
    auto page = query({{"Recursive", "true"},
                       {"IncludeItemTypes", "Audio"},
                       {"StartIndex", "10"},
                       {"Limit", "5"}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->TotalRecordCount, 60);
    const auto allIds = ids(*all);
    EXPECT_EQ(ids(*page), std::vector<std::string>(allIds.begin() + 10, allIds.begin() + 15));
    auto uncounted = query({{"Recursive", "true"},
                            {"IncludeItemTypes", "Audio"},
                            {"Limit", "5"},
                            {"EnableTotalRecordCount", "false"}});
    EXPECT_EQ(uncounted->TotalRecordCount, 5);
    auto video =
        query({{"Recursive", "true"}, {"ExcludeItemTypes", "Audio,MusicAlbum,MusicArtist"}});
    std::set<std::string> types;
    for (const auto& item : video->Items)
        types.insert(item->Type.str());
    EXPECT_EQ(types, (std::set<std::string>{"Movie", "Series", "Season", "Episode"}));
}

TEST_F(ReferenceLibrary, WithoutAParentTheTopLevelIsTheViews) {
    auto top = query({});
    ASSERT_TRUE(top);
    EXPECT_EQ(top->Items.size(), 3u);
    auto music = query({{"ParentId", top->Items[0]->Id.str()}});
    ASSERT_TRUE(music);
    EXPECT_EQ(music->Items.size(), 2u);
    EXPECT_TRUE(music->Items[0]->isArtistItem());
}

TEST_F(ReferenceLibrary, FiltersOnTheUsersData) {
    auto favourites =
        query({{"Recursive", "true"}, {"IncludeItemTypes", "Audio"}, {"Filters", "IsFavorite"}});
    ASSERT_TRUE(favourites);
    ASSERT_FALSE(favourites->Items.empty());
    for (const auto& item : favourites->Items)
        EXPECT_EQ(item->UserData->IsFavorite, true);
    auto played = query({{"Recursive", "true"},
                         {"IncludeItemTypes", "Audio"},
                         {"Filters", "IsPlayed"},
                         {"SortBy", "DatePlayed"},
                         {"SortOrder", "Descending"}});
    ASSERT_TRUE(played);
    EXPECT_EQ(played->Items.size(), 12u);  // every fifth of 60
    for (std::size_t i = 1; i < played->Items.size(); ++i) {
        EXPECT_GE(played->Items[i - 1]->UserData->LastPlayedDate.str(),
                  played->Items[i]->UserData->LastPlayedDate.str());
    }
    auto unplayed =
        query({{"Recursive", "true"}, {"IncludeItemTypes", "Audio"}, {"Filters", "IsUnplayed"}});
    EXPECT_EQ(unplayed->TotalRecordCount, 48);
    EXPECT_FALSE(query({{"Filters", "IsFavorite"}}, std::nullopt))
        << "user filters without a user are refused";
    EXPECT_FALSE(query({{"Filters", "IsShiny"}}));
}

TEST_F(ReferenceLibrary, FavouriteArtistsWithTheUserAsAParameter) {
    auto artists = await<GetItemsResponse>([&](auto done) {
        client_->getArtistItems({{"Filters", "IsFavorite"}, {"UserId", "user-1"}}, std::move(done));
    });
    ASSERT_TRUE(artists);
    ASSERT_EQ(artists->Items.size(), 1u);  // the first of two
    EXPECT_EQ(artists->Items[0]->Id, library_->ofType("MusicArtist").front()->id);
    EXPECT_TRUE(artists->Items[0]->UserData);
}

TEST_F(ReferenceLibrary, SearchAndSort) {
    const auto& album = *library_->ofType("MusicAlbum")[4];
    auto found = query({{"Recursive", "true"},
                        {"IncludeItemTypes", "MusicAlbum"},
                        {"SearchTerm", album.name.substr(2, 5)}});
    ASSERT_TRUE(found);
    const auto foundIds = ids(*found);
    EXPECT_NE(std::find(foundIds.begin(), foundIds.end(), album.id), foundIds.end());
    auto byName =
        query({{"Recursive", "true"}, {"IncludeItemTypes", "MusicAlbum"}, {"SortBy", "SortName"}});
    ASSERT_TRUE(byName);
    for (std::size_t i = 1; i < byName->Items.size(); ++i)
        EXPECT_LE(byName->Items[i - 1]->SortName.str(), byName->Items[i]->SortName.str());
    auto random =
        query({{"Recursive", "true"}, {"IncludeItemTypes", "Audio"}, {"SortBy", "Random"}});
    ASSERT_TRUE(random);
    EXPECT_EQ(random->Items.size(), 60u);
    EXPECT_FALSE(query({{"SortBy", "Colour"}}));
    EXPECT_FALSE(query({{"SortOrder", "Sideways"}}));
    EXPECT_FALSE(query({{"Limit", "-1"}}));
    EXPECT_FALSE(query({{"ParentId", "nope"}}));
}

TEST_F(ReferenceLibrary, ReportsMoveTheResumePositionAndThePlayedState) {
    const auto& song = *library_->ofType("Audio")[7];
    vk::PlaybackProgressInfo start(true, song.id, song.id, false, 0, 1, false, "5",
                                   vk::RepeatMode::RepeatNone, 0);
    start.PositionTicks = 40'000'000;
    client_->reportPlaybackStart(start);
    ASSERT_TRUE(eventually([&] { return library_->reports().size() == 1; }));
    EXPECT_EQ(library_->userState(song.id).playbackPositionTicks, 40'000'000);
    vk::PlaybackStopInfo stop(0, 1, song.id, song.id, "5");
    stop.PositionTicks = song.runTimeTicks / 2;
    client_->reportPlaybackStopped(stop);
    ASSERT_TRUE(eventually([&] { return library_->reports().size() == 2; }));
    auto state = library_->userState(song.id);
    EXPECT_FALSE(state.played) << "stopped half-way";
    EXPECT_EQ(state.playbackPositionTicks, song.runTimeTicks / 2);
    auto item = await<std::shared_ptr<BaseItemDto>>([&](auto done) {
        client_->getItem(std::string("user-1"), song.id, vk::JsonDecoder(), std::move(done));
    });
    ASSERT_TRUE(item && *item);
    EXPECT_EQ((*item)->UserData->PlaybackPositionTicks, song.runTimeTicks / 2);
}

TEST_F(ReferenceLibrary, AReportThatIsNoJsonIsRefused) {
    auto url = client_->getUrl("Sessions/Playing", {});
    vk::test::Recorder<std::optional<std::string>> recorder;
    client_->postContent(*url, "{\"PositionTicks\":1}", recorder.handler());
    ASSERT_TRUE(recorder.wait());
    EXPECT_FALSE(recorder.value()) << "ItemId missing";
    EXPECT_TRUE(library_->reports().empty());
}

TEST_F(ReferenceLibrary, ImagesScaleAndBackdropsExistWhereAnnounced) {
    const auto& movie = *library_->ofType("Movie").front();
    auto fetchImage = [&](const std::string& path, Params params) -> std::optional<vk::Image> {
        params["api_key"] = "token-abc";
        auto url = client_->getUrl(path, params);
        vk::test::Recorder<std::optional<std::string>> recorder;
        auto handler = recorder.handler();
        vk::defaultSession()
            ->dataTask(
                vk::UrlRequest(*url),
                [handler](std::optional<std::string> data, std::optional<vk::UrlResponse> response,
                          std::optional<vk::UrlError>) {
                    handler(response && response->statusCode == 200 ? data : std::nullopt);
                })
            ->resume();
        EXPECT_TRUE(recorder.wait());
        auto data = recorder.value();
        return data ? vk::Image::decode(*data) : std::nullopt;
    };
    auto poster = fetchImage("Items/" + movie.id + "/Images/Primary", {});
    ASSERT_TRUE(poster);
    EXPECT_EQ(poster->width(), 200);
    EXPECT_EQ(poster->height(), 300);
    auto small = fetchImage("Items/" + movie.id + "/Images/Primary", {{"MaxHeight", "150"}});
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width(), 100);
    auto exact =
        fetchImage("Items/" + movie.id + "/Images/Primary", {{"Width", "64"}, {"Height", "32"}});
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->width(), 64);
    EXPECT_EQ(exact->height(), 32);
    auto backdrop = fetchImage("Items/" + movie.id + "/Images/Backdrop/0", {});
    ASSERT_TRUE(backdrop);
    EXPECT_GT(backdrop->width(), backdrop->height());
    const auto& song = *library_->ofType("Audio").front();
    EXPECT_FALSE(fetchImage("Items/" + song.id + "/Images/Backdrop", {}));
    EXPECT_FALSE(fetchImage("Items/" + song.id + "/Images/Primary", {{"MaxWidth", "0"}}));
    // The same cover twice is the same picture.
    EXPECT_EQ(fetchImage("Items/" + song.id + "/Images/Primary", {}),
              fetchImage("Items/" + song.id + "/Images/Primary", {}));
}

}  // namespace
