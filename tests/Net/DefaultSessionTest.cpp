#include "VornKit/Net/DefaultSession.h"

#include <thread>
#include <vector>

#include "VornKit/Net/DefaultURLSessionDelegate.h"
#include "gtest/gtest.h"

namespace {

TEST(DefaultSession, IsCreatedOnceWhicheverThreadAsksFirst) {
    std::vector<std::shared_ptr<vk::UrlSession>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = vk::defaultSession(); });
    }
    for (auto& thread : threads)
        thread.join();
    for (const auto& session : seen)
        EXPECT_EQ(session, seen.front());
    EXPECT_NE(std::dynamic_pointer_cast<vk::DefaultURLSessionDelegate>(seen.front()->delegate()),
              nullptr);
    EXPECT_FALSE(seen.front()->isInvalidated());
}

}  // namespace
