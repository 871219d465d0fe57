#include "VornKit/Browse/FrontEndItem.h"

#include "BrowseTestSupport.h"
#include "VornKit/Platform/Http/Url.h"

namespace vk::test {
namespace {

class FrontEndItemTest : public BrowseFixture {
  protected:
    static std::shared_ptr<BaseItemDto> item(std::string id, std::string type, TextMap tags = {}) {
        auto out = std::make_shared<BaseItemDto>();
        out->Id = id;
        out->ServerId = "server-1";
        out->Type = type;
        out->Name = "Name of " + id;
        out->ImageTags = std::move(tags);
        return out;
    }
    /// Path and query of an image URL.
    static std::pair<std::string, std::map<std::string, std::string>> parts(const Url& url) {
        auto components = UrlComponents::parse(url.absoluteString());
        std::map<std::string, std::string> query;
        for (const auto& q : components->queryItems().value_or(std::vector<UrlQueryItem>{}))
            query[q.name] = q.value.value_or("<absent>");
        return {components->percentEncodedPath, query};
    }
};

TEST_F(FrontEndItemTest, ImageChoiceOrder) {
    struct Case {
        TextMap tags;
        bool album;
        std::string path;
        std::string tag;
    };
    const std::vector<Case> cases = {
        {{{"Primary", "p"}, {"Thumb", "t"}}, true, "/vorn/Items/i/Images/Primary", "p"},
        {{{"Thumb", "t"}, {"Logo", "l"}}, true, "/vorn/Items/album-1/Images/Primary", "ap"},
        {{{"Thumb", "t"}, {"Logo", "l"}}, false, "/vorn/Items/i/Images/Thumb", "t"},
        {{{"Banner", "b"}, {"Art", "a"}, {"Logo", "l"}}, false, "/vorn/Items/i/Images/Logo", "l"},
        {{{"Banner", "b"}, {"Art", "a"}}, false, "/vorn/Items/i/Images/Art", "a"},
        {{{"Banner", "b"}, {"Backdrop", "x"}}, false, "/vorn/Items/i/Images/Banner", "b"},
    };
    for (const auto& c : cases) {
        auto it = item("i", "Audio", c.tags);
        if (c.album) {
            it->AlbumId = "album-1";
            it->AlbumPrimaryImageTag = "ap";
        }
        auto url = MediaSource::getImageURL(*client_, *it);
        ASSERT_TRUE(url);
        auto [path, query] = parts(*url);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(query, (std::map<std::string, std::string>{
                             {"api_key", "token-abc"}, {"MaxWidth", "400"}, {"Tag", c.tag}}));
    }
    // Only an album id (no album tag) and no usable tag: no URL.
    auto bare = item("i", "Audio", {{"Backdrop", "x"}});
    bare->AlbumId = "album-1";
    EXPECT_FALSE(MediaSource::getImageURL(*client_, *bare));
}

// The cover URL is the registered client's image URL, its token as "api_key" (empty without
// one); an item of a server without a client has none.
TEST_F(FrontEndItemTest, CoverUrlComesFromTheItemsRegisteredClient) {
    auto known = item("i", "Audio", {{"Primary", "p"}});
    auto url = coverURL(*known, manager_);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(),
              base_ + "/vorn/Items/i/Images/Primary?MaxWidth=400&Tag=p&api_key=token-abc");
    client_->clearServerCredentials();
    EXPECT_EQ(coverURL(*known, manager_)->absoluteString(),
              base_ + "/vorn/Items/i/Images/Primary?MaxWidth=400&Tag=p&api_key=");
    known->ServerId = "elsewhere";
    EXPECT_FALSE(coverURL(*known, manager_));
}

TEST_F(FrontEndItemTest, ContentItemsOfFoldersArtistsAndTracks) {
    auto folder = item("f", "MusicAlbum");
    folder->IsFolder = true;
    auto entry = mpContentItem(folder, manager_);
    EXPECT_EQ(entry->identifier, "f");
    EXPECT_TRUE(entry->container);
    EXPECT_FALSE(entry->playable);
    EXPECT_FALSE(entry->subtitle);

    auto artist = item("a", "musicArtist");
    EXPECT_EQ(mpContentItem(artist, manager_)->identifier, "a");
    EXPECT_TRUE(mpContentItem(artist, manager_)->container);

    auto track = item("local:t", "Audio");
    track->Artists = std::vector<Text>{Text("First"), Text("Second")};
    auto playable = mpContentItem(track, manager_);
    EXPECT_EQ(playable->identifier, "server-1/t");
    EXPECT_TRUE(playable->playable);
    EXPECT_TRUE(playable->streamingContent);
    EXPECT_FALSE(playable->container);
    EXPECT_EQ(playable->title, "Name of local:t");
    EXPECT_EQ(playable->subtitle, "First");
    EXPECT_FALSE(playable->artwork());  // no picture, no cover URL

    auto typeless = item("x", "");
    typeless->Type = std::nullopt;
    EXPECT_TRUE(mpContentItem(typeless, manager_)->playable);
}

TEST_F(FrontEndItemTest, ArtworkArrivesFromTheCoverUrl) {
    const auto& album = *library_->ofType("MusicAlbum").front();
    auto it = item(album.id, "MusicAlbum", {{"Primary", album.imageTag}});
    auto entry = mpContentItem(it, manager_);
    ASSERT_TRUE(
        pumpMainQueueUntil([&] { return entry->artwork() != nullptr; }, std::chrono::seconds(20)));
    EXPECT_EQ(entry->artwork(), itemImage(*it));
    EXPECT_GT(entry->artwork()->width(), 0);
    // With the picture in memory, the entry has it at once and the voice item carries PNG bytes.
    EXPECT_EQ(mpContentItem(it, manager_)->artwork(), itemImage(*it));
    auto intent = intentMediaItem(*it, manager_);
    ASSERT_TRUE(intent.artwork);
    ASSERT_TRUE(intent.artwork->pngData);
    EXPECT_TRUE(Image::decode(*intent.artwork->pngData));

    // A failed load replaces the picture with none, and still completes once.
    Recorder<std::shared_ptr<const Image>> recorder;
    loadImageAsync(it, *Url::parse(base_ + "/vorn/Items/none/Images/Primary"),
                   recorder.handler(DispatchQueue::global()));
    ASSERT_TRUE(recorder.wait());
    EXPECT_TRUE(recorder.onQueue());
    EXPECT_FALSE(recorder.value());
    EXPECT_FALSE(itemImage(*it));
    auto byUrl = intentMediaItem(*it, manager_);
    ASSERT_TRUE(byUrl.artwork);
    EXPECT_FALSE(byUrl.artwork->pngData);
    EXPECT_EQ(byUrl.artwork->url, coverURL(*it, manager_));
}

TEST_F(FrontEndItemTest, IntentMediaTypes) {
    const std::vector<std::pair<std::string, IntentMediaItemType>> cases = {
        {"Audio", IntentMediaItemType::song},      {"MusicAlbum", IntentMediaItemType::album},
        {"artist", IntentMediaItemType::artist},   {"MusicArtist", IntentMediaItemType::artist},
        {"Movie", IntentMediaItemType::movie},     {"Video", IntentMediaItemType::movie},
        {"Playlist", IntentMediaItemType::unknown}};
    for (const auto& [type, expected] : cases) {
        auto it = item("i", type);
        it->Artists = std::vector<Text>{};
        auto intent = intentMediaItem(*it, manager_);
        EXPECT_EQ(intent.type, expected) << type;
        EXPECT_EQ(intent.identifier, "server-1/i");
        EXPECT_EQ(intent.title, "Name of i");
        EXPECT_FALSE(intent.artist);
        EXPECT_FALSE(intent.artwork);
    }
}

}  // namespace
}  // namespace vk::test
