#include "VornKit/Platform/UserDefaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "VornKit/Platform/Base64.h"
#include "VornKit/Platform/Bundle.h"
#include "VornKit/Platform/Environment.h"
#include "VornKit/Platform/JsonWriter.h"
#include "VornKit/Platform/Log.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Logger log("UserDefaults");
    return log;
}

// ---- file format: one JSON object, values typed by their JSON form ----
// text -> string, Boolean -> true/false, integer -> integer, double -> number with '.' or 'e',
// list of text -> array of strings, data -> {"$data": base64}, dictionary -> object (wrapped as
// {"$dictionary": {...}} when its only key starts with '$', so it cannot pass for a marker).

void writeValue(JsonWriter& w, std::string& out, const DefaultsValue& value);

void writeDictionary(JsonWriter& w, std::string& out, const DefaultsDictionary& dict) {
    const bool wrap =
        dict.size() == 1 && !dict.begin()->first.empty() && dict.begin()->first.front() == '$';
    if (wrap) {
        w.beginObject();
        w.key("$dictionary");
    }
    w.beginObject();
    for (const auto& [k, v] : dict) {
        w.key(k);
        writeValue(w, out, v);
    }
    w.endObject();
    if (wrap) {
        w.endObject();
    }
}

void writeValue(JsonWriter& w, std::string& out, const DefaultsValue& value) {
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                w.string(v);
            } else if constexpr (std::is_same_v<T, bool>) {
                w.boolean(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                w.integer(v);
            } else if constexpr (std::is_same_v<T, double>) {
                const size_t before = out.size();
                w.number(v);
                std::string_view written(out.data() + before, out.size() - before);
                if (written.find_first_of(".eEn") == std::string_view::npos) {
                    out.append(".0");
                }
            } else if constexpr (std::is_same_v<T, DefaultsData>) {
                w.beginObject();
                w.key("$data");
                w.string(Base64::encode(v));
                w.endObject();
            } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                w.beginArray();
                for (const auto& s : v) {
                    w.string(s);
                }
                w.endArray();
            } else {
                writeDictionary(w, out, v);
            }
        },
        value.value);
}

std::string encodeFile(const DefaultsDictionary& values) {
    std::string out;
    JsonWriter w(out);
    w.beginObject();
    for (const auto& [k, v] : values) {
        w.key(k);
        writeValue(w, out, v);
    }
    w.endObject();
    out.push_back('\n');
    return out;
}

std::optional<DefaultsValue> readValue(simdjson::dom::element element);

std::optional<DefaultsDictionary> readObject(simdjson::dom::object object) {
    DefaultsDictionary dict;
    for (auto field : object) {
        auto value = readValue(field.value);
        if (!value) {
            return std::nullopt;
        }
        dict.emplace(std::string(field.key), std::move(*value));
    }
    return dict;
}

std::optional<DefaultsValue> readValue(simdjson::dom::element element) {
    using simdjson::dom::element_type;
    switch (element.type()) {
        case element_type::STRING:
            return DefaultsValue(std::string(element.get_string().value_unsafe()));
        case element_type::BOOL:
            return DefaultsValue(element.get_bool().value_unsafe());
        case element_type::INT64:
            return DefaultsValue(element.get_int64().value_unsafe());
        case element_type::UINT64:
            return DefaultsValue(static_cast<double>(element.get_uint64().value_unsafe()));
        case element_type::DOUBLE:
            return DefaultsValue(element.get_double().value_unsafe());
        case element_type::ARRAY: {
            std::vector<std::string> list;
            simdjson::dom::array array = element.get_array().value_unsafe();
            for (auto item : array) {
                std::string_view text;
                if (item.get_string().get(text) != simdjson::SUCCESS) {
                    return std::nullopt;
                }
                list.emplace_back(text);
            }
            return DefaultsValue(std::move(list));
        }
        case element_type::OBJECT: {
            auto object = element.get_object().value_unsafe();
            if (object.size() == 1) {
                auto field = *object.begin();
                std::string_view text;
                if (field.key == "$data" &&
                    field.value.get_string().get(text) == simdjson::SUCCESS) {
                    auto bytes = Base64::decode(text);
                    return bytes ? std::optional<DefaultsValue>(DefaultsValue(std::move(*bytes)))
                                 : std::nullopt;
                }
                simdjson::dom::object inner;
                if (field.key == "$dictionary" &&
                    field.value.get_object().get(inner) == simdjson::SUCCESS) {
                    auto dict = readObject(inner);
                    return dict ? std::optional<DefaultsValue>(DefaultsValue(std::move(*dict)))
                                : std::nullopt;
                }
            }
            auto dict = readObject(object);
            return dict ? std::optional<DefaultsValue>(DefaultsValue(std::move(*dict)))
                        : std::nullopt;
        }
        case element_type::NULL_VALUE:
            return std::nullopt;
    }
    return std::nullopt;
}

