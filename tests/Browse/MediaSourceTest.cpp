#include "VornKit/Browse/MediaSource.h"

#include <algorithm>
#include <set>

#include "BrowseTestSupport.h"

namespace vk::test {
namespace {

using Params = std::map<std::string, std::string>;

class MediaSourceTest : public BrowseFixture {};

const char* kExcluded =
    "Movie,Series,Season,Episode,Trailer,Video,Game,Photo,PhotoAlbum,LiveTvProgram,"
    "LiveTvChannel,Channel";

// The three searches for "tide", as the server must receive them.
const Params kItemSearch = {
    {"SearchTerm", "tide"}, {"IncludeItemTypes", "Audio,Video,Movie"}, {"IncludeMedia", "true"},
    {"Recursive", "true"},  {"EnableTotalRecordCount", "false"},       {"Limit", "16"}};
const Params kAlbumSearch = {{"SearchTerm", "tide"},   {"IncludeItemTypes", "MusicAlbum"},
                             {"IncludeMedia", "true"}, {"IncludeArtists", "false"},
                             {"Recursive", "true"},    {"EnableTotalRecordCount", "false"},
                             {"Limit", "16"}};
const Params kArtistSearch = {
    {"SearchTerm", "tide"}, {"IncludeMedia", "false"},           {"IncludeArtists", "true"},
    {"Recursive", "true"},  {"EnableTotalRecordCount", "false"}, {"Limit", "1"}};

TEST_F(MediaSourceTest, EveryOperationSendsItsParameterSetExactly) {
    struct Case {
        std::string name;
        std::function<void(BrowseFixture&)> run;
        std::string path;
        Params query;
    };
    auto lists = [](std::function<void(MediaSource&, MediaSource::ListCompletion)> op) {
        return [op](BrowseFixture& f) {
            auto& self = static_cast<MediaSourceTest&>(f);
            self.list([&](MediaSource::ListCompletion done) { op(*self.source_, done); });
        };
    };
    auto answers = [](std::function<void(MediaSource&, std::shared_ptr<ApiClient>,
                                         MediaSource::ResponseCompletion)>
                          op) {
        return [op](BrowseFixture& f) {
            auto& self = static_cast<MediaSourceTest&>(f);
            self.answer([&](MediaSource::ResponseCompletion done) {
                op(*self.source_, self.client_, done);
            });
        };
    };
    const std::vector<Case> cases = {
        {"children, default table",
         lists([](auto& s, auto done) { s.getChildren("server-1", std::nullopt, {}, done); }),
         "/vorn/Users/user-1/Items",
         {{"SortBy", "SortName"}, {"SortOrder", "Ascending"}, {"ExcludeItemTypes", kExcluded}}},
        {"children, caller's table",
         lists([](auto& s, auto done) {
             s.getChildren("server-1", "parent-9", {{"Limit", "10"}, {"ExcludeItemTypes", "Audio"}},
                           done);
         }),
         "/vorn/Users/user-1/Items",
         {{"Limit", "10"}, {"ParentId", "parent-9"}, {"ExcludeItemTypes", kExcluded}}},
        {"random",
         answers([](auto& s, auto c, auto done) { s.getRandomItems(c, "Audio", done); }),
         "/vorn/Users/user-1/Items",
         {{"IncludeItemTypes", "Audio"},
          {"IncludeMedia", "true"},
          {"IncludeArtists", "false"},
          {"Recursive", "true"},
          {"EnableTotalRecordCount", "false"},
          {"Limit", "50"},
          {"SortBy", "Random"}}},
        {"latest",
         lists([](auto& s, auto done) { s.getLatestMusic("server-1", done); }),
         "/vorn/Users/user-1/Items/Latest",
         {{"IncludeItemTypes", "Audio,MusicAlbum"}, {"Limit", "24"}}},
        {"recent",
         lists([](auto& s, auto done) { s.getRecentlyPlayedMusic("server-1", done); }),
         "/vorn/Users/user-1/Items",
         {{"SortBy", "DatePlayed"},
          {"SortOrder", "Descending"},
          {"Filters", "IsPlayed"},
          {"Recursive", "true"},
          {"Limit", "24"},
          {"IncludeItemTypes", "Audio"}}},
        {"frequent",
         lists([](auto& s, auto done) { s.getFrequentlyPlayedMusic("server-1", done); }),
         "/vorn/Users/user-1/Items",
         {{"SortBy", "PlayCount"},
          {"SortOrder", "Descending"},
          {"Filters", "IsPlayed"},
          {"Recursive", "true"},
          {"Limit", "24"},
          {"IncludeItemTypes", "Audio"}}},
        {"favourite songs",
         lists([](auto& s, auto done) { s.getFavoriteSongs("server-1", done); }),
         "/vorn/Users/user-1/Items",
         {{"SortBy", "Random"},
          {"Filters", "IsFavorite"},
          {"Recursive", "true"},
          {"IncludeItemTypes", "Audio"},
          {"Limit", "24"}}},
        {"favourite albums",
         lists([](auto& s, auto done) { s.getFavoriteAlbums("server-1", done); }),
         "/vorn/Users/user-1/Items",
         {{"SortBy", "Random"},
          {"Filters", "IsFavorite"},
          {"Recursive", "true"},
          {"IncludeItemTypes", "MusicAlbum"},
          {"Limit", "24"}}},
        {"favourite artists",
         lists([](auto& s, auto done) { s.getFavoriteArtists("server-1", done); }),
         "/vorn/Artists",
         {{"SortBy", "SortName"},
          {"SortOrder", "Ascending"},
          {"Filters", "IsFavorite"},
          {"Recursive", "true"},
          {"IncludeMedia", "false"},
          {"IncludeArtists", "true"},
          {"EnableTotalRecordCount", "false"},
          {"UserId", "user-1"}}},
        {"items, no types",
         answers([](auto& s, auto c, auto done) { s.searchForItems(c, "tide", {}, done); }),
         "/vorn/Users/user-1/Items", kItemSearch},
        {"items, two types",
         answers([](auto& s, auto c, auto done) {
             s.searchForItems(c, "tide", {"Audio", "MusicVideo"}, done);
         }),
         "/vorn/Users/user-1/Items",
         {{"SearchTerm", "tide"},
          {"IncludeItemTypes", "Audio,MusicVideo"},
          {"IncludeMedia", "true"},
          {"Recursive", "true"},
          {"EnableTotalRecordCount", "false"},
          {"Limit", "16"}}},
        {"album", answers([](auto& s, auto c, auto done) { s.searchForAlbum(c, "tide", done); }),
         "/vorn/Users/user-1/Items", kAlbumSearch},
        {"artist", answers([](auto& s, auto c, auto done) { s.searchForArtist(c, "tide", done); }),
         "/vorn/Artists", kArtistSearch},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_->clearRequests();
        c.run(*this);
        std::string path;
        auto query = onlyQuery(&path);
        query.erase("api_key");
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(query, c.query);
    }
}

TEST_F(MediaSourceTest, SearchForAllSendsTheThreeSearches) {
    answer([&](auto done) { source_->searchForAll(client_, "tide", done); });
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 3u);
    std::multiset<std::pair<std::string, Params>> seen;
    for (auto& r : requests)
        seen.insert({r.path, Params(r.query.begin(), r.query.end())});
    const std::multiset<std::pair<std::string, Params>> expected = {
        {"/vorn/Users/user-1/Items", kItemSearch},
        {"/vorn/Users/user-1/Items", kAlbumSearch},
        {"/vorn/Artists", kArtistSearch}};
    EXPECT_EQ(seen, expected);
}

TEST_F(MediaSourceTest, SearchForAllMergesInTheOrderTheSearchesFinish) {
    // Both item searches wait; the artist search answers first and leads the combined list.
    server_->addFault(
        {"", "/vorn/Users/", "GET", refserver::Fault::delayBy(std::chrono::milliseconds(300))});
    const auto& artist = *library_->ofType("MusicArtist").front();
    auto found = answer([&](auto done) { source_->searchForAll(client_, artist.name, done); });
    ASSERT_TRUE(found);
    ASSERT_FALSE(found->Items.empty());
    EXPECT_EQ(found->Items.front()->Id, artist.id);
    EXPECT_EQ(found->TotalRecordCount, static_cast<std::int64_t>(found->Items.size()));

    // An item search failing (a status, then an undecodable answer) adds nothing; the rest stays.
    server_->clearFaults();
    server_->addFault({"", "/vorn/Artists", "GET", refserver::Fault::withStatus(500)});
    server_->addFault({"", "/vorn/Users/", "GET", refserver::Fault::garbage(), 1});
    const auto& album = *library_->ofType("MusicAlbum")[2];
    auto partial = answer([&](auto done) { source_->searchForAll(client_, album.name, done); });
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->TotalRecordCount, static_cast<std::int64_t>(partial->Items.size()));
    EXPECT_FALSE(partial->Items.empty());
    for (const auto& item : partial->Items)
        EXPECT_NE(item->Type, "MusicArtist");

