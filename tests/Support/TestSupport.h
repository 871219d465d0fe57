// Helpers shared by all test executables.
//
// Every test executable gets main() from TestMain.cpp: it installs an Environment rooted in a fresh
// temporary directory and a bundle with the identifier "app.vorn.tests", so no test touches the
// real home directory.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "VornKit/Platform/Runtime/Log.h"

namespace vk::test {

/// The temporary root the process-wide test Environment lives under.
const std::filesystem::path& testRoot();

/// A fresh empty directory under the test root, unique per call.
std::filesystem::path makeTempDir(const std::string& prefix = "t");

/// Services the main queue on this thread until `predicate` holds or `timeout` passes.
bool pumpMainQueueUntil(const std::function<bool()>& predicate,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// Installs a CaptureLogSink for the lifetime of the object and restores the previous sink after.
class ScopedLogCapture {
  public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    CaptureLogSink& sink() { return *sink_; }
    CaptureLogSink* operator->() { return sink_.get(); }

  private:
    std::shared_ptr<CaptureLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

}  // namespace vk::test
