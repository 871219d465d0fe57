#include "VornKit/Connection/KeychainHelper.h"

#include <simdjson.h>

#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Logger log("KeychainHelper");
    return log;
}

std::shared_ptr<SecretStore> store() {
    return SecretStore::shared();
}

}  // namespace

SecretQuery KeychainHelper::baseQuery(const std::string& key) {
    SecretQuery query;
    query.generic = key;
    query.account = key;
    query.synchronizable = SynchronizableMatch::Any;
    query.accessGroup = std::string(Directories::kApplicationGroupIdentifier);
    return query;
}

std::optional<std::string> KeychainHelper::getValue(const std::string& key) {
    return getValue(key, false);
}

std::optional<std::string> KeychainHelper::getValue(const std::string& key, bool synchronizable) {
    SecretQuery query = baseQuery(key);
    if (synchronizable)
        query.synchronizable = SynchronizableMatch::Synchronizable;
    SecretItem item;
    SecretStatus status = store()->copyFirst(query, item);
    if (status == SecretStatusCode::ItemNotFound)
        return std::nullopt;
    if (status != SecretStatusCode::Success) {
        logger().log(LogMessage("ERROR: Unable to retrieve value for key. Status: ")
                     << static_cast<long long>(status));
        return std::nullopt;
    }
    if (!simdjson::validate_utf8(item.value.data(), item.value.size())) {
        logger().log("ERROR: Invalid data returned for key.");
        return std::nullopt;
    }
    return std::move(item.value);
}

void KeychainHelper::addOrUpdate(const std::string& key, const std::string& value) {
    addOrUpdate(key, value, false, false);
}

void KeychainHelper::addOrUpdate(const std::string& key, const std::string& value,
                                 bool accessibleInBackground) {
    addOrUpdate(key, value, accessibleInBackground, false);
}

void KeychainHelper::addOrUpdate(const std::string& key, const std::string& value,
                                 bool accessibleInBackground, bool synchronizable) {
    SecretItem item;
    item.generic = key;
    item.account = key;
    item.accessGroup = std::string(Directories::kApplicationGroupIdentifier);
    item.synchronizable = synchronizable;
    item.accessibility = accessibleInBackground ? SecretAccessibility::AfterFirstUnlock
                                                : SecretAccessibility::WhenUnlocked;
    item.value = value;
    auto keychain = store();
    SecretStatus status = keychain->add(item);
    if (status == SecretStatusCode::DuplicateItem) {
        SecretUpdate changes;
        changes.value = value;
        // Without background access the update names the accessibility as null: the item goes
        // back to the default.
        changes.accessibility.emplace();
        if (accessibleInBackground)
            changes.accessibility->emplace(SecretAccessibility::AfterFirstUnlock);
        status = keychain->update(baseQuery(key), changes);
    }
    if (status != SecretStatusCode::Success) {
        logger().log(LogMessage("ERROR: Unable to addOrUpdate key. Status: ")
                     << static_cast<long long>(status));
    }
}

void KeychainHelper::deleteValue(const std::string& key) {
    SecretStatus status = store()->remove(baseQuery(key));
    if (status != SecretStatusCode::Success && status != SecretStatusCode::ItemNotFound) {
        logger().log(LogMessage("ERROR: deleting value for key. Status: ")
                     << static_cast<long long>(status));
    }
}

void KeychainHelper::removeAll() {
    // A query that names nothing but the item class matches what the store matches by default:
    // items that do not synchronise, in every access group.
    if (store()->remove(SecretQuery{}) != SecretStatusCode::Success)
        logger().log("ERROR: deleting all");
}

}  // namespace vk
