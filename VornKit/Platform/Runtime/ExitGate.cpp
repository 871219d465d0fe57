#include "VornKit/Platform/Runtime/ExitGate.h"

#include <simdjson.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace vk {

namespace {

// Both sides write their own flag first and then read the other's (sequentially consistent), so
// a block either is counted before the exit waits or sees the gate closed.
std::atomic<bool> gClosed{false};
std::atomic<int> gRunning{0};
std::atomic<std::thread::id> gExiting{};

void closeAtExit() {
    gExiting = std::this_thread::get_id();
    gClosed = true;
    const auto deadline = std::chrono::steady_clock::now() + ExitGate::kDrainWait;
    while (gRunning.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The exit handler is registered with the first use, which comes before any framework thread
// runs a block. Exit handlers run in the reverse order of their registration, so static data that
// libraries build lazily on first use must exist before the handler is registered, or it would be
// destroyed before the gate closes: the JSON parser chooses and builds its implementation now.
void registerOnce() {
    static const bool registered = [] {
        simdjson::dom::parser parser;
        (void)parser.parse(simdjson::padded_string(std::string_view("[0]")));
        (void)simdjson::get_active_implementation()->name();
        return std::atexit(closeAtExit) == 0;
    }();
    (void)registered;
}

}  // namespace

bool ExitGate::enter() {
    registerOnce();
    gRunning.fetch_add(1);
    if (gClosed.load() && gExiting.load() != std::this_thread::get_id()) {
        gRunning.fetch_sub(1);
        return false;
    }
    return true;
}

void ExitGate::leave() {
    gRunning.fetch_sub(1);
}

void ExitGate::park() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

bool ExitGate::closed() {
    return gClosed.load();
}

}  // namespace vk
