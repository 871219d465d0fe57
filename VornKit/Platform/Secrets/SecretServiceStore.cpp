#include "VornKit/Platform/Secrets/SecretServiceStore.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace vk {

namespace {

constexpr const char* kKeychain = "keychain";
constexpr const char* kGeneric = "generic";
constexpr const char* kAccount = "account";
constexpr const char* kAccessGroup = "access-group";
constexpr const char* kSynchronizable = "synchronizable";
constexpr const char* kAccessibility = "accessibility";
constexpr const char* kWritten = "written";
constexpr const char* kAttributeNames[] = {kKeychain,       kGeneric,       kAccount, kAccessGroup,
                                           kSynchronizable, kAccessibility, kWritten};

/// libsecret's service object is process-wide; its calls are kept one at a time.
std::mutex& serviceMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema made{};
        made.name = SecretServiceStore::kSchemaName;
        made.flags = SECRET_SCHEMA_NONE;
        int i = 0;
        for (const char* name : kAttributeNames) {
            made.attributes[i].name = name;
            made.attributes[i].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
            ++i;
        }
        return made;
    }();
    return &value;
}

/// A text-to-text GHashTable as libsecret takes attributes.
class Attributes {
  public:
    Attributes() : table_(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free)) {}
    ~Attributes() { g_hash_table_unref(table_); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    void set(const char* name, const std::string& value) {
        g_hash_table_replace(table_, g_strdup(name), g_strdup(value.c_str()));
    }
    GHashTable* get() const { return table_; }

  private:
    GHashTable* table_;
};

class Error {
  public:
    ~Error() {
        if (error_)
            g_error_free(error_);
    }
    GError** out() { return &error_; }
    explicit operator bool() const { return error_ != nullptr; }
    SecretStatus status() const {
        if (!error_)
            return SecretStatusCode::Success;
        if (error_->domain == SECRET_ERROR) {
            switch (error_->code) {
                case SECRET_ERROR_IS_LOCKED:
                    return SecretStatusCode::InteractionNotAllowed;
                case SECRET_ERROR_NO_SUCH_OBJECT:
                    return SecretStatusCode::ItemNotFound;
                case SECRET_ERROR_ALREADY_EXISTS:
                    return SecretStatusCode::DuplicateItem;
                default:
                    return SecretStatusCode::IO;
            }
        }
        return SecretStatusCode::NotAvailable;
    }

  private:
    GError* error_ = nullptr;
};

/// Texts on the bus must be UTF-8.
bool validText(const std::string& text) {
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) &&
           text.find('\0') == std::string::npos;
}

std::string yesNo(bool value) {
    return value ? "true" : "false";
}

std::string accessibilityText(SecretAccessibility accessibility) {
    return accessibility == SecretAccessibility::AfterFirstUnlock ? "after-first-unlock"
                                                                  : "when-unlocked";
}

std::string writtenNow() {
    return std::to_string(g_get_real_time());
}

// A SecretService that never shows a prompt: where the service wants to ask a user (to unlock a
// collection, to create one with a password), the prompt is dismissed unseen and the call fails
// as if the collection were locked. No caller ever waits for a person.
struct QuietService {
    SecretService parent;
};
struct QuietServiceClass {
    SecretServiceClass parent_class;
};

G_DEFINE_TYPE(QuietService, quiet_service, SECRET_TYPE_SERVICE)

constexpr const char* kPromptRefused =
    "the Secret Service wants a user to answer; no prompt is shown";

