#include "VornKit/Platform/Bus/DBusConnection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace vk {

namespace {

DBusError errorFrom(const sdbus::Error& error) {
    return DBusError{error.getName(), error.getMessage()};
}

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

}  // namespace

struct DBusConnection::Subscription::State {
    std::weak_ptr<DBusConnection> connection;
    SignalHandler handler;
    std::atomic<bool> active{true};
    sdbus::Slot slot;  // touched on the bus thread only
};

struct DBusConnection::Impl {
    using Item = std::function<void()>;

    std::unique_ptr<sdbus::IConnection> connection;
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    int wakeFd = -1;
    std::atomic<bool> open{false};

    std::mutex mutex;
    std::deque<Item> queue;
    bool stopping = false;
    /// Subscriptions whose slots must go before the connection does (bus thread only).
    std::vector<std::weak_ptr<Subscription::State>> subscriptions;

    ~Impl() {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    void wake() const {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
    }

    bool enqueue(Item item) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return false;
            queue.push_back(std::move(item));
        }
        wake();
        return true;
    }

    void run() {
        threadId = std::this_thread::get_id();
        for (;;) {
            std::deque<Item> items;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    break;
                items.swap(queue);
            }
            for (auto& item : items)
                item();
            if (open) {
                try {
                    while (connection->processPendingRequest()) {
                        std::lock_guard lock(mutex);
                        if (!queue.empty() || stopping)
                            break;
                    }
                } catch (const sdbus::Error&) {
                    open = false;
                }
            }
            pollfd fds[2] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}};
            nfds_t count = 1;
            int timeout = -1;
            if (open) {
                try {
                    auto data = connection->getEventLoopPollData();
                    fds[1] = {data.fd, data.events, 0};
                    count = 2;
                    timeout = data.getPollTimeout();
                } catch (const sdbus::Error&) {
                    open = false;
                }
            }
            {
                std::lock_guard lock(mutex);
                if (!queue.empty() || stopping)
                    continue;
            }
            int ready = ::poll(fds, count, timeout);
            if (ready > 0 && (fds[0].revents & POLLIN)) {
                std::uint64_t value;
                [[maybe_unused]] auto got = ::read(wakeFd, &value, sizeof value);
            }
        }
        // Work handed over before the stop still runs (its callers are waiting for it).
        std::deque<Item> left;
        {
            std::lock_guard lock(mutex);
            left.swap(queue);
        }
        for (auto& item : left)
            item();
        // Slots refer to the connection: release them first, on this thread.
        for (auto& weak : subscriptions) {
            if (auto state = weak.lock())
                state->slot.reset();
        }
        subscriptions.clear();
        connection.reset();
        open = false;
    }
};

DBusConnection::DBusConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

DBusConnection::~DBusConnection() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake();
    if (impl_->thread.joinable()) {
        if (impl_->thread.get_id() == std::this_thread::get_id()) {
            // The last owner let go inside a bus callback: the thread leaves its loop after the
            // callback returns; it shares the state, which goes with it.
            impl_->thread.detach();
        } else {
            impl_->thread.join();
        }
    }
}

struct DBusConnection::Factory {
    /// Makes the sdbus connection on a new bus thread; null with `error` when that fails.
    static std::shared_ptr<DBusConnection> connect(
        const std::function<std::unique_ptr<sdbus::IConnection>()>& make, std::string* error) {
        auto impl = std::make_shared<Impl>();
        impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (impl->wakeFd < 0) {
            if (error)
                *error = "eventfd failed";
            return nullptr;
        }
        std::promise<std::string> made;
        auto result = made.get_future();
        impl->thread = std::thread([impl, make, &made] {
            try {
                impl->connection = make();
                impl->open = true;
                made.set_value({});
            } catch (const sdbus::Error& e) {
                made.set_value(e.getMessage().empty() ? e.getName() : e.getMessage());
                return;
            } catch (const std::exception& e) {
                made.set_value(e.what());
                return;
            }
            impl->run();
        });
        std::string failure = result.get();
        if (!failure.empty()) {
            impl->thread.join();
            if (error)
                *error = failure;
            return nullptr;
        }
        std::shared_ptr<DBusConnection> connection(new DBusConnection(std::move(impl)));
        connection->perform(
            [&](sdbus::IConnection& bus) { connection->uniqueName_ = bus.getUniqueName(); });
        return connection;
    }

