#include "VornKit/Platform/Directories.h"

#include <string>
#include <system_error>

#include "VornKit/Platform/Bundle.h"
#include "VornKit/Platform/Environment.h"

namespace vk {

namespace {

std::optional<std::filesystem::path> ensureDirectory(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (std::filesystem::is_directory(path, ec)) {
        return path;
    }
    return std::nullopt;
}

std::string bundleFolderName() {
    auto identifier = Bundle::main().identifier;
    return identifier && !identifier->empty() ? *identifier : std::string("VornKit");
}

}  // namespace

std::optional<std::filesystem::path> Directories::documents() {
    return ensureDirectory(Environment::current()->dataHome() / bundleFolderName() / "Documents");
}

std::optional<std::filesystem::path> Directories::applicationGroupContainer(
    std::string_view groupIdentifier) {
    if (groupIdentifier.empty() || groupIdentifier.find('/') != std::string_view::npos ||
        groupIdentifier == "." || groupIdentifier == "..") {
        return std::nullopt;
    }
    return ensureDirectory(Environment::current()->dataHome() / std::string(groupIdentifier));
}

std::filesystem::path Directories::temporary() {
    auto path = Environment::current()->temporaryDirectory() / bundleFolderName();
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return path;
}

}  // namespace vk
