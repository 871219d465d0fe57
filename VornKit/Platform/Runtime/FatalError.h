// Fatal stops for an unusable environment (no bundle identifier, no store container, ...).
// Prints "Fatal error: <message>" and the source path (for example "VornKit/OfflineDataController")
// to stderr and the log, then aborts. Thread-safe; never returns.
#pragma once

#include <string_view>

#include "VornKit/Export.h"

namespace vk {

[[noreturn]] VK_EXPORT void fatalError(std::string_view message, std::string_view sourcePath);

}  // namespace vk
