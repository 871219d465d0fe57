// ProcessShared<T>: the process-wide object behind a platform interface's shared()/install() pair:
// the object a host or test installed, else one made on first use.
//
// Thread rule: thread-safe. Never destroyed (objects stay usable while other statics go away).
#pragma once

#include <memory>
#include <mutex>

#include "VornKit/Export.h"

namespace vk {

/// The process-wide T behind a platform interface's shared()/install() pair: the installed one,
/// else one made on first use. Thread-safe; never destroyed.
template <class T>
class VK_EXPORT ProcessShared {
  public:
    /// The installed object, else the one `make` returns (made once, kept until replaced).
    template <class Make>
    static std::shared_ptr<T> get(Make&& make) {
        auto& state = instance();
        std::lock_guard lock(state.mutex);
        if (!state.object)
            state.object = make();
        return state.object;
    }
    /// Replaces the object; null makes the next get() make one again.
    static void install(std::shared_ptr<T> object) {
        auto& state = instance();
        std::lock_guard lock(state.mutex);
        state.object = std::move(object);
    }

  private:
    struct State {
        std::mutex mutex;
        std::shared_ptr<T> object;
    };
    static State& instance() {
        static auto* state = new State;
        return *state;
    }
};

}  // namespace vk
