#include "VornKit/Platform/Runtime/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
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

// More pool blocks blocked in sync() than the pool has threads: each block waits until every
// other has started (or a moment has passed, so that every pool thread is taken), then syncs onto
// a queue of its own. Progress needs sync() to run the block without a free pool thread.
TEST(SerialQueue, SyncFromMorePoolBlocksThanPoolThreadsMakesProgress) {
    constexpr int kCallers = 16;
    std::vector<std::shared_ptr<DispatchQueue>> callers, targets;
    for (int i = 0; i < kCallers; ++i) {
        callers.push_back(DispatchQueue::makeSerial("caller"));
        targets.push_back(DispatchQueue::makeSerial("target"));
    }
    std::atomic<int> arrived{0};
    std::atomic<int> done{0};
    for (int i = 0; i < kCallers; ++i) {
        callers[i]->async([&, i] {
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 300ms;
            while (arrived.load() < kCallers && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            // A block already waiting on the target must run before the sync block.
            targets[i]->async([] { std::this_thread::sleep_for(1ms); });
            targets[i]->sync([&] { done.fetch_add(1); });
        });
    }
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return done.load() == kCallers; }, 20s))
        << done.load() << " of " << kCallers << " sync() calls returned";
}

TEST(SerialQueue, SyncOntoAnIdleQueueRunsOnTheCallingThreadAndNestedSyncsDoNotDeadlock) {
    auto a = DispatchQueue::makeSerial("a");
    auto b = DispatchQueue::makeSerial("b");
    std::thread::id ranOn;
    bool innerRan = false;
    bool bWasCurrent = false;
    a->sync([&] {
        ranOn = std::this_thread::get_id();
        b->sync([&] {
            bWasCurrent = b->isCurrent();
            a->sync([&] { innerRan = true; });  // `a` is held by this very thread
        });
    });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(bWasCurrent);
    EXPECT_TRUE(innerRan);
}

// Blocks posted one after another with the same delay are due in posting order, many of them
// within the same millisecond; they must run in that order on every kind of serial queue.
TEST(DelayedBlocks, RunInDueOrderWithTiesInPostingOrderOnEveryQueue) {
    constexpr int kCount = 400;
    auto check = [](const std::shared_ptr<DispatchQueue>& queue) {
        std::mutex mutex;
        std::vector<int> order;
        std::atomic<int> done{0};
        for (int i = 0; i < kCount; ++i) {
            queue->asyncAfter(20ms, [&, i] {
                std::lock_guard lock(mutex);
                order.push_back(i);
                done.fetch_add(1);
            });
        }
        if (!vk::test::pumpMainQueueUntil([&] { return done.load() == kCount; }, 10s)) {
            return std::string("not every delayed block ran on ") + queue->label();
        }
        std::lock_guard lock(mutex);
        for (int i = 0; i < kCount; ++i) {
            if (order[i] != i) {
                return "on " + queue->label() + " position " + std::to_string(i) + " ran block " +
                       std::to_string(order[i]);
            }
        }
        return std::string();
    };
    EXPECT_EQ(check(DispatchQueue::makeSerial("delayed")), "");
    EXPECT_EQ(check(DispatchQueue::main()), "");
}

TEST(DelayedBlocks, AnEarlierDueTimeWinsOverPostingOrder) {
    auto queue = DispatchQueue::makeSerial("due");
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> done{0};
    auto record = [&](int id) {
        return [&, id] {
            std::lock_guard lock(mutex);
            order.push_back(id);
            done.fetch_add(1);
        };
    };
    queue->asyncAfter(30ms, record(3));
    queue->asyncAfter(10ms, record(1));
    queue->asyncAfter(20ms, record(2));
    queue->asyncAfter(10ms, record(11));  // same delay as 1, posted after it
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return done.load() == 4; }, 5s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{1, 11, 2, 3}));
}

TEST(QueueBoundary, ExceptionsOfAnyTypeAreLoggedAndTheQueueGoesOn) {
    vk::test::ScopedLogCapture capture;
    auto queue = DispatchQueue::makeSerial("throwing");
    std::atomic<int> after{0};
    queue->async([] { throw std::runtime_error("first failure"); });
    queue->async([] { throw 42; });
    queue->async([&] { after.fetch_add(1); });
    queue->sync([] { throw std::logic_error("thrown inside sync"); });
    DispatchQueue::main()->async([] { throw std::string("main"); });
    DispatchQueue::global()->async([] { throw std::out_of_range("global failure"); });
    ASSERT_TRUE(vk::test::pumpMainQueueUntil(
        [&] { return after.load() == 1 && capture->messages("DispatchQueue").size() == 5; }, 5s))
        << capture->messages("DispatchQueue").size();
    auto lines = capture->messages("DispatchQueue");
    auto has = [&](const std::string& part) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("throwing: first failure"));
    EXPECT_TRUE(has("throwing: thrown inside sync"));
    EXPECT_TRUE(has("global: global failure"));
    EXPECT_TRUE(has("main: an exception that is not a std::exception"));
    EXPECT_TRUE(has("throwing: an exception that is not a std::exception"));
}

