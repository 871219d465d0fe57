// The framework's shared URL session: the API client's exchanges, image and artwork downloads all
// run on it. Created once, thread-safely, on first use, with the default configuration, a
// DefaultURLSessionDelegate and a serial delegate queue of its own; it lives for the process.
//
// Thread rule: thread-safe. Completions of its tasks run on its delegate queue.
#pragma once

#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/UrlSession.h"

namespace vk {

VK_EXPORT std::shared_ptr<UrlSession> defaultSession();

}  // namespace vk
