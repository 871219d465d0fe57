#include "VornKit/Platform/Defaults/UserDefaults.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using namespace std::chrono_literals;
using vk::DefaultsValue;
using vk::UserDefaults;

namespace {

std::filesystem::path freshFile() {
    return vk::test::makeTempDir("defaults") / "suite.json";
}

TEST(UserDefaults, EveryValueKindSurvivesAReopen) {
    auto file = freshFile();
    {
        UserDefaults store(file);
        ASSERT_TRUE(store.set("text", std::string("h\u00e9llo \"quoted\"\n")));
        ASSERT_TRUE(store.set("flag", false));
        ASSERT_TRUE(store.set("count", std::int64_t{-9007199254740993}));
        ASSERT_TRUE(store.set("ratio", 2.0));  // a whole double stays a double
        ASSERT_TRUE(store.set("blob", vk::DefaultsData{0, 1, 2, 255}));
        ASSERT_TRUE(store.set("list", std::vector<std::string>{"a", "", "b"}));
        ASSERT_TRUE(store.set(
            "dict", vk::DefaultsDictionary{{"$data", "not data"}, {"n", DefaultsValue(3)}}));
        ASSERT_TRUE(store.set("marker", vk::DefaultsDictionary{{"$data", "plain text"}}));
    }
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("text"), "h\u00e9llo \"quoted\"\n");
    auto flag = reopened.object("flag");
    ASSERT_TRUE(flag);
    EXPECT_EQ(*flag, DefaultsValue(false));
    EXPECT_EQ(reopened.integer("count"), -9007199254740993);
    auto ratio = reopened.object("ratio");
    ASSERT_TRUE(ratio);
    EXPECT_TRUE(std::holds_alternative<double>(ratio->value));
    EXPECT_EQ(reopened.data("blob"), (vk::DefaultsData{0, 1, 2, 255}));
    EXPECT_EQ(reopened.stringList("list"), (std::vector<std::string>{"a", "", "b"}));
    auto dict = reopened.dictionary("dict");
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->at("$data"), DefaultsValue("not data"));
    auto marker = reopened.dictionary("marker");
    ASSERT_TRUE(marker) << "a dictionary must not be mistaken for data";
    EXPECT_EQ(marker->at("$data"), DefaultsValue("plain text"));
}

TEST(UserDefaults, RemoveAndTypedReadsOfOtherKinds) {
    UserDefaults store(freshFile());
    store.set("n", 5);
    EXPECT_FALSE(store.string("n"));
    EXPECT_EQ(store.number("n"), 5.0);
    EXPECT_TRUE(store.boolean("n"));
    store.set("yes", "YES");
    store.set("no", "nope");
    EXPECT_TRUE(store.boolean("yes"));
    EXPECT_FALSE(store.boolean("no"));
    ASSERT_TRUE(store.remove("n"));
    EXPECT_FALSE(store.object("n"));
    EXPECT_FALSE(store.boolean("n"));
}

TEST(UserDefaults, SeesWritesOfAnotherWriterOnTheSameFile) {
    auto file = freshFile();
    UserDefaults reader(file);
    UserDefaults writer(file);
    EXPECT_FALSE(reader.string("k"));
    writer.set("k", "one");
    EXPECT_EQ(reader.string("k"), "one");
    writer.set("k", "two");
    EXPECT_EQ(reader.string("k"), "two");
}

std::string fileText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(UserDefaults, UnparsableFileReadsEmptyIsLoggedOnceAndKeptAsCorruptBeforeTheNextWrite) {
    auto file = freshFile();
    const std::string broken = "{\"k\": \"v\", broken";
    std::ofstream(file) << broken;
    vk::test::ScopedLogCapture capture;
    UserDefaults store(file);
    EXPECT_FALSE(store.string("k"));
    EXPECT_FALSE(store.string("k"));
    ASSERT_TRUE(store.set("fresh", "value"));
    EXPECT_FALSE(store.string("k"));
    EXPECT_EQ(capture->messages("UserDefaults").size(), 1u);
    auto corrupt = file;
    corrupt += ".corrupt";
    EXPECT_EQ(fileText(corrupt), broken) << "the unreadable file must survive the write";
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("fresh"), "value");
}

