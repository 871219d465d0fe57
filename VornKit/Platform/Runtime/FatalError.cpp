#include "VornKit/Platform/Runtime/FatalError.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vk {

void fatalError(std::string_view message, std::string_view sourcePath) {
    std::string text = "Fatal error: " + std::string(message) + ": file " + std::string(sourcePath);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace vk
