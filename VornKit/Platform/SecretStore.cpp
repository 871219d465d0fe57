#include "VornKit/Platform/SecretStore.h"

#include <cstdlib>

#include "VornKit/Platform/DBusConnection.h"
#include "VornKit/Platform/EncryptedFileSecretStore.h"
#include "VornKit/Platform/Environment.h"
#include "VornKit/Platform/ProcessShared.h"
#include "VornKit/Platform/SecretServiceStore.h"

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

std::shared_ptr<SecretStore> SecretStore::makeDefault() {
    const char* forced = std::getenv("VORNKIT_SECRET_STORE");
    const std::string choice = forced ? forced : "";
    auto fileStore = [] {
        return std::make_shared<EncryptedFileSecretStore>(
            EncryptedFileSecretStore::defaultDirectory(*Environment::current()));
    };
    if (choice == "file")
        return fileStore();
    if (choice == "secret-service")
        return std::make_shared<SecretServiceStore>();
    if (auto bus = DBusConnection::session()) {
        if (bus->nameHasOwner(SecretServiceStore::kBusName) ||
            bus->nameIsActivatable(SecretServiceStore::kBusName)) {
            return std::make_shared<SecretServiceStore>();
        }
    }
    return fileStore();
}

std::shared_ptr<SecretStore> SecretStore::shared() {
    return ProcessShared<SecretStore>::get(makeDefault);
}

void SecretStore::install(std::shared_ptr<SecretStore> store) {
    ProcessShared<SecretStore>::install(std::move(store));
}

}  // namespace vk