TEST(RunLoop, DrainRunsOnlyWhatWasDueWhenItStarted) {
    int runs = 0;
    std::function<void()> again = [&] {
        // Each run posts the next one; a drain that kept going would run all of them.
        if (++runs < 1000) {
            DispatchQueue::main()->async(again);
        }
    };
    auto delayedRan = std::make_shared<std::atomic<bool>>(false);
    DispatchQueue::main()->asyncAfter(10s, [delayedRan] { *delayedRan = true; });
    DispatchQueue::main()->async(again);
    RunLoop::main().drain();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(delayedRan->load());
    RunLoop::main().drain();
    EXPECT_EQ(runs, 2);
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return runs == 1000; }, 5s));
}

// A thread with a catching DeferredDispatch keeps the job of an idle serial queue: the queue's
// turn stays taken (a block another thread posts meanwhile waits behind the kept one), run()
// performs both in order on the catching thread with the queue current, and what those blocks
// post goes to the pool as usual. The main queue is never kept.
TEST(DeferredDispatch, RunsTheKeptJobOnTheCatchingThreadInPostingOrder) {
    auto queue = DispatchQueue::makeSerial("deferred");
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::atomic<bool> nestedRan{false};
    std::atomic<bool> mainRan{false};
    std::atomic<bool> otherPosted{false};
    std::thread catcher([&] {
        vk::DeferredDispatch deferred;
        deferred.setCatching(true);
        queue->async([&] {
            std::lock_guard lock(mutex);
            order.push_back(1);
            threads.push_back(std::this_thread::get_id());
            EXPECT_TRUE(queue->isCurrent());
            // Posted from inside a block run by run(): not kept, the pool runs it.
            queue->async([&] { nestedRan = true; });
        });
        DispatchQueue::main()->async([&] { mainRan = true; });
        EXPECT_FALSE(deferred.empty());
        std::thread other([&] {
            queue->async([&] {
                std::lock_guard lock(mutex);
                order.push_back(2);
                threads.push_back(std::this_thread::get_id());
            });
            otherPosted = true;
        });
        other.join();
        // The kept job holds the queue: the other thread's block cannot have run.
        {
            std::lock_guard lock(mutex);
            EXPECT_TRUE(order.empty());
        }
        deferred.run();
        EXPECT_TRUE(deferred.empty());
        std::lock_guard lock(mutex);
        EXPECT_EQ(order, (std::vector<int>{1, 2}));
        ASSERT_EQ(threads.size(), 2u);
        EXPECT_EQ(threads[0], std::this_thread::get_id());
        EXPECT_EQ(threads[1], std::this_thread::get_id());
    });
    catcher.join();
    EXPECT_TRUE(otherPosted.load());
    queue->sync([] {});
    EXPECT_TRUE(nestedRan.load());
    EXPECT_TRUE(vk::test::pumpMainQueueUntil([&] { return mainRan.load(); }));
}

// Released or left behind, kept jobs reach the pool; with catching off nothing is kept.
TEST(DeferredDispatch, ReleasedAndAbandonedJobsRunOnThePool) {
    auto released = DispatchQueue::makeSerial("released");
    auto abandoned = DispatchQueue::makeSerial("abandoned");
    auto plain = DispatchQueue::makeSerial("plain");
    std::atomic<int> ran{0};
    std::thread::id catcherId;
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    auto record = [&] {
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
        ran.fetch_add(1);
    };
    std::thread catcher([&] {
        catcherId = std::this_thread::get_id();
        vk::DeferredDispatch deferred;
        plain->async(record);
        deferred.setCatching(true);
        released->async(record);
        deferred.release();
        EXPECT_TRUE(deferred.empty());
        abandoned->async(record);
        EXPECT_FALSE(deferred.empty());
    });
    catcher.join();
    for (const auto& queue : {released, abandoned, plain})
        queue->sync([] {});
    EXPECT_EQ(ran.load(), 3);
    std::lock_guard lock(mutex);
    for (const auto& id : threads)
        EXPECT_NE(id, catcherId);
}

// The pool's size, each case in a fresh process (this one's pool already runs): the count a host
// sets before the first block is the number of workers that start, and it is fixed from then on;
// without a setting the pool stays small on any machine.
TEST(WorkerPool, StartsTheWorkersTheHostSetOrAFewAndKeepsThatCount) {
    auto run = [](const std::string& argument) {
        std::string out;
        if (FILE* pipe = ::popen((std::string(VK_POOL_HELPER) + " " + argument).c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
                out += buffer;
            EXPECT_EQ(::pclose(pipe), 0) << out;
        }
        return out;
    };
    EXPECT_EQ(run("3"), "count=3 workers=3 late=false\n");
    EXPECT_EQ(run("1"), "count=2 workers=2 late=false\n");  // the global queue needs two

    unsigned count = 0;
    int workers = 0;
    const std::string fallback = run("");
    ASSERT_EQ(std::sscanf(fallback.c_str(), "count=%u workers=%d late=false", &count, &workers), 2)
        << fallback;
    EXPECT_GE(count, 2u);
    EXPECT_LE(count, 4u);
    EXPECT_EQ(workers, static_cast<int>(count));
}

}  // namespace
