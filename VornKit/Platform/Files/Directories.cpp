#include "VornKit/Platform/Files/Directories.h"

#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "VornKit/Platform/Files/PrivateFiles.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Immortal.h"

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

std::optional<std::filesystem::path> Directories::temporary() {
    const auto path = Environment::current()->temporaryDirectory() / bundleFolderName();
    if (auto own = PrivateFiles::folder(path))
        return own;
    // The name is someone else's: one folder of our own beside it for the rest of the process.
    static Immortal<std::mutex> mutex;
    static Immortal<std::map<std::filesystem::path, std::filesystem::path>> fallbacks;
    std::lock_guard lock(*mutex);
    auto found = fallbacks->find(path);
    if (found != fallbacks->end() && PrivateFiles::folder(found->second))
        return found->second;
    auto made = PrivateFiles::uniqueFolder(path);
    if (made)
        (*fallbacks)[path] = *made;
    return made;
}

}  // namespace vk
