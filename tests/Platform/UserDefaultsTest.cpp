#include "VornKit/Platform/UserDefaults.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
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

TEST(UserDefaults, CorruptFileReadsEmptyIsLoggedOnceAndReplacedByTheNextWrite) {
    auto file = freshFile();
    std::ofstream(file) << "{\"k\": \"v\", broken";
    vk::test::ScopedLogCapture capture;
    UserDefaults store(file);
    EXPECT_FALSE(store.string("k"));
    EXPECT_FALSE(store.string("k"));
    EXPECT_EQ(capture->messages("UserDefaults").size(), 1u);
    ASSERT_TRUE(store.set("fresh", "value"));
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.string("fresh"), "value");
}

TEST(UserDefaults, ObserversHearChangesOfTheirKeyOnly) {
    auto file = freshFile();
    UserDefaults store(file);
    std::vector<std::optional<DefaultsValue>> inlineSeen;
    std::atomic<int> queued{0};
    store.addObserver("watched", nullptr, [&](const auto& v) { inlineSeen.push_back(v); });
    auto token = store.addObserver("watched", vk::DispatchQueue::main(),
                                   [&](const auto&) { queued.fetch_add(1); });
    store.set("other", 1);
    store.set("watched", "a");
    store.set("watched", "a");  // unchanged: no call
    store.remove("watched");
    ASSERT_EQ(inlineSeen.size(), 2u);
    EXPECT_EQ(inlineSeen[0], DefaultsValue("a"));
    EXPECT_FALSE(inlineSeen[1]);
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return queued.load() == 2; }, 5s));

    store.removeObserver(token);
    UserDefaults(file).set("watched", "from elsewhere");
    EXPECT_EQ(store.string("watched"), "from elsewhere");  // the read notices the change
    ASSERT_EQ(inlineSeen.size(), 3u);
    EXPECT_EQ(inlineSeen[2], DefaultsValue("from elsewhere"));
    vk::test::pumpMainQueueUntil([] { return false; }, 20ms);
    EXPECT_EQ(queued.load(), 2);
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
