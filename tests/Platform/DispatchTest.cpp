#include "VornKit/Platform/Dispatch.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using namespace std::chrono_literals;
using vk::DispatchQueue;
using vk::RunLoop;

namespace {

TEST(SerialQueue, RunsBlocksInPostingOrderWithoutOverlap) {
    auto queue = DispatchQueue::makeSerial("order");
    std::vector<int> seen;  // touched only from the queue: TSan proves the queue serialises
    std::atomic<int> inFlight{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> done{0};
    constexpr int kCount = 2000;
    for (int i = 0; i < kCount; ++i) {
        queue->async([&, i] {
            if (inFlight.fetch_add(1) != 0) {
                overlapped = true;
            }
            seen.push_back(i);
            inFlight.fetch_sub(1);
            done.fetch_add(1);
        });
    }
    queue->sync([] {});
    ASSERT_EQ(done.load(), kCount);
    EXPECT_FALSE(overlapped.load());
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(seen[i], i);
    }
}

TEST(SerialQueue, AsyncFromInsideABlockRunsAfterThatBlockReturns) {
    auto queue = DispatchQueue::makeSerial("nested");
    std::vector<std::string> events;
    queue->sync([&] {
        queue->async([&] { events.push_back("inner"); });
        events.push_back("outer-end");
    });
    queue->sync([] {});
    EXPECT_EQ(events, (std::vector<std::string>{"outer-end", "inner"}));
}

TEST(SerialQueue, DelayedBlocksRunInDueOrderAndNotEarly) {
    auto queue = DispatchQueue::makeSerial("delays");
    std::vector<int> order;
    std::mutex mutex;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::chrono::steady_clock::duration> ranAt(3);
    auto record = [&](int id) {
        std::lock_guard lock(mutex);
        ranAt[id] = std::chrono::steady_clock::now() - start;
        order.push_back(id);
    };
    queue->asyncAfter(60ms, [&] { record(2); });
    queue->asyncAfter(20ms, [&] { record(0); });
    queue->asyncAfter(40ms, [&] { record(1); });
    ASSERT_TRUE(vk::test::pumpMainQueueUntil(
        [&] {
            std::lock_guard lock(mutex);
            return order.size() == 3;
        },
        5s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_GE(ranAt[0], 20ms);
    EXPECT_GE(ranAt[1], 40ms);
    EXPECT_GE(ranAt[2], 60ms);
}

TEST(SerialQueue, SyncFromManyThreadsSerialisesPlainState) {
    auto queue = DispatchQueue::makeSerial("counter");
    long counter = 0;  // deliberately unguarded: only touched inside sync blocks
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                queue->sync([&] { ++counter; });
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    long result = 0;
    queue->sync([&] { result = counter; });
    EXPECT_EQ(result, 2000);
}

TEST(SerialQueue, SyncOnItselfRunsInlineAndKnowsItIsCurrent) {
    auto queue = DispatchQueue::makeSerial("self");
    auto other = DispatchQueue::makeSerial("other");
    bool inner = false;
    bool current = false;
    bool otherCurrent = true;
    std::shared_ptr<DispatchQueue> reported;
    queue->sync([&] {
        queue->sync([&] { inner = true; });  // would deadlock if not inline
        current = queue->isCurrent();
        otherCurrent = other->isCurrent();
        reported = DispatchQueue::current();
    });
    EXPECT_TRUE(inner);
    EXPECT_TRUE(current);
    EXPECT_FALSE(otherCurrent);
    EXPECT_EQ(reported, queue);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(GlobalQueue, RunsBlocksConcurrently) {
    // Two blocks that each wait for the other can only finish if they run at the same time.
    std::atomic<int> arrived{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i) {
        DispatchQueue::global()->async([&] {
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            finished.fetch_add(arrived.load() == 2 ? 1 : 0);
        });
    }
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return finished.load() == 2; }, 10s));
}

TEST(MainQueue, RunsOnlyWhileServicedAndOnTheServicingThread) {
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    std::thread poster([&] {
        DispatchQueue::main()->async([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
    });
    poster.join();
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran.load()) << "nobody serviced the main queue yet";
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return ran.load(); }, 5s));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(MainQueue, SyncFromAnotherThreadWaitsForTheLoop) {
    std::atomic<bool> returned{false};
    bool onMain = false;
    std::thread worker([&] {
        DispatchQueue::main()->sync([&] { onMain = DispatchQueue::main()->isCurrent(); });
        returned = true;
    });
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return returned.load(); }, 5s));
    worker.join();
    EXPECT_TRUE(onMain);
}

TEST(RunLoop, RunReturnsAfterStop) {
    int ticks = 0;
    DispatchQueue::main()->async([&] { ++ticks; });
    DispatchQueue::main()->asyncAfter(10ms, [&] {
        ++ticks;
        RunLoop::main().stop();
    });
    RunLoop::main().run();
    EXPECT_EQ(ticks, 2);
    // The loop can be serviced again afterwards.
    bool again = false;
    DispatchQueue::main()->async([&] { again = true; });
    EXPECT_TRUE(vk::test::pumpMainQueueUntil([&] { return again; }, 2s));
}

TEST(RepeatingTimer, FiresRepeatedlyUntilInvalidatedFromItsOwnBlock) {
    int fired = 0;
    std::shared_ptr<vk::RepeatingTimer> timer;
    timer = vk::RepeatingTimer::schedule(DispatchQueue::main(), 5ms, [&] {
        if (++fired == 3) {
            timer->invalidate();
        }
    });
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return fired >= 3; }, 5s));
    vk::test::pumpMainQueueUntil([] { return false; }, 40ms);
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(timer->isValid());
}

TEST(RepeatingTimer, StopsWhenItsLastOwnerLetsGo) {
    std::atomic<int> fired{0};
    auto queue = DispatchQueue::makeSerial("timer");
    auto timer = vk::RepeatingTimer::schedule(queue, 2ms, [&] { fired.fetch_add(1); });
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return fired.load() >= 2; }, 5s));
    timer.reset();
    queue->sync([] {});
    const int afterRelease = fired.load();
    std::this_thread::sleep_for(30ms);
    queue->sync([] {});
    EXPECT_LE(fired.load(), afterRelease + 1);  // at most a tick that was already due
}

}  // namespace