// An absent key cannot tell a file without it from a file that could not be used; the store says
// which one its last read found.
TEST(UserDefaults, LastReadFailedTellsAnUnusableFileFromAMissingOrAGoodOne) {
    auto file = freshFile();
    UserDefaults store(file);
    EXPECT_FALSE(store.string("k"));
    EXPECT_FALSE(store.lastReadFailed()) << "a missing file is an empty store";

    std::ofstream(file) << R"({"k": "v"})";
    EXPECT_EQ(store.string("k"), "v");
    EXPECT_FALSE(store.lastReadFailed());

    // Not a regular file (fails for root as well): the values read before are kept, and the
    // failure is reported.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(store.string("k"), "v");
    EXPECT_TRUE(store.lastReadFailed());
    std::filesystem::remove(file);

    std::ofstream(file) << R"({"k": "v", damaged)";
    EXPECT_FALSE(store.string("k"));
    EXPECT_TRUE(store.lastReadFailed());

    // Repaired by hand: readable again.
    std::filesystem::remove(file);
    std::ofstream(file) << R"({"k": "w"})";
    EXPECT_EQ(store.string("k"), "w");
    EXPECT_FALSE(store.lastReadFailed());

    if (::geteuid() != 0) {
        std::filesystem::permissions(file, std::filesystem::perms::none);
        EXPECT_EQ(store.string("k"), "w");
        EXPECT_TRUE(store.lastReadFailed());
        std::filesystem::permissions(
            file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_EQ(store.string("k"), "w");
        EXPECT_FALSE(store.lastReadFailed());
    }
}

TEST(UserDefaults, NonFiniteNumbersAreRefusedAndTheFileStaysReadable) {
    auto file = freshFile();
    UserDefaults store(file);
    ASSERT_TRUE(store.set("kept", "yes"));
    EXPECT_FALSE(store.set("ratio", std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(store.set("ratio", -std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(store.set(
        "nested",
        vk::DefaultsDictionary{
            {"deep", vk::DefaultsDictionary{{"x", std::numeric_limits<double>::infinity()}}}}));
    EXPECT_FALSE(store.object("ratio"));
    EXPECT_FALSE(store.object("nested"));
    ASSERT_TRUE(store.set("later", 1.5));
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("kept"), "yes");
    EXPECT_EQ(reopened.number("later"), 1.5);
}

// Hand edits and other writers put JSON there that the store does not model; the rest of the
// file must stay readable, and those entries must reach the next file exactly as they were.
TEST(UserDefaults, EntriesItCannotModelAreSkippedAndKeptByTheNextWrite) {
    auto file = freshFile();
    std::ofstream(file)
        << "{ \"keep\": \"text\", \"nothing\": null,\n"
           "  \"numbers\": [1, 2.5, 3], \"ratio\": NaN, \"big\": 18446744073709551615,\n"
           "  \"deep\": {\"a\": [true]}, \"esc\\u0061ped\": 7, \"n\": 5 }\n";
    vk::test::ScopedLogCapture capture;
    UserDefaults store(file);
    EXPECT_EQ(store.string("keep"), "text");
    EXPECT_EQ(store.integer("n"), 5);
    EXPECT_EQ(store.integer("escaped"), 7);
    EXPECT_FALSE(store.object("nothing"));
    EXPECT_FALSE(store.object("numbers"));
    EXPECT_FALSE(store.object("ratio"));
    EXPECT_FALSE(store.object("big")) << "no lossy reading of an integer beyond 64 bits";
    EXPECT_FALSE(store.object("deep"));

    ASSERT_TRUE(store.set("new", "value"));
    const std::string written = fileText(file);
    for (const char* entry : {"\"nothing\":null", "\"numbers\":[1, 2.5, 3]", "\"ratio\":NaN",
                              "\"big\":18446744073709551615", "\"deep\":{\"a\": [true]}"}) {
        EXPECT_NE(written.find(entry), std::string::npos) << entry << " missing from " << written;
    }
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("keep"), "text");
    EXPECT_EQ(reopened.string("new"), "value");
    EXPECT_EQ(reopened.integer("n"), 5);

    // Writing or removing such a key replaces the kept form.
    ASSERT_TRUE(store.set("numbers", "now text"));
    ASSERT_TRUE(store.remove("nothing"));
    const std::string rewritten = fileText(file);
    EXPECT_EQ(rewritten.find("[1, 2.5, 3]"), std::string::npos);
    EXPECT_EQ(rewritten.find("\"nothing\""), std::string::npos);
    EXPECT_EQ(UserDefaults(file).string("numbers"), "now text");
    EXPECT_TRUE(capture->messages("UserDefaults").empty()) << "a readable file is not corrupt";
}

TEST(UserDefaults, ObserversHearChangesOfTheirKeyOnly) {
    auto file = freshFile();
    UserDefaults store(file);
    // Changes found on the file may also be delivered on the store's watch thread.
    std::mutex mutex;
    std::vector<std::optional<DefaultsValue>> inlineSeen;
    auto seen = [&] {
        std::lock_guard lock(mutex);
        return inlineSeen;
    };
    std::atomic<int> queued{0};
    store.addObserver("watched", nullptr, [&](const auto& v) {
        std::lock_guard lock(mutex);
        inlineSeen.push_back(v);
    });
    auto token = store.addObserver("watched", vk::DispatchQueue::main(),
                                   [&](const auto&) { queued.fetch_add(1); });
    store.set("other", 1);
    store.set("watched", "a");
    store.set("watched", "a");  // unchanged: no call
    store.remove("watched");
    ASSERT_EQ(seen().size(), 2u);
    EXPECT_EQ(seen()[0], DefaultsValue("a"));
    EXPECT_FALSE(seen()[1]);
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return queued.load() == 2; }, 5s));

    store.removeObserver(token);
    UserDefaults(file).set("watched", "from elsewhere");
    EXPECT_EQ(store.string("watched"), "from elsewhere");
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return seen().size() >= 3; }, 5s));
    vk::test::pumpMainQueueUntil([] { return false; }, 50ms);
    ASSERT_EQ(seen().size(), 3u) << "one change, one call";
    EXPECT_EQ(seen()[2], DefaultsValue("from elsewhere"));
    EXPECT_EQ(queued.load(), 2);
}

