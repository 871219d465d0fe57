#include "VornKit/Platform/Secrets/SecretStore.h"

#include <cstdlib>

#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/ProcessShared.h"
#include "VornKit/Platform/Secrets/CombinedSecretStore.h"
#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"
#include "VornKit/Platform/Secrets/SecretServiceStore.h"

namespace vk {

bool SecretQuery::matches(const SecretItem& item) const {
    if (generic && *generic != item.generic)
        return false;
    if (account && *account != item.account)
        return false;
    if (accessGroup && *accessGroup != item.accessGroup)
        return false;
    switch (synchronizable) {
        case SynchronizableMatch::NotSynchronizable:
            return !item.synchronizable;
        case SynchronizableMatch::Synchronizable:
            return item.synchronizable;
        case SynchronizableMatch::Any:
            return true;
    }
    return false;
}

bool sameSecretIdentity(const SecretItem& a, const SecretItem& b) {
    return a.generic == b.generic && a.account == b.account && a.accessGroup == b.accessGroup &&
           a.synchronizable == b.synchronizable;
}

SecretQuery secretIdentityQuery(const SecretItem& item) {
    SecretQuery identity;
    identity.generic = item.generic;
    identity.account = item.account;
    identity.accessGroup = item.accessGroup;
    identity.synchronizable = item.synchronizable ? SynchronizableMatch::Synchronizable
                                                  : SynchronizableMatch::NotSynchronizable;
    return identity;
}

std::string secretStatusDescription(SecretStatus status) {
    switch (status) {
        case SecretStatusCode::Success:
            return "no error";
        case SecretStatusCode::IO:
            return "a file of the keychain could not be read or written";
        case SecretStatusCode::Param:
            return "the keychain cannot hold such an item";
        case SecretStatusCode::NotAvailable:
            return "no usable keychain (refused or unreachable)";
        case SecretStatusCode::AuthFailed:
            return "the keychain refused this program";
        case SecretStatusCode::DuplicateItem:
            return "the item exists already";
        case SecretStatusCode::ItemNotFound:
            return "no such item";
        case SecretStatusCode::InteractionNotAllowed:
            return "the keychain is locked or not set up, and only a user can open it";
        case SecretStatusCode::Decode:
            return "the keychain holds data that cannot be read";
        default:
            return "status " + std::to_string(status);
    }
}

std::shared_ptr<SecretStore> SecretStore::makeDefault() {
    const char* forced = std::getenv("VORNKIT_SECRET_STORE");
    const std::string choice = forced ? forced : "";
    auto fileStore = std::make_shared<EncryptedFileSecretStore>(
        EncryptedFileSecretStore::defaultDirectory(*Environment::current()));
    if (choice == "file")
        return fileStore;
    if (choice == "secret-service")
        return std::make_shared<SecretServiceStore>();
    auto bus = DBusConnection::session();
    if (!bus || !(bus->nameHasOwner(SecretServiceStore::kBusName) ||
                  bus->nameIsActivatable(SecretServiceStore::kBusName))) {
        return fileStore;
    }
    // Asking the service starts it when it is only activatable.
    auto service = std::make_shared<SecretServiceStore>();
    const SecretStatus ready = SecretServiceStore::openDefaultCollection();
    if (ready == SecretStatusCode::Success)
        return std::make_shared<CombinedSecretStore>(service, fileStore);
    static const Logger log("SecretStore");
    log.log("The Secret Service cannot take items without a user (" +
            secretStatusDescription(ready) + "); using the encrypted file store");
    if (ready == SecretStatusCode::InteractionNotAllowed)
        return std::make_shared<CombinedSecretStore>(fileStore, service);
    return fileStore;
}

std::shared_ptr<SecretStore> SecretStore::shared() {
    return ProcessShared<SecretStore>::get(makeDefault);
}

void SecretStore::install(std::shared_ptr<SecretStore> store) {
    ProcessShared<SecretStore>::install(std::move(store));
}

}  // namespace vk
