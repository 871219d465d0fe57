#include "VornKit/Platform/Runtime/Environment.h"

#include "VornKit/Platform/Runtime/Immortal.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace vk {

namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/tmp";
}

std::filesystem::path fromVariable(const char* name, const std::filesystem::path& fallback) {
    const char* value = std::getenv(name);
    // XDG: a relative path in the variable is invalid and ignored.
    if (value != nullptr && *value == '/') {
        return value;
    }
    return fallback;
}

class RootedEnvironment : public Environment {
  public:
    explicit RootedEnvironment(std::filesystem::path root) : root_(std::move(root)) {}
    std::filesystem::path dataHome() const override { return root_ / "data"; }
    std::filesystem::path configHome() const override { return root_ / "config"; }
    std::filesystem::path temporaryDirectory() const override { return root_ / "tmp"; }

  private:
    std::filesystem::path root_;
};

std::mutex& environmentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Environment>& installed() {
    static Immortal<std::shared_ptr<Environment>> environment;
    return *environment;
}

}  // namespace

std::shared_ptr<Environment> Environment::current() {
    std::lock_guard lock(environmentMutex());
    if (!installed()) {
        installed() = std::make_shared<Environment>();
    }
    return installed();
}

void Environment::install(std::shared_ptr<Environment> environment) {
    std::lock_guard lock(environmentMutex());
    installed() = std::move(environment);
}

std::filesystem::path Environment::dataHome() const {
    return fromVariable("XDG_DATA_HOME", homeDirectory() / ".local" / "share");
}

std::filesystem::path Environment::configHome() const {
    return fromVariable("XDG_CONFIG_HOME", homeDirectory() / ".config");
}

std::filesystem::path Environment::temporaryDirectory() const {
    return fromVariable("TMPDIR", "/tmp");
}

std::chrono::system_clock::time_point Environment::now() const {
    return std::chrono::system_clock::now();
}

std::shared_ptr<Environment> Environment::rootedAt(const std::filesystem::path& root) {
    return std::make_shared<RootedEnvironment>(root);
}

}  // namespace vk
