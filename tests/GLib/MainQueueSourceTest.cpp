#include "VornKit/GLib/MainQueueSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {
namespace {

using namespace std::chrono_literals;

/// A fresh context for each test, so that no other GLib user of the process interferes.
class MainQueueSourceTest : public ::testing::Test {
  protected:
    void SetUp() override { context_ = g_main_context_new(); }
    void TearDown() override {
        source_.reset();
        // Whatever a failed test left queued must not leak into the next one.
        RunLoop::main().drain();
        g_main_context_unref(context_);
    }

    void attach() {
        std::string error;
        source_ = MainQueueSource::attach(context_, G_PRIORITY_DEFAULT, &error);
        ASSERT_NE(source_, nullptr) << error;
    }

    /// Iterates the context, blocking between events, until `done` holds; false when a guard of
    /// ten seconds ran out first (the only timeout of these tests: it stops a hang, nothing more).
    bool iterateUntil(const std::function<bool()>& done) {
        bool expired = false;
        GSource* guard = g_timeout_source_new(10'000);
        g_source_set_callback(
            guard,
            [](gpointer flag) -> gboolean {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &expired, nullptr);
        g_source_attach(guard, context_);
        while (!done() && !expired)
            g_main_context_iteration(context_, TRUE);
        g_source_destroy(guard);
        g_source_unref(guard);
        return done();
    }

    GMainContext* context_ = nullptr;
    std::unique_ptr<MainQueueSource> source_;
};

TEST_F(MainQueueSourceTest, BlocksFromOtherThreadsRunOnTheLoopThreadInPostingOrder) {
    attach();
    constexpr int kThreads = 4;
    constexpr int kBlocks = 50;
    const auto loopThread = std::this_thread::get_id();
    // Touched only by main-queue blocks, which run on this thread.
    std::vector<std::vector<int>> seen(kThreads);
    int elsewhere = 0;
    int notMain = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                DispatchQueue::main()->async([&, t, i] {
                    if (std::this_thread::get_id() != loopThread)
                        ++elsewhere;
                    if (!DispatchQueue::main()->isCurrent())
                        ++notMain;
                    seen[static_cast<std::size_t>(t)].push_back(i);
                });
            }
        });
    }
    for (auto& poster : posters)
        poster.join();
    ASSERT_TRUE(iterateUntil([&] {
        std::size_t total = 0;
        for (const auto& s : seen)
            total += s.size();
        return total == kThreads * kBlocks;
    }));
    EXPECT_EQ(elsewhere, 0);
    EXPECT_EQ(notMain, 0);
    for (const auto& s : seen) {
        std::vector<int> expected(kBlocks);
        for (int i = 0; i < kBlocks; ++i)
            expected[static_cast<std::size_t>(i)] = i;
        EXPECT_EQ(s, expected);
    }
}

TEST_F(MainQueueSourceTest, AnIdleContextWaitsWithoutATimeoutAndWakesForABlock) {
    attach();
    // The first iteration runs what was queued before (nothing here) and leaves the queue empty.
    g_main_context_iteration(context_, FALSE);

    // Idle: the context would sleep until a descriptor is ready; no timer makes it poll.
    gint priority = 0;
    ASSERT_TRUE(g_main_context_acquire(context_));
    g_main_context_prepare(context_, &priority);
    GPollFD fds[16];
    gint timeout = 0;
    const gint count = g_main_context_query(context_, G_MAXINT, &timeout, fds, 16);
    g_main_context_check(context_, priority, fds, count);
    g_main_context_release(context_);
    EXPECT_EQ(timeout, -1);
    EXPECT_GE(count, 1);

    // A block from another thread wakes the sleeping context.
    std::atomic<bool> ran{false};
    std::thread poster([&] { DispatchQueue::main()->async([&] { ran = true; }); });
    EXPECT_TRUE(iterateUntil([&] { return ran.load(); }));
    poster.join();
}

