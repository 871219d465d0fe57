// The platform services that shared objects reach for: base directories and the clock. One
// Environment is current per process; tests install their own (a temporary directory tree) before
// the first shared object is created, so no singleton pins a test to the real machine.
//
// Thread rule: install() before first use (it is guarded, but objects created earlier keep the
// paths they resolved); current() and the getters are thread-safe.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "VornKit/Export.h"

namespace vk {

/// Base directories and the clock for shared objects (see the file comment); thread-safe.
class VK_EXPORT Environment {
  public:
    virtual ~Environment() = default;

    /// The current environment: the installed one, else the real Linux one (XDG variables).
    static std::shared_ptr<Environment> current();
    /// Makes `environment` current (null: the real one); earlier objects keep their paths.
    static void install(std::shared_ptr<Environment> environment);

    /// $XDG_DATA_HOME, else ~/.local/share.
    virtual std::filesystem::path dataHome() const;
    /// $XDG_CONFIG_HOME, else ~/.config.
    virtual std::filesystem::path configHome() const;
    /// $TMPDIR, else /tmp.
    virtual std::filesystem::path temporaryDirectory() const;
    /// The current time (the system clock; tests may install another).
    virtual std::chrono::system_clock::time_point now() const;

    /// An environment whose three directories live under `root` (data/, config/, tmp/).
    static std::shared_ptr<Environment> rootedAt(const std::filesystem::path& root);
};

}  // namespace vk
