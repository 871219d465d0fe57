// DBusConnection: one connection to a D-Bus bus (the session bus, the system bus, or a bus at an
// explicit address), with its own thread that owns it. Every use of the underlying sdbus-c++
// connection, of proxies and of exported objects happens on that thread; other threads hand it
// work and wait (perform) or do not wait (post). This keeps the non-thread-safe sd-bus state on
// one thread while any thread may make calls.
//
// Buses: session() follows DBUS_SESSION_BUS_ADDRESS, system() follows DBUS_SYSTEM_BUS_ADDRESS (else
// the system bus socket), so a test points the framework at private buses through those two
// variables. open() connects to an explicit address.
//
// Values: results are converted to plain C++ values (DBusValue) on the bus thread; sdbus values
// (Variant, Message) must not leave the callbacks they are handed to.
//
// Signals: subscribe() installs a match rule; the handler runs on the bus thread. A handler may
// make further calls on the same connection (they run inline). When the Subscription is released
// from another thread, the handler is not running and will not run again once release returns.
//
// Exported objects (services such as a now-playing or search provider): create, use and destroy
// sdbus objects only inside perform()/post() blocks; their method handlers run on the bus thread.
//
// Failures: a bus that cannot be reached gives no connection (null) and an error text; a call that
// fails gives absent/false and a DBusError (name and message as the bus sent them). A connection
// whose bus went away stays closed (isOpen() false); the shared session()/system() connections are
// then made afresh on the next request.
//
// Thread rule: thread-safe. Blocks given to perform()/post() run one at a time on the bus thread,
// in the order given. perform() called on the bus thread runs the block inline.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "VornKit/Export.h"

namespace sdbus {
class IConnection;
class Message;
class MethodCall;
class MethodReply;
class Variant;
}  // namespace sdbus

namespace vk {

/// A bus value in plain C++ form: Boolean; signed integers (y n i x, also q u widened); unsigned
/// 64-bit (t); double; text (s, o, g); a list of texts (as, ao); anything else is monostate.
using DBusValue = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double,
                               std::string, std::vector<std::string>>;
using DBusProperties = std::map<std::string, DBusValue>;

/// A failed bus operation: the error name and message as the bus sent them.
struct VK_EXPORT DBusError {
    std::string name;  ///< "org.freedesktop.DBus.Error.ServiceUnknown", ...
    /// The error's message as the bus sent it.
    std::string message;
};

/// Reads a DBusValue of one kind; absent when it holds another kind.
template <class T>
std::optional<T> dbusValueAs(const DBusValue& value) {
    if (const T* held = std::get_if<T>(&value))
        return *held;
    return std::nullopt;
}
/// Looks `name` up in `properties` and reads it as T.
template <class T>
std::optional<T> dbusProperty(const DBusProperties& properties, const std::string& name) {
    auto found = properties.find(name);
    return found == properties.end() ? std::nullopt : dbusValueAs<T>(found->second);
}

/// A connection to a D-Bus bus with a thread of its own (see the file comment); shared.
class VK_EXPORT DBusConnection : public std::enable_shared_from_this<DBusConnection> {
  public:
    /// Work done on the bus thread with the connection (perform(), post()).
    using Work = std::function<void(sdbus::IConnection&)>;
    /// Gets each message a subscription matches, on the bus thread.
    using SignalHandler = std::function<void(sdbus::Message&)>;
    /// How long a method call waits for its reply unless told otherwise.
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    /// The process's shared connection to the session bus, or null when there is none.
    static std::shared_ptr<DBusConnection> session();
    /// The process's shared connection to the system bus, or null when there is none.
    static std::shared_ptr<DBusConnection> system();
    /// A connection of its own to the bus at `address` (a D-Bus address text); null with `error`
    /// set when it cannot be made.
    static std::shared_ptr<DBusConnection> open(const std::string& address,
                                                std::string* error = nullptr);

    ~DBusConnection();
    DBusConnection(const DBusConnection&) = delete;
    DBusConnection& operator=(const DBusConnection&) = delete;

    /// Whether the connection still reaches its bus (false for good once the bus went away).
    bool isOpen() const;
    /// Whether the caller runs on this connection's bus thread.
    bool isBusThread() const;
    /// This connection's unique name on the bus (":1.42").
    std::string uniqueName() const { return uniqueName_; }

    /// Runs `work` on the bus thread and waits for it. False (with `error`) when the connection
    /// is closed or `work` threw (sdbus::Error or another exception).
    bool perform(const Work& work, DBusError* error = nullptr);
    /// Runs `work` later on the bus thread; dropped when the connection is closed.
    void post(Work work);

    /// Calls `method`. `writeArguments` fills the call, `readReply` reads the answer; both run on
    /// the bus thread. False (with `error`) on any failure, including a reply that cannot be read.
    bool call(const std::string& destination, const std::string& path, const std::string& interface,
              const std::string& method,
              const std::function<void(sdbus::MethodCall&)>& writeArguments,
              const std::function<void(sdbus::MethodReply&)>& readReply, DBusError* error = nullptr,
              std::chrono::milliseconds timeout = kDefaultTimeout);

    /// org.freedesktop.DBus.Properties.Get.
    std::optional<DBusValue> property(const std::string& destination, const std::string& path,
                                      const std::string& interface, const std::string& name,
                                      DBusError* error = nullptr,
                                      std::chrono::milliseconds timeout = kDefaultTimeout);
    /// org.freedesktop.DBus.Properties.GetAll.
    std::optional<DBusProperties> properties(const std::string& destination,
                                             const std::string& path, const std::string& interface,
                                             DBusError* error = nullptr,
                                             std::chrono::milliseconds timeout = kDefaultTimeout);

    /// Whether `name` has an owner on the bus now.
    bool nameHasOwner(const std::string& name);
    /// Whether the bus can start a service for `name` on demand.
    bool nameIsActivatable(const std::string& name);

    /// Keeps a match rule installed while it exists.
    class Subscription {
      public:
        Subscription() = default;
        ~Subscription();
        /// Takes over `other`'s match rule; `other` becomes empty.
        Subscription(Subscription&&) noexcept;
        /// Removes this one's rule, then takes over `other`'s.
        Subscription& operator=(Subscription&&) noexcept;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        /// Whether a match rule is held.
        explicit operator bool() const { return state_ != nullptr; }
        /// Removes the match rule; its handler is not called after this returns.
        void reset();

        struct State;

      private:
        friend class DBusConnection;
        explicit Subscription(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    /// Installs `matchRule` ("type='signal',sender='...',path='...'") and calls `handler` on the
    /// bus thread for each matching message. An empty Subscription (with `error`) on failure.
    Subscription subscribe(const std::string& matchRule, SignalHandler handler,
                           DBusError* error = nullptr);

    /// Converts the variant (on the bus thread) to its plain form.
    static DBusValue toValue(const sdbus::Variant& variant);
    /// Reads an a{sv} dictionary from `message` (on the bus thread).
    static DBusProperties readProperties(sdbus::Message& message);

    struct Impl;
    struct Factory;

  private:
    explicit DBusConnection(std::shared_ptr<Impl> impl);
    /// Shared with the bus thread, which may outlive this object by the callback it is in.
    std::shared_ptr<Impl> impl_;
    std::string uniqueName_;
};

}  // namespace vk
