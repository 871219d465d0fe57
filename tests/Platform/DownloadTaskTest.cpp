// Download tasks: the body streamed to a partial file that takes the destination's name only when
// complete, Range resumes (206 appends, 200 starts over, a wrong range starts over next time)
// only of the version the partial file's validator names, progress on the delegate queue, and the
// failures that must leave no file under the final name. Against the reference server, and against
// nginx for what a real server does with Range, If-Range and its own ETags.
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "Support/NginxServer.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Http/UrlSession.h"
#include "gtest/gtest.h"
#include "refserver/RefServer.h"

using namespace std::chrono_literals;
using refserver::BodyStream;
using vk::DownloadFile;
using vk::UrlError;
using vk::UrlRequest;
using vk::UrlResponse;
using vk::UrlSession;
namespace fs = std::filesystem;

namespace {

std::string pattern(std::uint64_t offset, std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        std::uint64_t n = offset + i;
        out[i] = static_cast<char>((n * 2654435761u) >> 13);
    }
    return out;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

constexpr const char* kVersionNote = "user.vornkit.validator";

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

/// A partial file of `bytes` whose version note names `validator`, as an earlier attempt leaves
/// it; false when the file system keeps no user extended attributes (tmpfs before Linux 6.6).
bool writePartial(const fs::path& path, const std::string& bytes,
                  const std::string& validator = "\"v1\"") {
    writeFile(path, bytes);
    return ::setxattr(path.c_str(), kVersionNote, validator.data(), validator.size(), 0) == 0;
}

std::optional<std::string> versionNote(const fs::path& path) {
    char value[600];
    ssize_t size = ::getxattr(path.c_str(), kVersionNote, value, sizeof value);
    if (size < 0)
        return std::nullopt;
    return std::string(value, static_cast<std::size_t>(size));
}

struct Download {
    std::mutex mutex;
    std::condition_variable ended;
    int calls = 0;
    bool onQueue = false;
    std::optional<fs::path> location;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
    std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> progress;
    bool progressOnQueue = true;

    void start(UrlSession& session, UrlRequest request, const fs::path& destination) {
        auto queue = session.delegateQueue();
        task = session.downloadTask(
            std::move(request), destination,
            [this, queue](std::int64_t written, std::optional<std::int64_t> expected) {
                std::lock_guard lock(mutex);
                progress.emplace_back(written, expected);
                progressOnQueue = progressOnQueue && queue->isCurrent();
            },
            [this, queue](std::optional<fs::path> where, std::optional<UrlResponse> head,
                          std::optional<UrlError> failure) {
                std::lock_guard lock(mutex);
                ++calls;
                onQueue = queue->isCurrent();
                location = std::move(where);
                response = std::move(head);
                error = std::move(failure);
                ended.notify_all();
            });
        task->resume();
    }
    bool wait() {
        std::unique_lock lock(mutex);
        return ended.wait_for(lock, 30s, [&] { return calls > 0; });
    }
    std::shared_ptr<vk::UrlSessionTask> task;
};

class DownloadTaskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.route("GET", "file", [this](const refserver::Request&, refserver::Response& out) {
            BodyStream stream;
            stream.etag = "\"v1\"";
            stream.length = size_;
            stream.read = [](std::uint64_t offset, std::size_t size, std::string& into) {
                into += pattern(offset, size);
            };
            std::lock_guard lock(mutex_);
            if (shape_)
                shape_(stream);
            out.headers = headers_;
            out.contentType = "application/octet-stream";
            out.stream = std::move(stream);
        });
        base_ = *server_.listen({"main", "127.0.0.1", 0, std::nullopt});
        dir_ = vk::test::makeTempDir("download");
        destination_ = dir_ / "track.flac";
        session_ = UrlSession::make();
    }

    // The server's threads are done with the answer shapes before they go.
    void TearDown() override { server_.stop(); }

    UrlRequest request() const { return UrlRequest(*vk::Url::parse(base_ + "/vorn/file")); }
    /// Changes the next answers (under the server's lock).
    void shape(std::function<void(BodyStream&)> change) {
        std::lock_guard lock(mutex_);
        shape_ = std::move(change);
    }
    /// Header fields the next answers carry.
    void answerHeaders(refserver::Fields fields) {
        std::lock_guard lock(mutex_);
        headers_ = std::move(fields);
    }
    std::optional<std::string> lastRange() {
        auto requests = server_.requestsTo("/vorn/file");
        return requests.empty() ? std::nullopt : requests.back().header("Range");
    }
    fs::path partial() const { return DownloadFile::partialPath(destination_); }

    refserver::RefServer server_;
    std::string base_;
    std::uint64_t size_ = 3 * 1024 * 1024 + 17;
    std::mutex mutex_;
    std::function<void(BodyStream&)> shape_;
    refserver::Fields headers_;
    fs::path dir_;
    fs::path destination_;
    std::shared_ptr<UrlSession> session_;
};