TEST(UserDefaults, RemovingAnObserverWaitsForItsDeliveryOnAnotherThread) {
    UserDefaults store(freshFile());
    auto queue = vk::DispatchQueue::makeSerial("defaults-observer");
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    auto token = store.addObserver("k", queue, [&](const auto&) {
        entered = true;
        std::this_thread::sleep_for(150ms);
        finished = true;
    });
    ASSERT_TRUE(store.set("k", "v"));
    while (!entered.load()) {
        std::this_thread::sleep_for(1ms);
    }
    store.removeObserver(token);
    EXPECT_TRUE(finished.load()) << "removal returned while the block was still running";
}

TEST(UserDefaults, RemovingAnObserverFromItsOwnDeliveryDoesNotWait) {
    UserDefaults store(freshFile());
    std::atomic<int> calls{0};
    std::uint64_t token = 0;
    token = store.addObserver("k", nullptr, [&](const auto&) {
        calls.fetch_add(1);
        store.removeObserver(token);
    });
    auto queued = vk::DispatchQueue::makeSerial("defaults-self-removal");
    std::atomic<bool> done{false};
    std::uint64_t queuedToken = 0;
    queuedToken = store.addObserver("k", queued, [&](const auto&) {
        store.removeObserver(queuedToken);
        done = true;
    });
    ASSERT_TRUE(store.set("k", "one"));
    ASSERT_TRUE(store.set("k", "two"));
    EXPECT_EQ(calls.load(), 1);
    for (int i = 0; i < 2000 && !done.load(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(done.load());
}

TEST(UserDefaults, ConcurrentThreadsLoseNoKey) {
    auto file = freshFile();
    UserDefaults store(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                store.set("t" + std::to_string(t) + "-" + std::to_string(i), i);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    UserDefaults reopened(file);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(reopened.integer("t" + std::to_string(t) + "-" + std::to_string(i)), i);
        }
    }
}

// Child processes write through their own store object, as another process of the application
// would; they start no threads.
pid_t spawnWriter(const std::filesystem::path& file, const std::string& prefix, int count) {
    pid_t pid = ::fork();
    if (pid == 0) {
        UserDefaults store(file);
        bool ok = true;
        for (int i = 0; i < count; ++i) {
            ok = store.set(prefix + std::to_string(i), std::string(64, 'x')) && ok;
        }
        ::_exit(ok ? 0 : 1);
    }
    return pid;
}

TEST(UserDefaults, TwoProcessesWritingDifferentKeysLoseNothing) {
    auto file = freshFile();
    constexpr int kCount = 150;
    pid_t a = spawnWriter(file, "a", kCount);
    pid_t b = spawnWriter(file, "b", kCount);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    int statusA = 0, statusB = 0;
    ::waitpid(a, &statusA, 0);
    ::waitpid(b, &statusB, 0);
    ASSERT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0);
    ASSERT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0);
    UserDefaults store(file);
    int missing = 0;
    for (int i = 0; i < kCount; ++i) {
        missing += store.string("a" + std::to_string(i)) ? 0 : 1;
        missing += store.string("b" + std::to_string(i)) ? 0 : 1;
    }
    EXPECT_EQ(missing, 0);
}

