#include "VornKit/Browse/SearchProvider.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>

#include "BrowseTestSupport.h"
#include "Support/CommandRun.h"
#include "Support/PrivateBus.h"
#include "VornKit/Platform/Coding/Image.h"
#include "VornKit/Platform/Files/Directories.h"

namespace vk::test {
namespace {

/// Runs a command and returns its standard output (empty when it fails to start).
std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> singleQuoted(const std::string& text) {
    std::vector<std::string> out;
    static const std::regex pattern("'([^']*)'");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1]);
    return out;
}

class SearchProviderTest : public BrowseFixture {
  protected:
    void SetUp() override {
        BrowseFixture::SetUp();
        std::string error;
        bus_ = PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
        busName_ = "app.vorn.SearchProviderTest.p" + std::to_string(::getpid());
        SearchProvider::Options options;
        options.busName = busName_;
        options.serverId = "server-1";
        options.iconDirectory = *Directories::temporary() / ("icons-" + busName_);
        options.answerTimeout = std::chrono::milliseconds(1000);
        provider_ = SearchProvider::start(bus_->connection(), manager_, options, &error);
        ASSERT_TRUE(provider_) << error;
    }
    void TearDown() override {
        provider_.reset();
        bus_.reset();
        BrowseFixture::TearDown();
    }
    /// `gdbus call` of one provider method; its printed answer.
    std::string call(const std::string& method, const std::string& arguments) {
        return run("gdbus call --address " + quoted(bus_->address()) + " --dest " + busName_ +
                   " --object-path /app/vorn/SearchProvider --timeout 10 --method " +
                   std::string(SearchProvider::kInterface) + "." + method + " " + arguments +
                   " 2>&1");
    }

    std::unique_ptr<PrivateBus> bus_;
    std::string busName_;
    std::shared_ptr<SearchProvider> provider_;
};

TEST_F(SearchProviderTest, AnswersTheShellsCallsOverDBus) {
    const auto& album = *library_->ofType("MusicAlbum")[1];
    auto ids = singleQuoted(call("GetInitialResultSet", quoted("['" + album.name + "']")));
    ASSERT_FALSE(ids.empty());
    EXPECT_NE(std::find(ids.begin(), ids.end(), album.id), ids.end());
    const auto* track = library_->children(album.id).front();
    EXPECT_NE(std::find(ids.begin(), ids.end(), track->id), ids.end());

    auto sub = singleQuoted(call("GetSubsearchResultSet", quoted("['" + album.id + "']") + " " +
                                                              quoted("['" + track->name + "']")));
    EXPECT_NE(std::find(sub.begin(), sub.end(), track->id), sub.end());

    const std::string metas =
        call("GetResultMetas", quoted("['" + album.id + "', '" + track->id + "']"));
    EXPECT_NE(metas.find("'name': <'" + track->name + "'>"), std::string::npos) << metas;
    EXPECT_NE(metas.find("'description': <'" + track->artist + " - " + album.name + "'>"),
              std::string::npos)
        << metas;
    static const std::regex icon("'gicon': <'([^']+)'>");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(metas, found, icon)) << metas;
    std::ifstream file(found[1].str(), std::ios::binary);
    std::string png((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Image::decode(png));

    // Activation hands the item to the host.
    std::shared_ptr<BaseItemDto> activated;
    std::vector<std::string> terms;
    provider_->setActivateCallback([&](auto item, auto t, std::uint32_t) {
        activated = item;
        terms = t;
    });
    call("ActivateResult", quoted(track->id) + " \"['x', 'y']\" 7");
    ASSERT_TRUE(pumpMainQueueUntil([&] { return activated != nullptr; }, std::chrono::seconds(10)));
    EXPECT_EQ(activated->Id, track->id);
    EXPECT_EQ(terms, (std::vector<std::string>{"x", "y"}));

    // Unknown ids have no metas; empty terms find nothing.
    EXPECT_EQ(singleQuoted(call("GetResultMetas", "\"['nope']\"")).size(), 0u);
    EXPECT_TRUE(singleQuoted(call("GetInitialResultSet", "\"['']\"")).empty());
}

