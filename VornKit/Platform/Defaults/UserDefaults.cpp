#include "VornKit/Platform/Defaults/UserDefaults.h"

#include <cstdlib>
#include <map>

#include "VornKit/Platform/Defaults/UserDefaultsWatcher.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

std::string suiteFileName(const std::string& name) {
    std::string safe;
    for (char c : name)
        safe.push_back(c == '/' ? '_' : c);
    if (safe.empty() || safe == "." || safe == "..")
        safe = "_" + safe;
    return safe + ".json";
}

std::filesystem::path defaultsDirectory() {
    return Environment::current()->configHome() / "VornKit";
}

/// The stored value when it holds a T.
template <class T>
std::optional<T> valueOf(const std::optional<DefaultsValue>& stored) {
    if (const T* value = stored ? std::get_if<T>(&stored->value) : nullptr)
        return *value;
    return std::nullopt;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const Immortal<std::shared_ptr<UserDefaults>> store(std::in_place, [] {
        auto identifier = Bundle::main().identifier.value_or("VornKit");
        return std::make_shared<UserDefaults>(defaultsDirectory() / suiteFileName(identifier));
    });
    return *store;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    static std::mutex mutex;
    static Immortal<std::map<std::string, std::shared_ptr<UserDefaults>>> suites;
    std::lock_guard lock(mutex);
    auto& slot = (*suites)[name];
    if (!slot)
        slot = std::make_shared<UserDefaults>(defaultsDirectory() / suiteFileName(name));
    return slot;
}

UserDefaults::UserDefaults(std::filesystem::path file) : store_(std::move(file)) {}

UserDefaults::~UserDefaults() {
    std::unique_ptr<UserDefaultsWatcher> watcher;
    {
        std::lock_guard lock(mutex_);
        watcher = std::move(watcher_);
    }
    watcher.reset();  // joins the watch thread, which may be waiting for mutex_
}

DefaultsChanges UserDefaults::refreshLocked(bool force) {
    if (!force && cache_.isCurrent(store_.stamp()))
        return {};
    auto snapshot = store_.read();
    if (!snapshot)
        return {};  // unreadable for now: keep what was read before
    return cache_.take(std::move(*snapshot));
}

std::optional<DefaultsValue> UserDefaults::object(const std::string& key) {
    DefaultsChanges changes;
    std::optional<DefaultsValue> result;
    {
        std::lock_guard lock(mutex_);
        changes = refreshLocked(false);
        const auto& values = cache_.values();
        if (auto it = values.find(key); it != values.end())
            result = it->second;
    }
    observers_.notify(changes);
    return result;
}

std::optional<std::string> UserDefaults::string(const std::string& key) {
    return valueOf<std::string>(object(key));
}

bool UserDefaults::boolean(const std::string& key) {
    auto v = object(key);
    if (!v)
        return false;
    if (auto* b = std::get_if<bool>(&v->value))
        return *b;
    if (auto* i = std::get_if<std::int64_t>(&v->value))
        return *i != 0;
    if (auto* d = std::get_if<double>(&v->value))
        return *d != 0.0;
    if (auto* s = std::get_if<std::string>(&v->value)) {
        // Text reads like the platform's Boolean reading: "YES"/"true" in any case, or a number
        // other than zero.
        std::string lower;
        for (char c : *s)
            lower.push_back(asciiLower(c));
        if (lower == "yes" || lower == "true")
            return true;
        char* end = nullptr;
        const double number = std::strtod(s->c_str(), &end);
        return end != s->c_str() && *end == '\0' && number != 0.0;
    }
    return false;
}

std::optional<std::int64_t> UserDefaults::integer(const std::string& key) {
    auto v = object(key);
    if (v) {
        if (auto* i = std::get_if<std::int64_t>(&v->value))
            return *i;
        if (auto* b = std::get_if<bool>(&v->value))
            return *b ? 1 : 0;
    }
    return std::nullopt;
}

std::optional<double> UserDefaults::number(const std::string& key) {
    auto v = object(key);
    if (v) {
        if (auto* d = std::get_if<double>(&v->value))
            return *d;
        if (auto* i = std::get_if<std::int64_t>(&v->value))
            return static_cast<double>(*i);
    }
    return std::nullopt;
}

std::optional<DefaultsData> UserDefaults::data(const std::string& key) {
    return valueOf<DefaultsData>(object(key));
}

std::optional<std::vector<std::string>> UserDefaults::stringList(const std::string& key) {
    return valueOf<std::vector<std::string>>(object(key));
}

std::optional<DefaultsDictionary> UserDefaults::dictionary(const std::string& key) {
    return valueOf<DefaultsDictionary>(object(key));
}

bool UserDefaults::set(const std::string& key, DefaultsValue value) {
    if (!value.isStorable()) {
        static const Immortal<Logger> logger("UserDefaults");
        logger->log(LogMessage("Not storing a NaN or infinite number under ") << key);
        return false;
    }
    return mutate(key, value);
}

bool UserDefaults::remove(const std::string& key) {
    return mutate(key, std::nullopt);
}

bool UserDefaults::synchronize() {
    DefaultsChanges changes;
    {
        std::lock_guard lock(mutex_);
        changes = refreshLocked(true);
    }
    observers_.notify(changes);
    return true;
}

bool UserDefaults::lastReadFailed() {
    std::lock_guard lock(mutex_);
    return store_.lastReadFailed();
}

bool UserDefaults::mutate(const std::string& key, const std::optional<DefaultsValue>& value) {
    DefaultsChanges changes;
    {
        std::lock_guard lock(mutex_);
        auto written =
            store_.update([&](DefaultsFileContents& contents) { contents.assign(key, value); });
        if (!written) {
            cache_.invalidate();
            return false;
        }
        // The changes include what other processes wrote since this object last read the file.
        changes = cache_.take(std::move(*written));
    }
    observers_.notify(changes);
    return true;
}

void UserDefaults::fileChanged() {
    DefaultsChanges changes;
    {
        std::lock_guard lock(mutex_);
        changes = refreshLocked(false);
    }
    observers_.notify(changes);
}

std::uint64_t UserDefaults::addObserver(const std::string& key,
                                        std::shared_ptr<DispatchQueue> queue,
                                        DefaultsObserver observer) {
    DefaultsChanges changes;
    {
        std::lock_guard lock(mutex_);
        // Changes found now predate the observer; it hears about later ones.
        changes = refreshLocked(false);
        if (!watcher_) {
            std::error_code ec;
            std::filesystem::create_directories(store_.file().parent_path(), ec);
            watcher_ =
                std::make_unique<UserDefaultsWatcher>(store_.file(), [this] { fileChanged(); });
        }
    }
    observers_.notify(changes);
    return observers_.add(key, std::move(queue), std::move(observer));
}

void UserDefaults::removeObserver(std::uint64_t token) {
    observers_.remove(token);
}

}  // namespace vk