/// Parses a whole file; absent when it is not a JSON object of storable values.
std::optional<DefaultsDictionary> decodeFile(const std::string& text) {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(text).get(root) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    DefaultsDictionary values;
    for (auto field : object) {
        auto value = readValue(field.value);
        if (!value) {
            return std::nullopt;
        }
        values.emplace(std::string(field.key), std::move(*value));
    }
    return values;
}

class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string suiteFileName(const std::string& name) {
    std::string safe;
    for (char c : name) {
        safe.push_back(c == '/' ? '_' : c);
    }
    if (safe.empty() || safe == "." || safe == "..") {
        safe = "_" + safe;
    }
    return safe + ".json";
}

std::filesystem::path defaultsDirectory() {
    return Environment::current()->configHome() / "VornKit";
}

}  // namespace

namespace {
/// The stored value when it holds a T.
template <class T>
std::optional<T> valueOf(const std::optional<DefaultsValue>& stored) {
    if (const T* value = stored ? std::get_if<T>(&stored->value) : nullptr) {
        return *value;
    }
    return std::nullopt;
}
}  // namespace

bool DefaultsValue::operator==(const DefaultsValue& other) const {
    return value == other.value;
}

struct UserDefaults::Observer {
    std::uint64_t token;
    std::string key;
    std::shared_ptr<DispatchQueue> queue;
    DefaultsObserver block;
    std::atomic<bool> active{true};
};

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const std::shared_ptr<UserDefaults> store = [] {
        auto identifier = Bundle::main().identifier.value_or("VornKit");
        return std::make_shared<UserDefaults>(defaultsDirectory() / suiteFileName(identifier));
    }();
    return store;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<UserDefaults>> suites;
    std::lock_guard lock(mutex);
    auto& slot = suites[name];
    if (!slot) {
        slot = std::make_shared<UserDefaults>(defaultsDirectory() / suiteFileName(name));
    }
    return slot;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

UserDefaults::~UserDefaults() = default;