TEST_F(SearchProviderTest, AServerThatNeverAnswersDoesNotHoldTheCall) {
    server_->addFault({"", "", "GET", refserver::Fault::hang()});
    const auto started = std::chrono::steady_clock::now();
    const std::string answer = call("GetInitialResultSet", "\"['tide']\"");
    const auto took = std::chrono::steady_clock::now() - started;
    server_->releaseHangs();
    EXPECT_NE(answer.find("[]"), std::string::npos) << answer;
    EXPECT_LT(took, std::chrono::seconds(8));  // the gdbus timeout is 10 s
}

TEST_F(SearchProviderTest, TheLastQueryCancelsAnEarlierOne) {
    server_->addFault(
        {"", "", "GET", refserver::Fault::delayBy(std::chrono::milliseconds(400)), 3});
    const auto& album = *library_->ofType("MusicAlbum")[0];
    Recorder<std::vector<std::string>> first, second;
    provider_->search({"tide"}, first.handler());
    provider_->search({album.name}, second.handler());
    // The first is answered at once, with nothing; the second with its results.
    ASSERT_EQ(first.calls(), 1);
    EXPECT_TRUE(first.value().empty());
    ASSERT_TRUE(second.wait());
    EXPECT_FALSE(second.value().empty());
    EXPECT_NE(std::find(second.value().begin(), second.value().end(), album.id),
              second.value().end());
    defaultSession()->delegateQueue()->sync([] {});
    EXPECT_EQ(first.calls(), 1);
    EXPECT_EQ(second.calls(), 1);
}

/// A server whose search answers with audio items named after their ids, each with a Primary
/// picture whose tag is a number: the picture of tag "N" is N pixels wide. `albumTracks` are
/// further items that show their album's picture (album "alb", tag "15") instead of their own.
class CoverServer {
  public:
    explicit CoverServer(std::map<std::string, std::string> tags,
                         std::vector<std::string> albumTracks = {})
        : tags_(std::move(tags)), albumTracks_(std::move(albumTracks)) {
        server_.route("GET", "Users/[^/]+/Items", [this](const auto& request, auto& response) {
            std::string items;
            if (request.recorded.queryValue("IncludeItemTypes").value_or("").find("Audio") !=
                std::string::npos) {
                std::lock_guard lock(mutex_);
                for (const auto& [id, tag] : tags_)
                    items += std::string(items.empty() ? "" : ",") + R"({"ServerId":"s","Id":")" +
                             id + R"(","Name":")" + id +
                             R"(","Type":"Audio","ImageTags":{"Primary":")" + tag + R"("}})";
                for (const auto& id : albumTracks_)
                    items += std::string(items.empty() ? "" : ",") + R"({"ServerId":"s","Id":")" +
                             id + R"(","Name":")" + id +
                             R"(","Type":"Audio","AlbumId":"alb","AlbumPrimaryImageTag":"15"})";
            }
            response.body = R"({"Items":[)" + items + R"(],"TotalRecordCount":0})";
        });
        server_.route("GET", "Artists", [](const auto&, auto& response) {
            response.body = R"({"Items":[],"TotalRecordCount":0})";
        });
        server_.route("GET", "Items/[^/]+/Images/Primary", [](const auto& request, auto& response) {
            const int width = std::stoi(request.recorded.queryValue("Tag").value_or("1"));
            response.body = *Image::filled(width, 4, 0x336699ff).pngData();
            response.contentType = "image/png";
        });
        address_ = *server_.listen({"main", "127.0.0.1", 0, std::nullopt});
    }
    void setTag(const std::string& id, const std::string& tag) {
        std::lock_guard lock(mutex_);
        tags_[id] = tag;
    }
    const std::string& address() const { return address_; }
    /// The picture requests the server saw, as "<item> <MaxWidth>".
    std::vector<std::string> pictureRequests() const {
        std::vector<std::string> out;
        for (const auto& request : server_.requests()) {
            auto at = request.path.find("/Items/");
            if (request.path.find("/Images/") != std::string::npos && at != std::string::npos)
                out.push_back(request.path.substr(at + 7, request.path.find('/', at + 7) - at - 7) +
                              " " + request.queryValue("MaxWidth").value_or(""));
        }
        return out;
    }

  private:
    refserver::RefServer server_;
    std::mutex mutex_;
    std::map<std::string, std::string> tags_;
    const std::vector<std::string> albumTracks_;
    std::string address_;
};