    // All three failing: an empty answer, not absent.
    server_->clearFaults();
    server_->addFault({"", "", "GET", refserver::Fault::withStatus(503)});
    auto none = answer([&](auto done) { source_->searchForAll(client_, "tide", done); });
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->Items.empty());
    EXPECT_EQ(none->TotalRecordCount, 0);
}

TEST_F(MediaSourceTest, SearchTextReachesTheServerUnchanged) {
    const std::vector<std::string> texts = {"100% & \"quoted\" 'single' #hash ?q=1+2/3",
                                            "Sigur Rós — Ágætis byrjun 東京 🎵",
                                            std::string(7'000, 'x') + "&SearchTerm=evil"};
    for (const auto& text : texts) {
        server_->clearRequests();
        auto found = answer([&](auto done) { source_->searchForAll(client_, text, done); });
        EXPECT_TRUE(found);
        auto requests = server_->requests();
        ASSERT_EQ(requests.size(), 3u);
        for (const auto& request : requests) {
            EXPECT_EQ(request.queryValue("SearchTerm"), text);
            EXPECT_EQ(std::count_if(request.query.begin(), request.query.end(),
                                    [](auto& p) { return p.first == "SearchTerm"; }),
                      1);
        }
    }
    // 10,000 characters make a request target longer than the server takes (8 KiB, as common
    // servers have it): the searches fail there, and the answer is the empty one.
    server_->clearRequests();
    auto tooLong =
        answer([&](auto done) { source_->searchForAll(client_, std::string(10'000, 'y'), done); });
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->TotalRecordCount, 0);
}

TEST_F(MediaSourceTest, AbsentSearchTextAnswersAbsentAtOnceWithoutARequest) {
    for (int op = 0; op < 4; ++op) {
        Recorder<std::optional<GetItemsResponse>> recorder;
        auto done = recorder.handler();
        switch (op) {
            case 0:
                source_->searchForAll(client_, std::nullopt, done);
                break;
            case 1:
                source_->searchForItems(client_, std::nullopt, {}, done);
                break;
            case 2:
                source_->searchForAlbum(client_, std::nullopt, done);
                break;
            default:
                source_->searchForArtist(client_, std::nullopt, done);
                break;
        }
        ASSERT_EQ(recorder.calls(), 1) << op;
        EXPECT_FALSE(recorder.value()) << op;
    }
    EXPECT_TRUE(server_->requests().empty());
}

TEST_F(MediaSourceTest, UnusableClientsGetTheEmptyListAtOnceWithoutARequest) {
    manager_->updateApiClients(std::vector<ServerInfo>{serverInfo("server-1", "token-abc"),
                                                       serverInfo("no-token", std::nullopt),
                                                       serverInfo("empty-token", "")});
    const auto linesBefore = log_->records().size();
    for (const std::string id : {"unknown", "no-token", "empty-token"}) {
        if (auto client = manager_->getApiClient(id))
            client->setServerAddress(base_);
        std::vector<std::function<void(MediaSource::ListCompletion)>> ops = {
            [&](auto d) { source_->getUserViews(id, d); },
            [&](auto d) { source_->getChildren(id, std::nullopt, {}, d); },
            [&](auto d) { source_->getLatestMusic(id, d); },
            [&](auto d) { source_->getRecentlyPlayedMusic(id, d); },
            [&](auto d) { source_->getFrequentlyPlayedMusic(id, d); },
            [&](auto d) { source_->getFavoriteArtists(id, d); },
            [&](auto d) { source_->getFavoriteSongs(id, d); },
            [&](auto d) { source_->getFavoriteAlbums(id, d); },
        };
        for (std::size_t i = 0; i < ops.size(); ++i) {
            Recorder<MediaSource::ItemList> recorder;
            ops[i](recorder.handler());
            ASSERT_EQ(recorder.calls(), 1) << id << " op " << i;
            EXPECT_TRUE(recorder.value().empty());
        }
    }
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_EQ(log_->records().size(), linesBefore);
    // The same server with its token lists the library.
    EXPECT_FALSE(list([&](auto d) { source_->getLatestMusic("server-1", d); }).empty());
}

TEST_F(MediaSourceTest, WithoutAnAddressListsAreEmptyAndTheFailureIsLogged) {
    client_->setServerAddress(std::nullopt);
    auto info = client_->serverInfo();
    info.LocalAddress = std::nullopt;  // no address to resolve
    client_->updateServerInfo(info);
    Recorder<MediaSource::ItemList> children;
    source_->getChildren("server-1", std::nullopt, {}, children.handler());
    ASSERT_EQ(children.calls(), 1);
    EXPECT_TRUE(children.value().empty());
    Recorder<MediaSource::ItemList> artists;
    source_->getFavoriteArtists("server-1", artists.handler());
    ASSERT_EQ(artists.calls(), 1);
    // searchForAll counts each search finished at once: an empty answer, on this thread.
    Recorder<std::optional<GetItemsResponse>> all;
    source_->searchForAll(client_, "tide", all.handler());
    ASSERT_EQ(all.calls(), 1);
    ASSERT_TRUE(all.value());
    EXPECT_TRUE(all.value()->Items.empty());
    int itemsLines = 0, artistLines = 0;
    for (const auto& record : log_->records()) {
        if (record.category != "ApiClient")
            continue;
        itemsLines += record.message == "Error: getItems invalid url";
        artistLines += record.message == "Error: getArtistItems invalid url";
    }
    EXPECT_EQ(itemsLines, 3);
    EXPECT_EQ(artistLines, 2);
}

TEST_F(MediaSourceTest, MalformedAnswersGiveTheEmptyResult) {
    // A server of its own whose answers lack fields or carry wrong types.
    refserver::RefServer bad{refserver::RefServer::Options{}};
    const std::vector<std::string> bodies = {
        R"({"TotalRecordCount":3})",
        R"({"Items":"three","TotalRecordCount":3})",
        R"({"Items":[{"Name":"no id"}],"TotalRecordCount":1})",
        R"({"Items":[{"Id":7,"ServerId":"s"}],"TotalRecordCount":1})",
        R"([1,2,3])",
        "null",
        ""};
    auto body = std::make_shared<std::string>();
    auto serve = [body](const refserver::Request&, refserver::Response& response) {
        response.body = *body;
    };
    for (const char* path :
         {"Users/([^/]+)/Items", "Users/([^/]+)/Views", "Users/([^/]+)/Items/Latest", "Artists"})
        bad.route("GET", path, serve, refserver::Access::open);
    const auto address = *bad.listen({"bad", "127.0.0.1", 0, std::nullopt});
    client_->setServerAddress(address);
    for (const auto& text : bodies) {
        SCOPED_TRACE(text);
        *body = text;
        EXPECT_TRUE(list([&](auto d) { source_->getUserViews("server-1", d); }).empty());
        EXPECT_TRUE(list([&](auto d) { source_->getChildren("server-1", "p", {}, d); }).empty());
        EXPECT_TRUE(list([&](auto d) { source_->getLatestMusic("server-1", d); }).empty());
        EXPECT_TRUE(list([&](auto d) { source_->getFavoriteSongs("server-1", d); }).empty());
        EXPECT_TRUE(list([&](auto d) { source_->getFavoriteArtists("server-1", d); }).empty());
        EXPECT_FALSE(answer([&](auto d) { source_->searchForAlbum(client_, "a", d); }));
        EXPECT_FALSE(answer([&](auto d) { source_->searchForArtist(client_, "a", d); }));
        auto all = answer([&](auto d) { source_->searchForAll(client_, "a", d); });
        ASSERT_TRUE(all);
        EXPECT_EQ(all->TotalRecordCount, 0);
    }
}

TEST_F(MediaSourceTest, ListsComeFromTheReferenceLibrary) {
    auto views = list([&](auto d) { source_->getUserViews("server-1", d); });
    ASSERT_FALSE(views.empty());
    const auto music =
        std::find_if(views.begin(), views.end(), [](auto& v) { return v->Name == "Music"; });
    ASSERT_NE(music, views.end());
    auto artists = list(
        [&](auto d) { source_->getChildren("server-1", std::string((*music)->Id.view()), {}, d); });
    ASSERT_FALSE(artists.empty());
    for (std::size_t i = 1; i < artists.size(); ++i)
        EXPECT_LE(artists[i - 1]->SortName.str(), artists[i]->SortName.str());
    auto songs = list([&](auto d) { source_->getFavoriteSongs("server-1", d); });
    ASSERT_FALSE(songs.empty());
    for (const auto& song : songs) {
        EXPECT_EQ(song->Type, "Audio");
        ASSERT_TRUE(song->UserData);
        EXPECT_TRUE(song->UserData->IsFavorite);
    }
    auto random = answer([&](auto d) { source_->getRandomItems(client_, "MusicAlbum", d); });
    ASSERT_TRUE(random);
    EXPECT_EQ(random->Items.size(), library_->ofType("MusicAlbum").size());
}

TEST_F(MediaSourceTest, UserViewsResolveTheAddressFirst) {
    client_->setServerAddress(std::nullopt);
    auto views = list([&](auto d) { source_->getUserViews("server-1", d); });
    EXPECT_FALSE(views.empty());
    EXPECT_EQ(client_->serverAddress(), base_);

    // No candidate answers: the empty list.
    client_->setServerAddress(std::nullopt);
    auto info = client_->serverInfo();
    info.LocalAddress = "http://127.0.0.1:9";
    client_->updateServerInfo(info);
    EXPECT_TRUE(list([&](auto d) { source_->getUserViews("server-1", d); }).empty());
}

TEST_F(MediaSourceTest, ServerListIsMostRecentFirstAndReconnectsClientsWithoutAddress) {
    using namespace std::chrono;
    const Date now = system_clock::now();
    auto dated = [&](std::string id, std::optional<Date> when) {
        auto info = serverInfo(std::move(id), "token-abc");
        info.LocalAddress = "http://127.0.0.1:9";  // two candidates that never answer
        info.RemoteAddress = "http://127.0.0.1:7";
        info.DateLastAccessed = when;
        return info;
    };
    manager_->updateApiClients(std::vector<ServerInfo>{
        dated("never", std::nullopt), dated("old", now - hours(48)), dated("new", now)});
    auto reconnects = [&] {
        int n = 0;
        for (const auto& record : log_->records())
            n += record.message == "tryReconnect to server";
        return n;
    };
    auto first = reconnects();
    auto servers = source_->getServerList();
    std::vector<std::string> order;
    for (auto& c : servers)
        order.push_back(c->serverId());
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], "new");
    EXPECT_EQ(order[1], "old");
    // "server-1" and "never" have no date; "never" has no address either.
    EXPECT_EQ((std::set<std::string>{order[2], order[3]}),
              (std::set<std::string>{"never", "server-1"}));
    EXPECT_EQ(reconnects() - first, 3);  // every client without an address, server-1 has one
    source_->getServerList();
    EXPECT_EQ(reconnects() - first, 6);  // anew on each call
    EXPECT_EQ(source_->getApiClient("old"), manager_->getApiClient("old"));
    EXPECT_FALSE(source_->getApiClient("missing"));
}

}  // namespace
}  // namespace vk::test
