#include "VornKit/Platform/Runtime/NotificationCenter.h"

#include <atomic>
#include <thread>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using namespace std::chrono_literals;
using vk::DispatchQueue;
using vk::Notification;
using vk::NotificationCenter;

namespace {

TEST(NotificationCenter, DeliversInlineOnThePostingThreadWithPayload) {
    NotificationCenter center;
    std::thread::id deliveredOn;
    int payload = 0;
    center.addObserver("changed", nullptr, nullptr, [&](const Notification& n) {
        deliveredOn = std::this_thread::get_id();
        payload = std::any_cast<int>(n.object);
    });
    std::thread poster([&] { center.post("changed", nullptr, 42); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
    EXPECT_EQ(payload, 42);
}

TEST(NotificationCenter, DeliversOnTheObserversQueue) {
    NotificationCenter center;
    std::atomic<bool> onMain{false};
    std::atomic<bool> delivered{false};
    center.addObserver("changed", nullptr, DispatchQueue::main(), [&](const Notification&) {
        onMain = DispatchQueue::main()->isCurrent();
        delivered = true;
    });
    std::thread([&] { center.post("changed"); }).join();
    EXPECT_FALSE(delivered.load()) << "queued deliveries never run inline";
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return delivered.load(); }, 5s));
    EXPECT_TRUE(onMain.load());
}

TEST(NotificationCenter, FiltersByNameAndSender) {
    NotificationCenter center;
    int a = 0, b = 0;
    int all = 0, fromA = 0, any = 0;
    center.addObserver("n", nullptr, nullptr, [&](const Notification&) { ++all; });
    center.addObserver("n", &a, nullptr, [&](const Notification&) { ++fromA; });
    center.addObserver("", nullptr, nullptr, [&](const Notification&) { ++any; });
    center.post("n", &a);
    center.post("n", &b);
    center.post("other", &a);
    EXPECT_EQ(all, 2);
    EXPECT_EQ(fromA, 1);
    EXPECT_EQ(any, 3);
}

TEST(NotificationCenter, ObserverRemovedDuringDeliveryIsNotCalled) {
    NotificationCenter center;
    int first = 0, second = 0;
    vk::ObserverToken secondToken = 0;
    vk::ObserverToken firstToken = 0;
    firstToken = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
        ++first;
        center.removeObserver(secondToken);
        center.removeObserver(firstToken);  // removing itself while running is fine too
    });
    secondToken = center.addObserver("n", nullptr, nullptr, [&](const Notification&) { ++second; });
    center.post("n");
    center.post("n");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, QueuedDeliveryIsDroppedWhenRemovedBeforeItRuns) {
    NotificationCenter center;
    int calls = 0;
    auto token = center.addObserver("n", nullptr, DispatchQueue::main(),
                                    [&](const Notification&) { ++calls; });
    center.post("n");
    center.removeObserver(token);
    vk::test::pumpMainQueueUntil([] { return false; }, 30ms);
    EXPECT_EQ(calls, 0);
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsAreSafe) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto token = center.addObserver("n" + std::to_string(t % 2), nullptr, nullptr,
                                                [&](const Notification&) { calls.fetch_add(1); });
                center.post("n" + std::to_string((t + 1) % 2));
                center.removeObserver(token);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    // Every post saw at least nothing and at most every observer alive at the time: no crash, and
    // the centre is empty again.
    calls = 0;
    center.post("n0");
    center.post("n1");
    EXPECT_EQ(calls.load(), 0);
}

// An object that observes with a block capturing `this` and removes its observer in its
// destructor: once removeObserver() has returned, its block must have finished and must not start
// again, whether deliveries run inline on a posting thread or on the observer's queue.
TEST(NotificationCenter, RemovalFromAnotherThreadWaitsForADeliveryInProgress) {
    for (bool queued : {false, true}) {
        NotificationCenter center;
        std::atomic<bool> entered{false};
        std::atomic<bool> release{false};
        std::atomic<bool> finished{false};
        std::atomic<int> runsAfterRemoval{0};
        std::atomic<bool> removed{false};
        auto queue = queued ? DispatchQueue::makeSerial("observer") : nullptr;
        auto token = center.addObserver("n", nullptr, queue, [&](const Notification&) {
            if (removed.load())
                runsAfterRemoval.fetch_add(1);
            entered = true;
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (!release.load() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            finished = true;
        });
        std::thread poster([&] { center.post("n"); });
        while (!entered.load()) {
            std::this_thread::sleep_for(1ms);
        }
        std::thread second([&] { center.post("n"); });  // queued, or inline beside the first
        std::atomic<bool> finishedWhenRemoved{false};
        std::thread remover([&] {
            center.removeObserver(token);
            removed = true;
            finishedWhenRemoved = finished.load();
        });
        // Let the delivery go once the removal has had time to return (it must not) or after it
        // returned.
        const auto deadline = std::chrono::steady_clock::now() + 200ms;
        while (!removed.load() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        release = true;
        remover.join();
        poster.join();
        second.join();
        if (queue)
            queue->sync([] {});
        EXPECT_TRUE(finishedWhenRemoved.load()) << (queued ? "queued" : "inline");
        EXPECT_EQ(runsAfterRemoval.load(), 0) << (queued ? "queued" : "inline");
    }
}

}  // namespace