// Two servers with the same item id, and ids that a lossy file name would merge: each result
// shows its own server's picture, and a picture the server changed (a new tag) replaces the old.
// Two tracks showing their album's picture share one file, fetched once, at icon size.
TEST_F(SearchProviderTest, CoversAreKeptPerServerAndItemAndRenewedWithTheirTag) {
    using Tags = std::map<std::string, std::string>;
    CoverServer one(Tags{{"a.b", "11"}, {"a_b", "12"}}, {"t1", "t2"});
    CoverServer two(Tags{{"a.b", "13"}});
    auto manager = ConnectionManager::create();
    manager->updateApiClients(
        std::vector<ServerInfo>{serverInfo("cover-1", "tok"), serverInfo("cover-2", "tok")});
    manager->getApiClient("cover-1")->setServerAddress(one.address());
    manager->getApiClient("cover-2")->setServerAddress(two.address());
    const auto icons = makeTempDir("covers");
    auto provider = [&](const std::string& serverId) {
        SearchProvider::Options options;
        options.objectPath =
            "/app/vorn/Covers/" + std::string(serverId == "cover-1" ? "one" : "two");
        options.serverId = serverId;
        options.iconDirectory = icons;
        options.iconWait = std::chrono::seconds(20);
        std::string error;
        auto made = SearchProvider::start(bus_->connection(), manager, options, &error);
        EXPECT_TRUE(made) << error;
        return made;
    };
    auto first = provider("cover-1");
    auto second = provider("cover-2");
    ASSERT_TRUE(first && second);
    // Result id -> the width of the picture in its icon file (0: no icon).
    auto covers = [](SearchProvider& searched) {
        Recorder<std::vector<std::string>> found;
        searched.search({"a"}, found.handler());
        EXPECT_TRUE(found.wait());
        Recorder<std::vector<SearchProvider::Meta>> metas;
        searched.metas(found.calls() > 0 ? found.value() : std::vector<std::string>{},
                       metas.handler());
        EXPECT_TRUE(metas.wait());
        std::map<std::string, int> widths;
        for (const auto& meta :
             metas.calls() > 0 ? metas.value() : std::vector<SearchProvider::Meta>{}) {
            auto image = meta.iconPath ? Image::decode(readFile(*meta.iconPath)) : std::nullopt;
            widths[meta.id] = image ? image->width() : 0;
        }
        return widths;
    };
    using Widths = std::map<std::string, int>;
    EXPECT_EQ(covers(*first), (Widths{{"a.b", 11}, {"a_b", 12}, {"t1", 15}, {"t2", 15}}));
    EXPECT_EQ(covers(*second), (Widths{{"a.b", 13}}));
    one.setTag("a.b", "14");
    EXPECT_EQ(covers(*first), (Widths{{"a.b", 14}, {"a_b", 12}, {"t1", 15}, {"t2", 15}}));
    auto requests = one.pictureRequests();
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(requests, (std::vector<std::string>{"a.b 128", "a.b 128", "a_b 128", "alb 128"}));
    // One file per server and picture: the old version is gone.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(icons))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files.size(), 4u) << ::testing::PrintToString(files);
}

}  // namespace
}  // namespace vk::test