    /// The process-wide connection kept in `holder`, made afresh when missing or closed.
    struct Shared {
        std::mutex mutex;
        std::shared_ptr<DBusConnection> connection;

        std::shared_ptr<DBusConnection> get(
            const std::function<std::unique_ptr<sdbus::IConnection>()>& make) {
            std::lock_guard lock(mutex);
            if (!connection || !connection->isOpen())
                connection = connect(make, nullptr);
            return connection;
        }
    };
};

std::shared_ptr<DBusConnection> DBusConnection::open(const std::string& address,
                                                     std::string* error) {
    return Factory::connect(
        [address] { return sdbus::createSessionBusConnectionWithAddress(address); }, error);
}

std::shared_ptr<DBusConnection> DBusConnection::session() {
    // Lives for the whole process: bus threads must not be joined while other statics go away.
    static auto* holder = new Factory::Shared;
    return holder->get([] { return sdbus::createSessionBusConnection(); });
}

std::shared_ptr<DBusConnection> DBusConnection::system() {
    static auto* holder = new Factory::Shared;
    return holder->get([] { return sdbus::createSystemBusConnection(); });
}

bool DBusConnection::isOpen() const {
    return impl_->open;
}

bool DBusConnection::isBusThread() const {
    return impl_->threadId.load() == std::this_thread::get_id();
}

bool DBusConnection::perform(const Work& work, DBusError* error) {
    auto runWork = [this, &work]() -> std::optional<DBusError> {
        if (!impl_->connection)
            return DBusError{"org.freedesktop.DBus.Error.Disconnected", "connection closed"};
        try {
            work(*impl_->connection);
            return std::nullopt;
        } catch (const sdbus::Error& e) {
            return errorFrom(e);
        } catch (const std::exception& e) {
            return DBusError{"org.freedesktop.DBus.Error.Failed", e.what()};
        }
    };
    std::optional<DBusError> failure;
    if (isBusThread()) {
        failure = runWork();
    } else {
        std::promise<std::optional<DBusError>> done;
        auto result = done.get_future();
        if (!impl_->enqueue([&] { done.set_value(runWork()); })) {
            failure = DBusError{"org.freedesktop.DBus.Error.Disconnected", "connection closed"};
        } else {
            failure = result.get();
        }
    }
    if (failure && error)
        *error = *failure;
    return !failure;
}

void DBusConnection::post(Work work) {
    auto self = shared_from_this();
    impl_->enqueue([self, work = std::move(work)] {
        if (!self->impl_->connection)
            return;
        try {
            work(*self->impl_->connection);
        } catch (const std::exception&) {
            // Posted work has nobody to report to; sdbus errors end here.
        }
    });
}

bool DBusConnection::call(const std::string& destination, const std::string& path,
                          const std::string& interface, const std::string& method,
                          const std::function<void(sdbus::MethodCall&)>& writeArguments,
                          const std::function<void(sdbus::MethodReply&)>& readReply,
                          DBusError* error, std::chrono::milliseconds timeout) {
    return perform(
        [&](sdbus::IConnection& bus) {
            auto proxy = sdbus::createProxy(bus, destination, path);
            auto message = proxy->createMethodCall(interface, method);
            if (writeArguments)
                writeArguments(message);
            auto reply = proxy->callMethod(
                message,
                static_cast<std::uint64_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(timeout).count()));
            if (readReply)
                readReply(reply);
        },
        error);
}

std::optional<DBusValue> DBusConnection::property(const std::string& destination,
                                                  const std::string& path,
                                                  const std::string& interface,
                                                  const std::string& name, DBusError* error,
                                                  std::chrono::milliseconds timeout) {
    std::optional<DBusValue> value;
    call(
        destination, path, kPropertiesInterface, "Get",
        [&](sdbus::MethodCall& message) { message << interface << name; },
        [&](sdbus::MethodReply& reply) {
            sdbus::Variant variant;
            reply >> variant;
            value = toValue(variant);
        },
        error, timeout);
    return value;
}