// Another process rewrites the file in place with text of the same length and puts the old
// modification time back: inode, size and time stamp all look unchanged, as they do for a
// replacement within one timestamp tick on a reused inode. Neither a read nor the next write of
// this process may miss that change.
TEST(UserDefaults, ASameLengthRewriteByAnotherProcessWithinOneTickIsNeitherMissedNorErased) {
    auto file = freshFile();
    UserDefaults store(file);
    ASSERT_TRUE(store.set("theirs", "aaaa"));
    ASSERT_TRUE(store.set("mine", "1"));
    EXPECT_EQ(store.string("theirs"), "aaaa");
    std::string text = fileText(file);
    auto at = text.find("aaaa");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 4, "bbbb");
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    pid_t pid = ::fork();
    if (pid == 0) {  // only system calls here: the parent has threads
        int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        bool ok = fd >= 0 &&
                  ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ok = ok && ::futimens(fd, times) == 0;
        ::_exit(ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);

    EXPECT_EQ(store.string("theirs"), "bbbb") << "the read missed the other process's write";
    ASSERT_TRUE(store.set("mine", "2"));
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("theirs"), "bbbb") << "the write erased the other process's write";
    EXPECT_EQ(reopened.string("mine"), "2");
}

TEST(UserDefaults, ObserversHearChangesMadeByAnotherProcess) {
    auto file = freshFile();
    UserDefaults store(file);
    ASSERT_TRUE(store.set("watched", "before"));
    std::mutex mutex;
    std::vector<std::optional<DefaultsValue>> seen;
    auto token = store.addObserver("watched", vk::DispatchQueue::main(), [&](const auto& v) {
        std::lock_guard lock(mutex);
        seen.push_back(v);
    });
    pid_t pid = spawnWriter(file, "watched", 1);  // writes "watched0"
    ASSERT_GT(pid, 0);
    ::waitpid(pid, nullptr, 0);
    pid = ::fork();
    if (pid == 0) {
        UserDefaults other(file);
        ::_exit(other.set("watched", "from another process") ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // No read or write in this process: the change must arrive on its own.
    EXPECT_TRUE(vk::test::pumpMainQueueUntil(
        [&] {
            std::lock_guard lock(mutex);
            return !seen.empty();
        },
        5s));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(seen.size(), 1u) << "a change of another key is not a change of this one";
        EXPECT_EQ(seen[0], DefaultsValue("from another process"));
    }
    store.removeObserver(token);
}

TEST(UserDefaults, AWriterKilledMidWriteNeverLeavesAnUnreadableFile) {
    auto file = freshFile();
    {
        UserDefaults seed(file);
        ASSERT_TRUE(seed.set("sentinel", "kept"));
    }
    std::mt19937 random(1234);
    vk::test::ScopedLogCapture capture;
    for (int round = 0; round < 60; ++round) {
        pid_t pid = ::fork();
        if (pid == 0) {
            UserDefaults store(file);
            for (int i = 0;; ++i) {
                store.set("k" + std::to_string(i % 50),
                          std::string(4096, static_cast<char>('a' + i % 26)));
            }
        }
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 8000));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        UserDefaults reader(file);
        ASSERT_EQ(reader.string("sentinel"), "kept") << "round " << round;
    }
    EXPECT_EQ(capture->messages("UserDefaults").size(), 0u) << "a reader met an unreadable file";
}

}  // namespace
