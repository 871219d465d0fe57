#include "Support/TestSupport.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "gtest/gtest.h"

namespace vk::test {

namespace {
std::filesystem::path makeRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vornkit-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) {
        std::abort();
    }
    return std::filesystem::path(made);
}
}  // namespace

const std::filesystem::path& testRoot() {
    static const std::filesystem::path root = makeRoot();
    return root;
}

std::filesystem::path makeTempDir(const std::string& prefix) {
    static std::atomic<int> counter{0};
    auto dir = testRoot() / "scratch" / (prefix + "-" + std::to_string(counter.fetch_add(1)));
    std::filesystem::create_directories(dir);
    return dir;
}

bool pumpMainQueueUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    return RunLoop::main().runUntil(predicate, timeout);
}

ScopedLogCapture::ScopedLogCapture() : sink_(std::make_shared<CaptureLogSink>()) {
    previous_ = Log::setSink(sink_);
}

ScopedLogCapture::~ScopedLogCapture() {
    Log::setSink(previous_);
}

}  // namespace vk::test
