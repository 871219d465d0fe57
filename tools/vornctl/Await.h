// Waiting for one completion while the main run loop is serviced: for vornctl's commands and
// demos, which run on the program's main thread. The completion may run on any queue; its value
// is handed to the main queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vornctl {

/// Runs `start` with a completion and services the main run loop until it has been called or
/// `timeout` has passed; absent on timeout or when the completion gave nothing.
template <class T>
std::optional<T> awaitCompletion(
    const std::function<void(std::function<void(std::optional<T>)>)>& start,
    std::chrono::milliseconds timeout) {
    auto result = std::make_shared<std::optional<std::optional<T>>>();
    start([result](std::optional<T> value) {
        vk::DispatchQueue::main()->async(
            [result, value = std::move(value)]() mutable { *result = std::move(value); });
    });
    vk::RunLoop::main().runUntil([&] { return result->has_value(); }, timeout);
    return result->has_value() ? **result : std::nullopt;
}

}  // namespace vornctl
