#include "VornKit/Platform/Runtime/Bundle.h"

#include "VornKit/Platform/Runtime/Immortal.h"

#include <mutex>

namespace vk {

namespace {
// Never destroyed: worker threads still log (and so read the bundle) while the process exits.
std::mutex& bundleMutex() {
    static Immortal<std::mutex> mutex;
    return *mutex;
}
Bundle& storedBundle() {
    static Immortal<Bundle> bundle;
    return *bundle;
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