TEST_F(MainQueueSourceTest, DelayedBlocksRunOnTheLoopInOrderOfTheirDueTimes) {
    attach();
    std::vector<char> order;
    DispatchQueue::main()->asyncAfter(60ms, [&] { order.push_back('c'); });
    DispatchQueue::main()->asyncAfter(20ms, [&] { order.push_back('b'); });
    DispatchQueue::main()->async([&] { order.push_back('a'); });
    ASSERT_TRUE(iterateUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
}

TEST_F(MainQueueSourceTest, ABlockPostedByABlockRunsInALaterDispatch) {
    attach();
    g_main_context_iteration(context_, FALSE);
    std::vector<int> order;
    DispatchQueue::main()->async([&] {
        order.push_back(1);
        DispatchQueue::main()->async([&] { order.push_back(2); });
    });
    ASSERT_TRUE(iterateUntil([&] { return !order.empty(); }));
    // The context's other sources get their turn before the block posted from inside.
    EXPECT_EQ(order, std::vector<int>{1});
    ASSERT_TRUE(iterateUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(MainQueueSourceTest, NothingRunsOnceTheSourceIsDetachedAndTheNextSourcePicksUpTheQueue) {
    attach();
    bool ran = false;
    DispatchQueue::main()->async([&] { ran = true; });
    source_.reset();
    for (int i = 0; i < 5; ++i)
        g_main_context_iteration(context_, FALSE);
    EXPECT_FALSE(ran);

    // The block stayed queued; a new source runs it at its first iteration.
    attach();
    EXPECT_TRUE(iterateUntil([&] { return ran; }));
}

TEST_F(MainQueueSourceTest, OnlyOneSourceServicesTheMainQueueAtATime) {
    attach();
    std::string error;
    GMainContext* other = g_main_context_new();
    EXPECT_EQ(MainQueueSource::attach(other, G_PRIORITY_DEFAULT, &error), nullptr);
    EXPECT_FALSE(error.empty());
    g_main_context_unref(other);
    EXPECT_EQ(source_->context(), context_);
}

TEST_F(MainQueueSourceTest, SyncOntoTheMainQueueFromAWorkerIsServedByTheLoop) {
    attach();
    const auto loopThread = std::this_thread::get_id();
    std::atomic<bool> finished{false};
    bool onLoopThread = false;
    std::thread worker([&] {
        DispatchQueue::main()->sync(
            [&] { onLoopThread = std::this_thread::get_id() == loopThread; });
        // Back from sync(): say so through the main queue, which wakes the loop.
        DispatchQueue::main()->async([&] { finished = true; });
    });
    EXPECT_TRUE(iterateUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_TRUE(onLoopThread);
}

TEST_F(MainQueueSourceTest, AMainLoopOnAnotherThreadRunsTheBlocksThereUntilOneQuitsIt) {
    GMainLoop* loop = g_main_loop_new(context_, FALSE);
    std::atomic<int> attached{0};  // 1: attached, -1: attach failed
    std::thread::id loopThread;
    std::vector<std::thread::id> ranOn;  // written by blocks on the loop thread; read after join
    std::thread runner([&] {
        g_main_context_push_thread_default(context_);
        loopThread = std::this_thread::get_id();
        std::string error;
        auto source = MainQueueSource::attach(context_, G_PRIORITY_DEFAULT, &error);
        attached = source ? 1 : -1;
        if (source)
            g_main_loop_run(loop);
        source.reset();
        g_main_context_pop_thread_default(context_);
    });
    while (attached == 0)
        std::this_thread::yield();  // attach() returns at once either way
    if (attached < 0) {
        runner.join();
        g_main_loop_unref(loop);
        FAIL() << "attach failed";
    }
    for (int i = 0; i < 3; ++i)
        DispatchQueue::main()->async([&] { ranOn.push_back(std::this_thread::get_id()); });
    DispatchQueue::main()->asyncAfter(10ms, [&] {
        ranOn.push_back(std::this_thread::get_id());
        g_main_loop_quit(loop);
    });
    runner.join();
    g_main_loop_unref(loop);
    ASSERT_EQ(ranOn.size(), 4u);
    for (const auto& id : ranOn)
        EXPECT_EQ(id, loopThread);
}

}  // namespace
}  // namespace vk