void UserDefaults::reloadIfChangedLocked() {
    struct stat st {};
    FileStamp stamp;
    if (::stat(file_.c_str(), &st) == 0) {
        stamp.inode = st.st_ino;
        stamp.mtimeNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        stamp.size = st.st_size;
    }
    if (stamp == stamp_) {
        return;
    }
    stamp_ = stamp;
    if (stamp.size < 0) {
        values_.clear();
        return;
    }
    std::ifstream in(file_, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    auto decoded = decodeFile(buffer.str());
    if (!decoded) {
        if (!loggedCorrupt_) {
            loggedCorrupt_ = true;
            logger().log(LogMessage("Ignoring unreadable defaults file ") << file_.string());
        }
        values_.clear();
        return;
    }
    values_ = std::move(*decoded);
}

std::optional<DefaultsValue> UserDefaults::object(const std::string& key) {
    std::vector<std::pair<std::string, std::optional<DefaultsValue>>> changes;
    std::optional<DefaultsValue> result;
    {
        std::lock_guard lock(mutex_);
        const bool observed = !observers_.empty();
        DefaultsDictionary before;
        if (observed) {
            before = values_;
        }
        reloadIfChangedLocked();
        if (observed) {
            for (const auto& o : observers_) {
                auto a = before.find(o->key);
                auto b = values_.find(o->key);
                const bool hadA = a != before.end();
                const bool hadB = b != values_.end();
                if (hadA != hadB || (hadA && !(a->second == b->second))) {
                    changes.emplace_back(o->key, hadB ? std::optional(b->second) : std::nullopt);
                }
            }
        }
        if (auto it = values_.find(key); it != values_.end()) {
            result = it->second;
        }
    }
    if (!changes.empty()) {
        notify(changes);
    }
    return result;
}

std::optional<std::string> UserDefaults::string(const std::string& key) {
    return valueOf<std::string>(object(key));
}

bool UserDefaults::boolean(const std::string& key) {
    auto v = object(key);
    if (!v) {
        return false;
    }
    if (auto* b = std::get_if<bool>(&v->value)) {
        return *b;
    }
    if (auto* i = std::get_if<std::int64_t>(&v->value)) {
        return *i != 0;
    }
    if (auto* d = std::get_if<double>(&v->value)) {
        return *d != 0.0;
    }
    if (auto* s = std::get_if<std::string>(&v->value)) {
        // Text reads like the platform's Boolean reading: "YES"/"true" in any case, or a number
        // other than zero.
        std::string lower;
        for (char c : *s) {
            lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
        if (lower == "yes" || lower == "true") {
            return true;
        }
        char* end = nullptr;
        const double number = std::strtod(s->c_str(), &end);
        return end != s->c_str() && *end == '\0' && number != 0.0;
    }
    return false;
}

std::optional<std::int64_t> UserDefaults::integer(const std::string& key) {
    auto v = object(key);
    if (v) {
        if (auto* i = std::get_if<std::int64_t>(&v->value)) {
            return *i;
        }
        if (auto* b = std::get_if<bool>(&v->value)) {
            return *b ? 1 : 0;
        }
    }
    return std::nullopt;
}

std::optional<double> UserDefaults::number(const std::string& key) {
    auto v = object(key);
    if (v) {
        if (auto* d = std::get_if<double>(&v->value)) {
            return *d;
        }
        if (auto* i = std::get_if<std::int64_t>(&v->value)) {
            return static_cast<double>(*i);
        }
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
    return mutate(key, value);
}

bool UserDefaults::remove(const std::string& key) {
    return mutate(key, std::nullopt);
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    stamp_ = {};
    reloadIfChangedLocked();
    return true;
}

bool UserDefaults::mutate(const std::string& key, const std::optional<DefaultsValue>& value) {
    std::vector<std::pair<std::string, std::optional<DefaultsValue>>> changes;
    bool ok = false;
    {
        std::lock_guard lock(mutex_);
        std::error_code ec;
        std::filesystem::create_directories(file_.parent_path(), ec);
        FileLock fileLock(file_.string() + ".lock");
        if (!fileLock.ok()) {
            logger().log(LogMessage("Cannot lock defaults file ") << file_.string());
            return false;
        }
        DefaultsDictionary before = values_;
        reloadIfChangedLocked();
        if (value) {
            values_[key] = *value;
        } else {
            values_.erase(key);
        }
        const std::string text = encodeFile(values_);
        static std::atomic<unsigned> counter{0};
        const std::string temp = file_.string() + ".tmp." + std::to_string(::getpid()) + "." +
                                 std::to_string(counter.fetch_add(1));
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0 && writeAll(fd, text) && ::fsync(fd) == 0) {
            ::close(fd);
            fd = -1;
            if (::rename(temp.c_str(), file_.c_str()) == 0) {
                ok = true;
                int dir = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (dir >= 0) {
                    ::fsync(dir);
                    ::close(dir);
                }
            }
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (!ok) {
            ::unlink(temp.c_str());
            logger().log(LogMessage("Cannot write defaults file ")
                         << file_.string() << ": " << std::strerror(errno));
            stamp_ = {};  // the in-memory change did not reach the disk: re-read next time
            reloadIfChangedLocked();
            return false;
        }
        stamp_ = {};
        reloadIfChangedLocked();  // take the new file's stamp
        for (const auto& o : observers_) {
            auto a = before.find(o->key);
            auto b = values_.find(o->key);
            const bool hadA = a != before.end();
            const bool hadB = b != values_.end();
            if (hadA != hadB || (hadA && !(a->second == b->second))) {
                changes.emplace_back(o->key, hadB ? std::optional(b->second) : std::nullopt);
            }
        }
    }
    if (!changes.empty()) {
        notify(changes);
    }
    return ok;
}

void UserDefaults::notify(
    const std::vector<std::pair<std::string, std::optional<DefaultsValue>>>& changes) {
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        observers = observers_;
    }
    // Each observer hears about its key once per call.
    for (const auto& o : observers) {
        for (const auto& change : changes) {
            const auto& value = change.second;
            if (change.first != o->key || !o->active.load()) {
                continue;
            }
            if (o->queue) {
                o->queue->async([o, value] {
                    if (o->active.load()) {
                        o->block(value);
                    }
                });
            } else {
                o->block(value);
            }
            break;
        }
    }
}

std::uint64_t UserDefaults::addObserver(const std::string& key,
                                        std::shared_ptr<DispatchQueue> queue,
                                        DefaultsObserver observer) {
    auto o = std::make_shared<Observer>();
    o->key = key;
    o->queue = std::move(queue);
    o->block = std::move(observer);
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    o->token = nextObserver_++;
    observers_.push_back(o);
    return o->token;
}

void UserDefaults::removeObserver(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
        if ((*it)->token == token) {
            (*it)->active.store(false);
            observers_.erase(it);
            return;
        }
    }
}

}  // namespace vk
