#include "VornKit/Api/ImageCache.h"

#include <atomic>
#include <thread>
#include <vector>

#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Platform/Runtime/ProcessInfo.h"
#include "gtest/gtest.h"

using vk::Image;
using vk::ImageCache;

namespace {

ImageCache::ImagePtr picture(std::uint32_t colour = 0x102030FF) {
    return std::make_shared<const Image>(Image::filled(2, 2, colour));
}

void postLowMemoryWarning() {
    vk::NotificationCenter::defaultCenter().post(std::string(vk::Notifications::kLowMemoryWarning));
}

TEST(ImageCache, TheSharedCacheHoldsThirtyWithinATenthOfMemory) {
    ImageCache& shared = ImageCache::defaultCache();
    EXPECT_EQ(&shared, &ImageCache::defaultCache());
    EXPECT_EQ(shared.countLimit(), 30u);
    EXPECT_GT(vk::ProcessInfo::physicalMemory(), 0u);
    EXPECT_EQ(shared.totalCostLimit(), vk::ProcessInfo::physicalMemory() / 10);
    for (int i = 0; i < 40; ++i)
        shared.setObject("k" + std::to_string(i), picture());
    EXPECT_EQ(shared.count(), 30u);
    EXPECT_FALSE(shared.object("k9"));
    EXPECT_TRUE(shared.object("k10"));
    shared.removeAll();
}

TEST(ImageCache, ReadsAndWritesKeepTheImageObject) {
    ImageCache cache;
    auto image = picture();
    cache.setObject("a", image);
    EXPECT_EQ(cache.object("a"), image);
    EXPECT_FALSE(cache.object("b"));
    auto replacement = picture(0xFFFFFFFF);
    cache.setObject("a", replacement);
    EXPECT_EQ(cache.object("a"), replacement);
    EXPECT_EQ(cache.count(), 1u);
}

TEST(ImageCache, StoringNoImageRemovesTheKey) {
    ImageCache cache;
    cache.setObject("a", picture());
    cache.setObject("b", picture());
    cache.setObject("a", nullptr);
    EXPECT_FALSE(cache.object("a"));
    EXPECT_TRUE(cache.object("b"));
    EXPECT_EQ(cache.count(), 1u);
    cache.setObject("never", nullptr);
    EXPECT_EQ(cache.count(), 1u);
}

TEST(ImageCache, OverTheCountTheLeastRecentlyUsedGoesFirst) {
    ImageCache cache;
    cache.setCountLimit(3);
    cache.setObject("a", picture());
    cache.setObject("b", picture());
    cache.setObject("c", picture());
    ASSERT_TRUE(cache.object("a"));  // a is now more recent than b
    cache.setObject("d", picture());
    EXPECT_EQ(cache.count(), 3u);
    EXPECT_FALSE(cache.object("b"));
    EXPECT_TRUE(cache.object("a"));
    EXPECT_TRUE(cache.object("c"));
    EXPECT_TRUE(cache.object("d"));
    cache.setCountLimit(1);
    EXPECT_EQ(cache.count(), 1u);
    EXPECT_TRUE(cache.object("d")) << "the most recently used stays";
}

TEST(ImageCache, OverTheCostTheLeastRecentlyUsedGoesFirst) {
    ImageCache cache;
    cache.setTotalCostLimit(100);
    cache.setObject("a", picture(), 40);
    cache.setObject("b", picture(), 40);
    ASSERT_TRUE(cache.object("a"));
    cache.setObject("c", picture(), 40);
    EXPECT_FALSE(cache.object("b"));
    EXPECT_TRUE(cache.object("a"));
    EXPECT_EQ(cache.totalCost(), 80u);
    cache.setObject("a", picture(), 10);  // replacing recharges
    EXPECT_EQ(cache.totalCost(), 50u);
    cache.setObject("huge", picture(), 500);
    EXPECT_FALSE(cache.object("huge")) << "an entry above the whole limit is not kept";
    EXPECT_EQ(cache.count(), 0u) << "making room for it evicted everything before it";
    EXPECT_EQ(cache.totalCost(), 0u);
}

TEST(ImageCache, WritesWithoutACostAreBoundOnlyByTheCount) {
    ImageCache cache;
    cache.setTotalCostLimit(1);
    for (int i = 0; i < 10; ++i)
        cache.setObject(std::to_string(i), picture());
    EXPECT_EQ(cache.count(), 10u);
}

TEST(ImageCache, TheLowMemoryWarningEmptiesEveryCache) {
    ImageCache cache;
    cache.setObject("a", picture(), 5);
    ImageCache::defaultCache().setObject("shared", picture());
    postLowMemoryWarning();
    EXPECT_EQ(cache.count(), 0u);
    EXPECT_EQ(cache.totalCost(), 0u);
    EXPECT_FALSE(ImageCache::defaultCache().object("shared"));
    cache.setObject("b", picture());
    EXPECT_TRUE(cache.object("b")) << "the cache works on after a warning";
}

TEST(ImageCache, ADestroyedCacheStopsObservingTheWarning) {
    {
        ImageCache gone;
        gone.setObject("a", picture());
    }
    ImageCache live;
    live.setObject("a", picture());
    postLowMemoryWarning();  // reaches only the live cache (a sanitizer build catches the rest)
    EXPECT_EQ(live.count(), 0u);
}

TEST(ImageCache, SeveralThreadsAtOnceKeepTheLimits) {
    ImageCache cache;
    cache.setCountLimit(8);
    std::vector<std::thread> threads;
    std::atomic<int> hits{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                std::string key = std::to_string((i * 7 + t) % 20);
                if (i % 3 == 0)
                    cache.setObject(key, picture(), 1);
                else if (cache.object(key))
                    ++hits;
                if (i % 97 == 0)
                    postLowMemoryWarning();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_LE(cache.count(), 8u);
    EXPECT_EQ(cache.totalCost(), cache.count());
    EXPECT_GT(hits.load(), 0);
}

}  // namespace