std::optional<DBusProperties> DBusConnection::properties(const std::string& destination,
                                                         const std::string& path,
                                                         const std::string& interface,
                                                         DBusError* error,
                                                         std::chrono::milliseconds timeout) {
    std::optional<DBusProperties> values;
    call(
        destination, path, kPropertiesInterface, "GetAll",
        [&](sdbus::MethodCall& message) { message << interface; },
        [&](sdbus::MethodReply& reply) { values = readProperties(reply); }, error, timeout);
    return values;
}

bool DBusConnection::nameHasOwner(const std::string& name) {
    bool owned = false;
    call(
        kBusName, kBusPath, kBusName, "NameHasOwner",
        [&](sdbus::MethodCall& message) { message << name; },
        [&](sdbus::MethodReply& reply) { reply >> owned; });
    return owned;
}

bool DBusConnection::nameIsActivatable(const std::string& name) {
    std::vector<std::string> names;
    call(kBusName, kBusPath, kBusName, "ListActivatableNames", nullptr,
         [&](sdbus::MethodReply& reply) { reply >> names; });
    return std::find(names.begin(), names.end(), name) != names.end();
}

DBusConnection::Subscription DBusConnection::subscribe(const std::string& matchRule,
                                                       SignalHandler handler, DBusError* error) {
    auto state = std::make_shared<Subscription::State>();
    state->connection = weak_from_this();
    state->handler = std::move(handler);
    bool installed = perform(
        [&](sdbus::IConnection& bus) {
            // The slot belongs to the state, so the callback may refer to it without owning it.
            auto* raw = state.get();
            state->slot = bus.addMatch(matchRule, [raw](sdbus::Message& message) {
                if (raw->active)
                    raw->handler(message);
            });
            auto& list = impl_->subscriptions;
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [](const auto& weak) { return weak.expired(); }),
                       list.end());
            list.push_back(state);
        },
        error);
    if (!installed)
        return Subscription();
    return Subscription(std::move(state));
}

DBusConnection::Subscription::~Subscription() {
    reset();
}

DBusConnection::Subscription::Subscription(Subscription&& other) noexcept
    : state_(std::move(other.state_)) {}

DBusConnection::Subscription& DBusConnection::Subscription::operator=(
    Subscription&& other) noexcept {
    if (this != &other) {
        reset();
        state_ = std::move(other.state_);
    }
    return *this;
}

void DBusConnection::Subscription::reset() {
    if (!state_)
        return;
    auto state = std::move(state_);
    state->active = false;
    if (auto connection = state->connection.lock()) {
        auto release = [state](sdbus::IConnection&) { state->slot.reset(); };
        if (connection->isBusThread()) {
            // Inside a callback: the slot may be the one running; release it after it returns.
            connection->post(release);
        } else {
            connection->perform(release);
        }
    }
}

DBusValue DBusConnection::toValue(const sdbus::Variant& variant) {
    const std::string type = variant.peekValueType();
    if (type == "b")
        return variant.get<bool>();
    if (type == "y")
        return std::int64_t{variant.get<std::uint8_t>()};
    if (type == "n")
        return std::int64_t{variant.get<std::int16_t>()};
    if (type == "q")
        return std::int64_t{variant.get<std::uint16_t>()};
    if (type == "i")
        return std::int64_t{variant.get<std::int32_t>()};
    if (type == "u")
        return std::int64_t{variant.get<std::uint32_t>()};
    if (type == "x")
        return variant.get<std::int64_t>();
    if (type == "t")
        return variant.get<std::uint64_t>();
    if (type == "d")
        return variant.get<double>();
    if (type == "s")
        return variant.get<std::string>();
    if (type == "o")
        return std::string(variant.get<sdbus::ObjectPath>());
    if (type == "g")
        return std::string(variant.get<sdbus::Signature>());
    if (type == "as")
        return variant.get<std::vector<std::string>>();
    if (type == "ao") {
        auto paths = variant.get<std::vector<sdbus::ObjectPath>>();
        return std::vector<std::string>(paths.begin(), paths.end());
    }
    return std::monostate{};
}

DBusProperties DBusConnection::readProperties(sdbus::Message& message) {
    std::map<std::string, sdbus::Variant> raw;
    message >> raw;
    DBusProperties values;
    for (const auto& [name, variant] : raw)
        values.emplace(name, toValue(variant));
    return values;
}

}  // namespace vk