void dismiss(SecretPrompt* prompt) {
    GVariant* reply =
        g_dbus_proxy_call_sync(G_DBUS_PROXY(prompt), "Dismiss", nullptr,
                               G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
}

GVariant* refusePromptSync(SecretService*, SecretPrompt* prompt, GCancellable*, const GVariantType*,
                           GError** error) {
    dismiss(prompt);
    g_set_error_literal(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED, kPromptRefused);
    return nullptr;
}

void refusePrompt(SecretService* self, SecretPrompt* prompt, const GVariantType*,
                  GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
    dismiss(prompt);
    GTask* task = g_task_new(self, cancellable, callback, data);
    g_task_return_new_error(task, SECRET_ERROR, SECRET_ERROR_IS_LOCKED, "%s", kPromptRefused);
    g_object_unref(task);
}

GVariant* refusedPromptResult(SecretService*, GAsyncResult* result, GError** error) {
    return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

void quiet_service_init(QuietService*) {}

void quiet_service_class_init(QuietServiceClass* type) {
    auto* service = reinterpret_cast<SecretServiceClass*>(type);
    service->prompt_sync = refusePromptSync;
    service->prompt_async = refusePrompt;
    service->prompt_finish = refusedPromptResult;
}

/// Asks the service for the default collection, made without a password; the service's prompt
/// for one is refused. The call runs in a main context of its own that is iterated until nothing
/// is left in it: GLib hands the prompt proxy's signal subscriptions back to the context they were
/// made in when the prompt goes, and a context nobody iterates again would keep them for ever.
SecretCollection* createDefaultCollection(SecretService* service, Error& error) {
    struct Call {
        SecretCollection* collection = nullptr;
        GError* error = nullptr;
        bool done = false;
    } call;
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    secret_collection_create(
        service, "Login", SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_CREATE_NONE, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            auto* call = static_cast<Call*>(data);
            call->collection = secret_collection_create_finish(result, &call->error);
            call->done = true;
        },
        &call);
    while (!call.done)
        g_main_context_iteration(context, TRUE);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (call.error)
        g_propagate_error(error.out(), call.error);
    return call.collection;
}

/// A connection to the service of its own, with an open (encrypted) session.
class Service {
  public:
    Service() {
        service_ = secret_service_open_sync(quiet_service_get_type(), nullptr,
                                            SECRET_SERVICE_OPEN_SESSION, nullptr, error_.out());
    }
    ~Service() {
        if (service_)
            g_object_unref(service_);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    SecretService* get() const { return service_; }
    SecretStatus status() const {
        return service_ ? SecretStatusCode::Success : SecretStatusCode::NotAvailable;
    }

  private:
    Error error_;
    SecretService* service_ = nullptr;
};

/// The matched items, newest write first.
class Items {
  public:
    Items(const Service& service, const Attributes& attributes, bool loadSecrets) {
        auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL |
                                                    (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0));
        list_ = secret_service_search_sync(service.get(), schema(), attributes.get(), flags,
                                           nullptr, error_.out());
        for (GList* node = list_; node != nullptr; node = node->next)
            items_.push_back(static_cast<::SecretItem*>(node->data));
        std::stable_sort(items_.begin(), items_.end(),
                         [](::SecretItem* a, ::SecretItem* b) { return written(a) > written(b); });
    }
    ~Items() { g_list_free_full(list_, g_object_unref); }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;

    SecretStatus status() const { return error_.status(); }
    const std::vector<::SecretItem*>& items() const { return items_; }

    static std::string attribute(::SecretItem* item, const char* name) {
        GHashTable* attributes = secret_item_get_attributes(item);
        auto* value = static_cast<const char*>(g_hash_table_lookup(attributes, name));
        std::string text = value ? value : "";
        g_hash_table_unref(attributes);
        return text;
    }

  private:
    static long long written(::SecretItem* item) {
        return std::atoll(attribute(item, kWritten).c_str());
    }

    Error error_;
    GList* list_ = nullptr;
    std::vector<::SecretItem*> items_;
};

}  // namespace

SecretServiceStore::SecretServiceStore(std::string keychain) : keychain_(std::move(keychain)) {
    if (keychain_.empty()) {
        const char* fromEnvironment = std::getenv("VORNKIT_KEYCHAIN");
        keychain_ = (fromEnvironment && *fromEnvironment) ? fromEnvironment : "login";
    }
}

namespace {

bool queryAttributes(const std::string& keychain, const SecretQuery& query,
                     Attributes& attributes) {
    attributes.set(kKeychain, keychain);
    const std::pair<const char*, const std::optional<std::string>*> named[] = {
        {kGeneric, &query.generic},
        {kAccount, &query.account},
        {kAccessGroup, &query.accessGroup},
    };
    for (const auto& [name, value] : named) {
        if (*value) {
            if (!validText(**value))
                return false;
            attributes.set(name, **value);
        }
    }
    if (query.synchronizable != SynchronizableMatch::Any)
        attributes.set(kSynchronizable,
                       yesNo(query.synchronizable == SynchronizableMatch::Synchronizable));
    return true;
}

SecretValue* makeValue(const std::string& bytes) {
    return secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()),
                            "application/octet-stream");
}

/// Runs `act` on the items matching `query`, newest write first; ItemNotFound when none does.
SecretStatus withMatches(
    const std::string& keychain, const SecretQuery& query, bool loadSecrets,
    const std::function<SecretStatus(const std::vector<::SecretItem*>&)>& act) {
    Attributes attributes;
    if (!queryAttributes(keychain, query, attributes))
        return SecretStatusCode::ItemNotFound;  // no stored item can have such an attribute
    std::lock_guard lock(serviceMutex());
    Service service;
    if (service.status() != SecretStatusCode::Success)
        return service.status();
    Items found(service, attributes, loadSecrets);
    if (found.status() != SecretStatusCode::Success)
        return found.status();
    if (found.items().empty())
        return SecretStatusCode::ItemNotFound;
    return act(found.items());
}

}  // namespace

