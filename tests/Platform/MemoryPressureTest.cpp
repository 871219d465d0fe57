#include "VornKit/Platform/Runtime/MemoryPressure.h"

#include <atomic>
#include <filesystem>
#include <thread>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using namespace std::chrono_literals;
using vk::DispatchQueue;
using vk::ManualMemoryPressureSource;
using vk::MemoryPressureMonitor;
using vk::Notification;
using vk::NotificationCenter;
using vk::PsiMemoryPressureSource;

namespace {

class MemoryPressureMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        center_.addObserver(std::string(vk::Notifications::kLowMemoryWarning), nullptr, nullptr,
                            [this](const Notification&) {
                                onMain_ = DispatchQueue::main()->isCurrent();
                                ++warnings_;
                            });
    }

    NotificationCenter center_;
    std::atomic<int> warnings_{0};
    std::atomic<bool> onMain_{false};
};

TEST_F(MemoryPressureMonitorTest, PostsTheLowMemoryWarningFromTheMainQueue) {
    auto source = std::make_shared<ManualMemoryPressureSource>();
    MemoryPressureMonitor monitor(source, center_);
    ASSERT_TRUE(monitor.start());
    EXPECT_TRUE(monitor.isRunning());
    std::thread([&] { EXPECT_TRUE(source->fire()); }).join();
    EXPECT_EQ(warnings_.load(), 0) << "posted from the queue, not from the source's thread";
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return warnings_ == 1; }, 5s));
    EXPECT_TRUE(onMain_.load());
}

TEST_F(MemoryPressureMonitorTest, EventsWhileAPostIsQueuedFoldIntoIt) {
    auto source = std::make_shared<ManualMemoryPressureSource>();
    MemoryPressureMonitor monitor(source, center_);
    ASSERT_TRUE(monitor.start());
    for (int i = 0; i < 5; ++i)
        source->fire();
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return warnings_ > 0; }, 5s));
    vk::RunLoop::main().drain();
    EXPECT_EQ(warnings_.load(), 1);
    source->fire();
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return warnings_ == 2; }, 5s));
}

TEST_F(MemoryPressureMonitorTest, NothingIsPostedWithoutEventsOrAfterStop) {
    auto unavailable = std::make_shared<ManualMemoryPressureSource>(false);
    MemoryPressureMonitor without(unavailable, center_);
    EXPECT_FALSE(without.start());
    EXPECT_FALSE(without.isRunning());
    EXPECT_FALSE(unavailable->fire());

    auto source = std::make_shared<ManualMemoryPressureSource>();
    MemoryPressureMonitor monitor(source, center_);
    ASSERT_TRUE(monitor.start());
    EXPECT_TRUE(monitor.start()) << "starting twice is harmless";
    monitor.stop();
    EXPECT_FALSE(monitor.isRunning());
    EXPECT_FALSE(source->isStarted());
    EXPECT_FALSE(source->fire());
    vk::RunLoop::main().drain();
    EXPECT_EQ(warnings_.load(), 0);
}

TEST_F(MemoryPressureMonitorTest, TheMonitorStopsItsSourceWhenDestroyed) {
    auto source = std::make_shared<ManualMemoryPressureSource>();
    {
        MemoryPressureMonitor monitor(source, center_);
        ASSERT_TRUE(monitor.start());
        EXPECT_TRUE(source->isStarted());
    }
    EXPECT_FALSE(source->isStarted());
}

TEST(ManualMemoryPressureSource, StopWaitsForAHandlerRunningOnAnotherThread) {
    ManualMemoryPressureSource source;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    ASSERT_TRUE(source.start([&] {
        entered = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
        finished = true;
    }));
    std::thread firing([&] { source.fire(); });
    while (!entered)
        std::this_thread::sleep_for(1ms);
    std::thread releasing([&] {
        std::this_thread::sleep_for(50ms);
        release = true;
    });
    source.stop();
    EXPECT_TRUE(finished.load()) << "stop() returned while the handler still ran";
    firing.join();
    releasing.join();
}

TEST(PsiMemoryPressureSource, WithoutPressureInformationStartFails) {
    PsiMemoryPressureSource::Options options;
    options.path = vk::test::makeTempDir("psi") / "missing" / "memory";
    PsiMemoryPressureSource source(options);
    EXPECT_FALSE(source.start([] {}));
    source.stop();
}

TEST(PsiMemoryPressureSource, AKernelTriggerIsAcceptedAndReleased) {
    if (!std::filesystem::exists("/proc/pressure/memory"))
        GTEST_SKIP() << "this kernel reports no memory pressure";
    PsiMemoryPressureSource source;
    if (!source.start([] {}))
        GTEST_SKIP() << "triggers are refused here (container without the right)";
    EXPECT_FALSE(source.start([] {})) << "one trigger per source";
    source.stop();
    EXPECT_TRUE(source.start([] {})) << "a stopped source can start again";
    source.stop();
    source.stop();
}

TEST(PsiMemoryPressureSource, AnInvalidTriggerIsRefused) {
    if (!std::filesystem::exists("/proc/pressure/memory"))
        GTEST_SKIP() << "this kernel reports no memory pressure";
    PsiMemoryPressureSource::Options options;
    options.window = 20s;  // beyond the kernel's 10-second limit
    PsiMemoryPressureSource source(options);
    EXPECT_FALSE(source.start([] {}));
}

}  // namespace
