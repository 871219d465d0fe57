#include "VornKit/Platform/Bundle.h"

#include <mutex>

namespace vk {

namespace {
std::mutex& bundleMutex() {
    static std::mutex mutex;
    return mutex;
}
Bundle& storedBundle() {
    static Bundle bundle;
    return bundle;
}
}  // namespace

std::optional<std::string> Bundle::infoValue(const std::string& key) const {
    auto it = info.find(key);
    if (it == info.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Bundle::setMain(Bundle bundle) {
    std::lock_guard lock(bundleMutex());
    storedBundle() = std::move(bundle);
}

Bundle Bundle::main() {
    std::lock_guard lock(bundleMutex());
    return storedBundle();
}

}  // namespace vk