SecretStatus SecretServiceStore::copyFirst(const SecretQuery& query, SecretItem& item) {
    return withMatches(keychain_, query, true, [&](const std::vector<::SecretItem*>& matches) {
        ::SecretItem* match = matches.front();
        if (secret_item_get_locked(match))
            return SecretStatusCode::InteractionNotAllowed;
        SecretValue* value = secret_item_get_secret(match);
        if (!value) {
            Error error;
            secret_item_load_secret_sync(match, nullptr, error.out());
            if (error)
                return error.status();
            value = secret_item_get_secret(match);
            if (!value)
                return SecretStatusCode::Decode;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        item.value.assign(bytes, length);
        secret_value_unref(value);
        item.generic = Items::attribute(match, kGeneric);
        item.account = Items::attribute(match, kAccount);
        item.accessGroup = Items::attribute(match, kAccessGroup);
        item.synchronizable = Items::attribute(match, kSynchronizable) == "true";
        item.written = std::atoll(Items::attribute(match, kWritten).c_str());
        item.accessibility = Items::attribute(match, kAccessibility) == "after-first-unlock"
                                 ? SecretAccessibility::AfterFirstUnlock
                                 : SecretAccessibility::WhenUnlocked;
        return SecretStatusCode::Success;
    });
}

SecretStatus SecretServiceStore::add(const SecretItem& item) {
    if (!validText(item.generic) || !validText(item.account) || !validText(item.accessGroup))
        return SecretStatusCode::Param;
    Attributes attributes;
    queryAttributes(keychain_, secretIdentityQuery(item), attributes);

    std::lock_guard lock(serviceMutex());
    Service service;
    if (service.status() != SecretStatusCode::Success)
        return service.status();
    {
        Items existing(service, attributes, false);
        if (existing.status() != SecretStatusCode::Success)
            return existing.status();
        if (!existing.items().empty())
            return SecretStatusCode::DuplicateItem;
    }
    attributes.set(kAccessibility, accessibilityText(item.accessibility));
    attributes.set(kWritten, writtenNow());
    SecretValue* value = makeValue(item.value);
    const std::string label = item.accessGroup + " " + item.account;
    Error error;
    secret_service_store_sync(service.get(), schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                              label.c_str(), value, nullptr, error.out());
    secret_value_unref(value);
    return error.status();
}

SecretStatus SecretServiceStore::update(const SecretQuery& query, const SecretUpdate& changes) {
    return withMatches(keychain_, query, false, [&](const std::vector<::SecretItem*>& matches) {
        for (::SecretItem* match : matches) {
            if (secret_item_get_locked(match))
                return SecretStatusCode::InteractionNotAllowed;
            if (changes.value) {
                SecretValue* value = makeValue(*changes.value);
                Error error;
                secret_item_set_secret_sync(match, value, nullptr, error.out());
                secret_value_unref(value);
                if (error)
                    return error.status();
            }
            Attributes updated;
            for (const char* name : kAttributeNames)
                updated.set(name, Items::attribute(match, name));
            if (changes.accessibility)
                updated.set(kAccessibility, accessibilityText(changes.accessibility->value_or(
                                                SecretAccessibility::WhenUnlocked)));
            updated.set(kWritten, writtenNow());
            Error error;
            secret_item_set_attributes_sync(match, schema(), updated.get(), nullptr, error.out());
            if (error)
                return error.status();
        }
        return SecretStatusCode::Success;
    });
}

SecretStatus SecretServiceStore::openDefaultCollection() {
    std::lock_guard lock(serviceMutex());
    Service service;
    if (service.status() != SecretStatusCode::Success)
        return service.status();
    Error error;
    SecretCollection* collection = secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out());
    if (error)
        return error.status();
    if (!collection) {
        // What a first write would make; a service that wants a password for it is refused.
        collection = createDefaultCollection(service.get(), error);
        if (!collection)
            return error ? error.status() : SecretStatusCode::NotAvailable;
    }
    SecretStatus status = SecretStatusCode::Success;
    if (secret_collection_get_locked(collection)) {
        GList objects{collection, nullptr, nullptr};
        GList* unlocked = nullptr;
        secret_service_unlock_sync(service.get(), &objects, nullptr, &unlocked, error.out());
        if (error)
            status = error.status();
        else if (!unlocked)
            status = SecretStatusCode::InteractionNotAllowed;
        g_list_free_full(unlocked, g_object_unref);
    }
    g_object_unref(collection);
    return status;
}

SecretStatus SecretServiceStore::remove(const SecretQuery& query) {
    return withMatches(keychain_, query, false, [&](const std::vector<::SecretItem*>& matches) {
        for (::SecretItem* match : matches) {
            Error error;
            secret_item_delete_sync(match, nullptr, error.out());
            if (error)
                return error.status();
        }
        return SecretStatusCode::Success;
    });
}

}  // namespace vk
