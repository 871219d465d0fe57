// Immortal<T>: a value built in place on first use and never destroyed.
//
// The framework's process-wide values (record field tables, enumeration codings, transformer
// registries, shared singletons) are read by pool and timer threads that a host does not join:
// when the host returns from main() those threads may still decode an answer or run a
// completion. A plain function-local static would be destroyed by the exit handlers under their
// feet. Hold such values as
//
//     static const Immortal<FieldTable<Record>> table("Record", {...});
//     return *table;
//
// The wrapper has a trivial destructor, so no exit handler is registered and the value stays
// valid until the process is gone. Its storage lives inside the static itself, so leak checkers
// still see everything the value owns as reachable.
//
// Thread rule: construction follows the rules of the static that holds it (thread-safe for a
// function-local static); access afterwards is as thread-safe as T itself.
#pragma once

#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace vk {

template <class T>
/// A T built in place and never destroyed (see the file comment); holds it by value.
class Immortal {
  public:
    template <class... Args>
    /// Builds the value from `args`, as T's constructor takes them.
    explicit Immortal(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    /// For constructors whose last argument is a braced list ("Record", {field, ...}).
    template <class First, class Element>
    Immortal(First&& first, std::initializer_list<Element> rest) {
        ::new (static_cast<void*>(storage_)) T(std::forward<First>(first), rest);
    }
    /// Builds the value from what `make()` returns (for values that need a few statements).
    template <class Make>
    requires std::is_invocable_r_v<T, Make>
    explicit Immortal(std::in_place_t, Make&& make) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Make>(make)());
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;
    ~Immortal() = default;

    /// The value; valid until the process is gone.
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    /// The value; valid until the process is gone.
    const T& get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }
    /// get().
    T& operator*() { return get(); }
    /// get().
    const T& operator*() const { return get(); }
    /// The value's members.
    T* operator->() { return &get(); }
    /// The value's members.
    const T* operator->() const { return &get(); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace vk
