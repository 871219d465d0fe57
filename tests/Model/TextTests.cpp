#include "VornKit/Model/Text.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/TextMap.h"

namespace vk {
namespace {

TEST(Text, AbsentEmptyAndPresentAreDistinct) {
    Text absent;
    Text empty("");
    Text word(std::string("word"));
    EXPECT_FALSE(absent);
    EXPECT_TRUE(empty);
    EXPECT_EQ(empty.view(), "");
    EXPECT_FALSE(absent == empty);
    EXPECT_EQ(word, "word");
    EXPECT_EQ(Text(static_cast<const char*>(nullptr)), std::nullopt);
    EXPECT_EQ(Text(std::optional<std::string>("x")).toOptional(), "x");
    EXPECT_EQ(absent.value_or("fallback"), "fallback");
}

std::uint64_t availableMemory() {
    std::ifstream in("/proc/meminfo");
    std::string name;
    std::uint64_t kib = 0;
    std::string unit;
    while (in >> name >> kib >> unit) {
        if (name == "MemAvailable:")
            return kib * 1024;
    }
    return 0;
}

// Input larger than 32-bit lengths can count is held, not a reason to stop the process. The
// source is a sparse mapping, so only the copy takes memory (in a child process, which the old
// fatal stop would have killed).
TEST(Text, HoldsTextLongerThanFourGiB) {
    constexpr std::size_t kLength = (std::size_t{1} << 32) + 3;
    // Copying 4 GiB takes from seconds to a minute on a busy machine: run on request.
    if (std::getenv("VK_LARGE_TESTS") == nullptr)
        GTEST_SKIP() << "set VK_LARGE_TESTS=1 to copy a 4 GiB text";
    if (availableMemory() < 10 * (std::uint64_t{1} << 30))
        GTEST_SKIP() << "not enough free memory for a 4 GiB copy";
    void* source = ::mmap(nullptr, kLength, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(source, MAP_FAILED);
    auto* bytes = static_cast<char*>(source);
    bytes[0] = 'a';
    bytes[kLength - 1] = 'z';
    std::string_view huge(bytes, kLength);
    EXPECT_EXIT(
        {
            Text text(huge);
            Text copy = text;
            bool ok = copy.view().size() == kLength && copy.view().front() == 'a' &&
                      copy.view().back() == 'z' && !copy.isJsonPlain() &&
                      copy.sharesStorageWith(text);
            ::_exit(ok ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    ::munmap(source, kLength);
}

TEST(Text, KnowsWhetherJsonWritesItEscaped) {
    EXPECT_TRUE(Text("plain text \xc3\xa9 and more than eight bytes").isJsonPlain());
    EXPECT_FALSE(Text("a \"quote\"").isJsonPlain());
    EXPECT_FALSE(Text("back\\slash").isJsonPlain());
    EXPECT_FALSE(Text(std::string_view("nul\0", 4)).isJsonPlain());
    EXPECT_FALSE(Text("tab\tin the ninth byte or so").isJsonPlain());
    EXPECT_FALSE(Text("0123456789abcde\x1f").isJsonPlain());
    EXPECT_TRUE(Text("\x7f\xff").isJsonPlain());
}

TEST(TextArena, TextsOutliveTheArenaAndShareRepeatedStrings) {
    Text first;
    Text second;
    Text other;
    Text longText;
    {
        TextArena arena(1000);
        first = arena.make("codec", true);
        second = arena.make(std::string("co") + "dec", true);
        other = arena.make("codes", true);
        longText = arena.make(std::string(20000, 'x'), true);
    }
    EXPECT_EQ(first, "codec");
    EXPECT_TRUE(first.sharesStorageWith(second));
    EXPECT_FALSE(first.sharesStorageWith(other));
    EXPECT_EQ(longText.view().size(), 20000u);
    Text copy = first.deepCopy();
    EXPECT_EQ(copy, first);
    EXPECT_FALSE(copy.sharesStorageWith(first));
    first.reset();
    EXPECT_EQ(second, "codec");  // the chunk lives while any of its texts does
}

TEST(TextArena, ExaminesTextsTheCallerCannotVouchFor) {
    TextArena arena(64);
    EXPECT_FALSE(arena.make("say \"hi\"", false).isJsonPlain());
    EXPECT_TRUE(arena.make("say hi", false).isJsonPlain());
}

TEST(TextArena, ManyChunksAndTheirTextsAreReleasedWhateverTheOrder) {
    // Unique texts fill chunk after chunk while a few repeated ones keep being shared from the
    // recent chunks; the sanitizer builds catch a chunk freed early or never freed.
    std::vector<Text> kept;
    std::vector<Text> repeated;
    {
        TextArena arena(1 << 20);
        for (int i = 0; i < 50000; ++i) {
            Text t = arena.make("value number " + std::to_string(i), true);
            if (i % 7 == 0)
                kept.push_back(t);
            Text r = arena.make("codec " + std::to_string(i % 5), true);
            if (i % 1000 == 0)
                repeated.push_back(r);
        }
    }
    for (std::size_t i = 0; i < kept.size(); i += 2)
        kept[i].reset();
    for (std::size_t i = 1; i < kept.size(); i += 2)
        EXPECT_EQ(kept[i], "value number " + std::to_string(i * 7));
    for (std::size_t i = 0; i < repeated.size(); ++i)
        EXPECT_EQ(repeated[i], "codec 0");
}

TEST(TextArena, CopiesOnManyThreadsKeepTheCountsRight) {
    // Texts of one chunk copied and dropped on several threads at once (the counts are atomic;
    // the sanitizer builds check the rest).
    std::vector<Text> texts;
    {
        TextArena arena(4096);
        for (int i = 0; i < 64; ++i)
            texts.push_back(arena.make("t" + std::to_string(i % 8), true));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&texts] {
            for (int round = 0; round < 2000; ++round) {
                std::vector<Text> copies(texts.begin(), texts.end());
                Text moved = std::move(copies[static_cast<std::size_t>(round) % copies.size()]);
                (void)moved;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(texts[i], "t" + std::to_string(i % 8));
}

TEST(TextArena, DecodedRecordsHoldTextsThatOutliveTheDocument) {
    std::vector<NameIdPair> pairs;
    {
        std::string json = R"([{"Name":"A\u00e9\"","Id":"1"},{"Name":"B","Id":"1"}])";
        auto decoded = JsonDecoder().decode<std::vector<NameIdPair>>(json);
        ASSERT_TRUE(decoded) << decoded.error().description();
        pairs = std::move(*decoded);
        json.assign(json.size(), '#');
    }
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].Name, "A\xc3\xa9\"");
    EXPECT_FALSE(pairs[0].Name.isJsonPlain());
    EXPECT_TRUE(pairs[1].Name.isJsonPlain());
    EXPECT_TRUE(pairs[0].Id.sharesStorageWith(pairs[1].Id));
    EXPECT_EQ(JsonEncoder().encode(pairs),
              "[{\"Name\":\"A\xc3\xa9\\\"\",\"Id\":\"1\"},{\"Name\":\"B\",\"Id\":\"1\"}]");
}

TEST(TextMap, SetReplacesInPlaceAndEqualityIgnoresOrder) {
    TextMap map{{"a", "1"}, {"b", "2"}};
    map.set("a", "3");
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.find("a"), "3");
    EXPECT_EQ(map.entries()[0].first, "a");
    EXPECT_TRUE((map == TextMap{{"b", "2"}, {"a", "3"}}));
    EXPECT_FALSE((map == TextMap{{"b", "2"}, {"a", "4"}}));
    EXPECT_TRUE(map.erase("a"));
    EXPECT_FALSE(map.contains("a"));
    EXPECT_FALSE(map.find("a"));
}

}  // namespace
}  // namespace vk