TEST_F(DownloadTaskTest, TheWholeBodyReachesTheDestinationWithProgressOnTheDelegateQueue) {
    Download download;
    download.start(*session_, request(), destination_);
    ASSERT_TRUE(download.wait());
    ASSERT_FALSE(download.error) << download.error->description;
    EXPECT_TRUE(download.onQueue);
    EXPECT_EQ(download.location, destination_);
    ASSERT_TRUE(download.response);
    EXPECT_EQ(download.response->statusCode, 200);
    EXPECT_FALSE(server_.requests().back().header("Range")) << "nothing to resume";
    EXPECT_EQ(readFile(destination_), pattern(0, size_));
    EXPECT_FALSE(fs::exists(partial()));

    std::lock_guard lock(download.mutex);
    EXPECT_TRUE(download.progressOnQueue);
    ASSERT_FALSE(download.progress.empty());
    EXPECT_EQ(download.progress.back().first, static_cast<std::int64_t>(size_));
    EXPECT_EQ(download.progress.back().second, static_cast<std::int64_t>(size_));
    for (std::size_t i = 1; i < download.progress.size(); ++i)
        EXPECT_LE(download.progress[i - 1].first, download.progress[i].first);
}

// The answer that began a partial file named its version (a strong ETag, or a Last-Modified date
// well before the answer's Date from a server without tags): the next attempt asks for the rest of
// that version only. A weak tag names none, nor does a date as new as the answer, nor an answer
// without either: the next attempt starts over, so a file changed on the server in between is
// never half old, half new. A name too long to take the partial file's suffix still gets a
// partial file of its own.
TEST_F(DownloadTaskTest, APartialFileIsContinuedOnlyInTheVersionItsValidatorNames) {
    const std::string longName = std::string(240, 'a') + std::string(11, 'b') + ".wav";
    const std::string otherLongName = std::string(240, 'a') + std::string(11, 'c') + ".wav";
    EXPECT_LE(DownloadFile::partialPath(dir_ / longName).filename().string().size(), 255u);
    EXPECT_NE(DownloadFile::partialPath(dir_ / longName),
              DownloadFile::partialPath(dir_ / otherLongName));
    if (!writePartial(partial(), "x"))
        GTEST_SKIP() << "no user extended attributes in " << dir_;
    fs::remove(partial());
    const std::string modified = "Sun, 06 Nov 1994 08:49:37 GMT";
    const std::string sent = "Mon, 07 Dec 2026 12:00:00 GMT";
    struct Case {
        std::string name;
        std::optional<std::string> etag;
        refserver::Fields headers;
        std::optional<std::string> asked;  // the If-Range expected; none: the file starts over
    };
    const std::vector<Case> cases = {
        {"strong.flac", "\"v1\"", {}, "\"v1\""},
        {"weak.flac", "W/\"v1\"", {{"Last-Modified", modified}, {"Date", sent}}, std::nullopt},
        {"dated.flac", std::nullopt, {{"Last-Modified", modified}, {"Date", sent}}, modified},
        {"just-changed.flac",
         std::nullopt,
         {{"Last-Modified", sent}, {"Date", sent}},
         std::nullopt},
        {"unnamed.flac", std::nullopt, {}, std::nullopt},
        {longName, "\"v2\"", {}, "\"v2\""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        const fs::path destination = dir_ / c.name;
        answerHeaders(c.headers);
        shape([&c](BodyStream& stream) {
            stream.etag = c.etag;
            stream.cutAfter = 100'000;
        });
        Download first;
        first.start(*session_, request(), destination);
        ASSERT_TRUE(first.wait());
        ASSERT_TRUE(first.error);
        const fs::path partialFile = DownloadFile::partialPath(destination);
        ASSERT_TRUE(fs::exists(partialFile));
        EXPECT_EQ(versionNote(partialFile), c.asked);

        shape([&c](BodyStream& stream) { stream.etag = c.etag; });
        Download second;
        second.start(*session_, request(), destination);
        ASSERT_TRUE(second.wait());
        ASSERT_FALSE(second.error) << second.error->description;
        auto asked = server_.requestsTo("/vorn/file").back();
        EXPECT_EQ(asked.header("If-Range"), c.asked);
        EXPECT_EQ(asked.header("Range").has_value(), c.asked.has_value());
        EXPECT_EQ(second.response->statusCode, c.asked ? 206 : 200);
        EXPECT_TRUE(readFile(destination) == pattern(0, size_));
        {
            std::lock_guard lock(second.mutex);
            ASSERT_FALSE(second.progress.empty());
            EXPECT_EQ(second.progress.back().second, static_cast<std::int64_t>(size_))
                << "the expected size of a resumed file is the whole file's";
        }
        EXPECT_FALSE(versionNote(destination)) << "the finished file carries no version note";
    }
    answerHeaders({});

    // The server's file changed between two tries: the new version arrives whole, whatever tag
    // the first answer had.
    for (const std::string tag : {"\"v1\"", "W/\"v1\""}) {
        SCOPED_TRACE(tag);
        fs::remove(destination_);
        shape([tag](BodyStream& stream) {
            stream.etag = tag;
            stream.cutAfter = 100'000;
        });
        Download cut;
        cut.start(*session_, request(), destination_);
        ASSERT_TRUE(cut.wait());
        ASSERT_TRUE(cut.error);
        shape([tag](BodyStream& stream) {
            stream.etag = tag.substr(0, tag.size() - 1) + "-new\"";
            stream.read = [](std::uint64_t offset, std::size_t size, std::string& into) {
                into += pattern(offset + 7, size);
            };
        });
        Download changed;
        changed.start(*session_, request(), destination_);
        ASSERT_TRUE(changed.wait());
        ASSERT_FALSE(changed.error) << changed.error->description;
        EXPECT_EQ(changed.response->statusCode, 200);
        EXPECT_TRUE(readFile(destination_) == pattern(7, size_)) << "the new version, whole";
    }
}

// A server that answers the range without honouring If-Range sends the rest of its new version
// under 206: the bytes are refused and the next attempt starts over.
TEST_F(DownloadTaskTest, ARangeOfAnotherVersionIsNeverAppended) {
    if (!writePartial(partial(), pattern(0, 5000), "\"old\""))
        GTEST_SKIP() << "no user extended attributes in " << dir_;
    shape([](BodyStream& stream) { stream.etag = std::nullopt; });  // If-Range not looked at
    answerHeaders({{"ETag", "\"new\""}});
    Download ignored;
    ignored.start(*session_, request(), destination_);
    ASSERT_TRUE(ignored.wait());
    EXPECT_EQ(server_.requestsTo("/vorn/file").back().header("If-Range"), "\"old\"");
    ASSERT_TRUE(ignored.error);
    EXPECT_EQ(ignored.error->code, UrlError::badServerResponse) << ignored.error->description;
    EXPECT_FALSE(fs::exists(destination_));
    EXPECT_FALSE(fs::exists(partial()));

    Download again;
    again.start(*session_, request(), destination_);
    ASSERT_TRUE(again.wait());
    ASSERT_FALSE(again.error) << again.error->description;
    EXPECT_FALSE(lastRange());
    EXPECT_EQ(readFile(destination_), pattern(0, size_));
}

TEST_F(DownloadTaskTest, AServerThatIgnoresTheRangeStartsTheFileOver) {
    // Not the server's bytes: they must not survive.
    if (!writePartial(partial(), std::string(1000, 'x')))
        GTEST_SKIP() << "no user extended attributes in " << dir_;
    shape([](BodyStream& stream) { stream.ignoreRange = true; });
    Download download;
    download.start(*session_, request(), destination_);
    ASSERT_TRUE(download.wait());
    ASSERT_FALSE(download.error) << download.error->description;
    EXPECT_EQ(lastRange(), "bytes=1000-");
    EXPECT_EQ(download.response->statusCode, 200);
    EXPECT_EQ(readFile(destination_), pattern(0, size_));
}

TEST_F(DownloadTaskTest, AWrongRangeFailsAndTheNextAttemptStartsOver) {
    if (!writePartial(partial(), pattern(0, 5000)))
        GTEST_SKIP() << "no user extended attributes in " << dir_;
    shape([](BodyStream& stream) { stream.wrongRangeStart = 0; });
    Download wrong;
    wrong.start(*session_, request(), destination_);
    ASSERT_TRUE(wrong.wait());
    ASSERT_TRUE(wrong.error);
    EXPECT_EQ(wrong.error->code, UrlError::badServerResponse) << wrong.error->description;
    EXPECT_FALSE(fs::exists(destination_));
    EXPECT_FALSE(fs::exists(partial())) << "bytes of unknown place are not kept";

    shape(nullptr);
    Download again;
    again.start(*session_, request(), destination_);
    ASSERT_TRUE(again.wait());
    ASSERT_FALSE(again.error) << again.error->description;
    EXPECT_FALSE(lastRange());
    EXPECT_EQ(readFile(destination_), pattern(0, size_));
}

TEST_F(DownloadTaskTest, ARangeAnswerWithoutTheFilesLengthIsNeverTakenAsComplete) {
    // "bytes N-M/*" and a connection that closes early: nothing says the file is short.
    if (!writePartial(partial(), pattern(0, 5000)))
        GTEST_SKIP() << "no user extended attributes in " << dir_;
    shape([](BodyStream& stream) {
        stream.unknownTotal = true;
        stream.cutAfter = 100'000;
    });
    Download cut;
    cut.start(*session_, request(), destination_);
    ASSERT_TRUE(cut.wait());
    ASSERT_TRUE(cut.error);
    EXPECT_EQ(cut.error->code, UrlError::badServerResponse) << cut.error->description;
    EXPECT_FALSE(fs::exists(destination_));

    shape(nullptr);
    Download again;
    again.start(*session_, request(), destination_);
    ASSERT_TRUE(again.wait());
    ASSERT_FALSE(again.error) << again.error->description;
    EXPECT_EQ(readFile(destination_), pattern(0, size_));
}

TEST_F(DownloadTaskTest, AFileArrivesAsTheServerKeepsItNeverRecompressed) {
    // A server that compresses when asked to, declaring the compressed length (as servers of
    // precompressed files do).
    const std::string plain = [] {
        std::string text;
        for (int i = 0; i < 400; ++i)
            text += "vorn ";
        return text;
    }();
    static const char kGzip[] =
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\x2b\xcb\x2f\xca\x53\x28\x1b\x25\x46\x89\x51"
        "\x62\x94\x18\x25\x46\x89\x51\x62\x28\x13\x00\x29\x42\xf7\xbd\xd0\x07\x00\x00";
    server_.route("GET", "packed", [plain](const refserver::Request& in, refserver::Response& out) {
        out.contentType = "application/octet-stream";
        if (in.recorded.header("Accept-Encoding").value_or("").find("gzip") != std::string::npos) {
            out.body.assign(kGzip, sizeof kGzip - 1);
            out.headers.emplace_back("Content-Encoding", "gzip");
        } else {
            out.body = plain;
        }
    });
    Download packed;
    packed.start(*session_, UrlRequest(*vk::Url::parse(base_ + "/vorn/packed")), destination_);
    ASSERT_TRUE(packed.wait());
    ASSERT_FALSE(packed.error) << packed.error->description;
    EXPECT_EQ(readFile(destination_), plain);
}

TEST_F(DownloadTaskTest, APartialFileThatHoldsTheWholeFileIsMovedIntoPlace) {
    // An attempt killed after its last byte and before the move: the server has nothing left.
    if (!writePartial(partial(), pattern(0, size_)))
        GTEST_SKIP() << "no user extended attributes in " << dir_;
    Download whole;
    whole.start(*session_, request(), destination_);
    ASSERT_TRUE(whole.wait());
    ASSERT_FALSE(whole.error) << whole.error->description;
    EXPECT_EQ(lastRange(), "bytes=" + std::to_string(size_) + "-");
    EXPECT_EQ(readFile(destination_), pattern(0, size_));
    EXPECT_FALSE(fs::exists(partial()));

    fs::remove(destination_);
    writePartial(partial(), pattern(0, size_ + 10));
    Download longer;
    longer.start(*session_, request(), destination_);
    ASSERT_TRUE(longer.wait());
    ASSERT_TRUE(longer.error);
    EXPECT_FALSE(fs::exists(destination_));
    EXPECT_FALSE(fs::exists(partial())) << "a partial file longer than the file is dropped";
}

TEST_F(DownloadTaskTest, FailuresLeaveNoFileUnderTheFinalName) {
    {
        SCOPED_TRACE("a body longer than its Content-Length");
        shape([](BodyStream& stream) { stream.extraBytes = 300; });
        Download download;
        download.start(*session_, request(), destination_);
        ASSERT_TRUE(download.wait());
        ASSERT_TRUE(download.error);
        EXPECT_EQ(download.error->code, UrlError::badServerResponse);
        EXPECT_FALSE(fs::exists(destination_));
    }
    {
        SCOPED_TRACE("an error status: its body is not the file");
        writeFile(partial(), pattern(0, 100));
        server_.addFault({"", "/vorn/file", "", refserver::Fault::withStatus(404), 1});
        Download download;
        download.start(*session_, request(), destination_);
        ASSERT_TRUE(download.wait());
        ASSERT_TRUE(download.error);
        ASSERT_TRUE(download.response);
        EXPECT_EQ(download.response->statusCode, 404);
        EXPECT_FALSE(fs::exists(destination_));
        EXPECT_EQ(readFile(partial()), pattern(0, 100)) << "the partial file is left as it was";
    }
    {
        SCOPED_TRACE("cancelled half-way");
        shape([](BodyStream& stream) { stream.pause = 20ms; });
        Download download;
        download.start(*session_, request(), destination_);
        ASSERT_TRUE(vk::test::pumpMainQueueUntil(
            [&] {
                std::lock_guard lock(download.mutex);
                return !download.progress.empty() && download.progress.back().first > 200'000;
            },
            20s));
        download.task->cancel();
        ASSERT_TRUE(download.wait());
        ASSERT_TRUE(download.error);
        EXPECT_EQ(download.error->code, UrlError::cancelled);
        EXPECT_FALSE(fs::exists(destination_));
        ASSERT_TRUE(fs::exists(partial()));
        const auto kept = fs::file_size(partial());
        EXPECT_GT(kept, 200'000u);
        EXPECT_EQ(readFile(partial()), pattern(0, kept));
    }
}

// A full disk: a 1 MiB tmpfs holds the destination's folder (needs root to mount).
TEST_F(DownloadTaskTest, AFullDiskFailsTheTaskAndKeepsWhatFitted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const fs::path small = dir_ / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const fs::path destination = small / "big.bin";
    Download download;
    download.start(*session_, request(), destination);
    const bool ended = download.wait();
    const bool existed = fs::exists(destination);
    const auto kept = fs::exists(DownloadFile::partialPath(destination))
                          ? fs::file_size(DownloadFile::partialPath(destination))
                          : 0;
    ::umount2(small.c_str(), MNT_DETACH);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(download.error);
    EXPECT_EQ(download.error->code, UrlError::cannotWriteToFile);
    EXPECT_NE(download.error->description.find("No space left"), std::string::npos)
        << download.error->description;
    EXPECT_FALSE(existed);
    EXPECT_GT(kept, 0u);
}

/// Trusts the certificate of a server on this machine (the test's own nginx).
class AcceptingDelegate : public vk::UrlSessionDelegate {
  public:
    void didReceiveChallenge(UrlSession&, const vk::AuthenticationChallenge& challenge,
                             vk::ChallengeCompletionHandler completion) override {
        const bool local = challenge.protectionSpace.host == "127.0.0.1";
        completion(local ? vk::AuthChallengeDisposition::useCredential
                         : vk::AuthChallengeDisposition::cancelAuthenticationChallenge,
                   vk::UrlCredential::forTrust(challenge.protectionSpace.serverTrust));
    }
};

// nginx serving real files, with its own ETags and its own handling of Range and If-Range. The
// first answer of a file (a request without Range) comes slowly, so that a cut lands in its body;
// a cut kills nginx's worker, as a server that goes away mid-answer.
class NginxDownloadTest : public ::testing::Test {
  protected:
    static constexpr std::size_t kSize = 2 * 1024 * 1024;

    /// nginx with `serverDirectives`, or a skip when nginx is not installed.
    void startNginx(const std::string& serverDirectives, bool tls = false) {
        vk::test::NginxServer::Options options;
        options.httpDirectives = "map $http_range $vk_rate { \"\" 1m; default 0; }";
        options.serverDirectives = "limit_rate $vk_rate;\n" + serverDirectives;
        options.tls = tls;
        std::string error;
        nginx_ = vk::test::NginxServer::start(options, error);
        ASSERT_TRUE(nginx_) << error;
        dir_ = vk::test::makeTempDir("nginx-download");
    }
    /// Writes a file nginx serves, with its modification time `age` from now.
    void serve(const std::string& name, const std::string& bytes,
               std::chrono::seconds age = -std::chrono::seconds(60)) {
        writeFile(nginx_->root() / name, bytes);
        fs::last_write_time(nginx_->root() / name, fs::file_time_type::clock::now() + age);
    }
    UrlRequest request(const std::string& name) const {
        return UrlRequest(*vk::Url::parse(nginx_->baseUrl() + "/" + name));
    }
    /// Starts a download and cuts nginx's answer once more than 100 kB of it are in.
    void cutDownload(UrlSession& session, const std::string& name, const fs::path& destination) {
        Download download;
        download.start(session, request(name), destination);
        ASSERT_TRUE(vk::test::pumpMainQueueUntil(
            [&] {
                std::lock_guard lock(download.mutex);
                return download.calls > 0 ||
                       (!download.progress.empty() && download.progress.back().first > 100'000);
            },
            20s));
        nginx_->cutConnections();
        ASSERT_TRUE(download.wait());
        ASSERT_TRUE(download.error) << "the answer was cut";
        ASSERT_TRUE(fs::exists(DownloadFile::partialPath(destination)));
    }
    /// The last request nginx logged, once the `count`th is logged.
    vk::test::NginxRequest logged(std::size_t count) {
        EXPECT_TRUE(nginx_->waitForRequests(count));
        auto requests = nginx_->requests();
        return requests.empty() ? vk::test::NginxRequest{} : requests.back();
    }

    std::unique_ptr<vk::test::NginxServer> nginx_;
    fs::path dir_;
};

// nginx's ETag of a static file is strong: a cut download continues where it stopped while the
// file is the same (over TLS here), and is fetched whole once the file has changed.
TEST_F(NginxDownloadTest, ACutDownloadContinuesOnlyWhileNginxHasTheSameFile) {
    if (!vk::test::NginxServer::installed())
        GTEST_SKIP() << "nginx is not installed";
    startNginx("", true);
    serve("same.bin", pattern(0, kSize));
    serve("changed.bin", pattern(0, kSize));
    // nginx's throw-away certificate is trusted.
    auto session = UrlSession::make({}, std::make_shared<AcceptingDelegate>());

    const fs::path same = dir_ / "same.bin";
    cutDownload(*session, "same.bin", same);
    const auto kept = fs::file_size(DownloadFile::partialPath(same));
    const auto tag = versionNote(DownloadFile::partialPath(same));
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->front(), '"') << "a strong tag";
    Download resumed;
    resumed.start(*session, request("same.bin"), same);
    ASSERT_TRUE(resumed.wait());
    ASSERT_FALSE(resumed.error) << resumed.error->description;
    EXPECT_EQ(resumed.response->statusCode, 206);
    auto asked = logged(1);
    EXPECT_EQ(asked.range, "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(asked.ifRange, *tag);
    EXPECT_EQ(asked.status, 206);
    EXPECT_TRUE(readFile(same) == pattern(0, kSize));

    const fs::path changed = dir_ / "changed.bin";
    cutDownload(*session, "changed.bin", changed);
    serve("changed.bin", pattern(7, kSize), std::chrono::seconds(-30));
    Download fresh;
    fresh.start(*session, request("changed.bin"), changed);
    ASSERT_TRUE(fresh.wait());
    ASSERT_FALSE(fresh.error) << fresh.error->description;
    auto whole = logged(2);
    EXPECT_FALSE(whole.ifRange.empty());
    EXPECT_EQ(whole.status, 200) << "nginx saw another version and sent it whole";
    EXPECT_TRUE(readFile(changed) == pattern(7, kSize)) << "the new version, whole";
}

// Without an ETag, and with a Last-Modified date as new as the answer (a file just written),
// nginx's answer names no version: a cut download starts over, and a file changed in between is
// never the old file's start with the new one's rest.
TEST_F(NginxDownloadTest, WithoutAVersionACutDownloadStartsOver) {
    if (!vk::test::NginxServer::installed())
        GTEST_SKIP() << "nginx is not installed";
    startNginx("etag off;");
    serve("track.bin", pattern(0, kSize), std::chrono::seconds(3600));
    auto session = UrlSession::make();
    const fs::path destination = dir_ / "track.bin";
    cutDownload(*session, "track.bin", destination);
    EXPECT_FALSE(versionNote(DownloadFile::partialPath(destination)));
    serve("track.bin", pattern(7, kSize), std::chrono::seconds(3600));
    Download again;
    again.start(*session, request("track.bin"), destination);
    ASSERT_TRUE(again.wait());
    ASSERT_FALSE(again.error) << again.error->description;
    auto asked = logged(1);
    EXPECT_TRUE(asked.range.empty()) << asked.range;
    EXPECT_EQ(asked.status, 200);
    EXPECT_TRUE(readFile(destination) == pattern(7, kSize)) << "the new version, whole";
}

}  // namespace
