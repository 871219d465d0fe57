// SecretServiceStore: the keychain on the desktop session's Secret Service
// (org.freedesktop.secrets: GNOME Keyring, KWallet, KeePassXC), through libsecret. Items go to the
// default collection with the schema "app.vorn.VornKit.GenericPassword" and these attributes:
// keychain (see below), generic, account, access-group, synchronizable ("true"/"false"),
// accessibility
// ("when-unlocked"/"after-first-unlock") and written (the write time in microseconds, which orders
// matches). The secret is the value's bytes; values travel over the bus in an encrypted session.
//
// Keychain: every item carries the store's keychain name and every query matches it, so that
// several independent stores can share one Secret Service (tests give each its own name). The
// default name is $VORNKIT_KEYCHAIN, else "login".
//
// Statuses: a locked collection gives InteractionNotAllowed; no service gives NotAvailable;
// attributes that are not UTF-8 give Param (the bus carries text only).
//
// Never a prompt: where the service would ask a user (unlock a collection, create the default one
// with a password), the prompt is dismissed unseen and the operation gives InteractionNotAllowed,
// so no caller ever waits for a person. Each operation opens a session of its own on the process's
// session bus (a service that restarts meanwhile is found again).
//
// Thread rule: thread-safe; calls are serialised within the process.
#pragma once

#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Secrets/SecretStore.h"

namespace vk {

/// The keychain on the desktop's Secret Service, through libsecret (see the top of this file).
class VK_EXPORT SecretServiceStore : public SecretStore {
  public:
    /// The Secret Service's bus name.
    static constexpr const char* kBusName = "org.freedesktop.secrets";
    /// The libsecret schema every item carries.
    static constexpr const char* kSchemaName = "app.vorn.VornKit.GenericPassword";

    /// A store in the keychain `keychain` ($VORNKIT_KEYCHAIN or "login" when empty).
    explicit SecretServiceStore(std::string keychain = {});

    SecretStatus copyFirst(const SecretQuery& query, SecretItem& item) override;
    SecretStatus add(const SecretItem& item) override;
    SecretStatus update(const SecretQuery& query, const SecretUpdate& changes) override;
    SecretStatus remove(const SecretQuery& query) override;
    std::string_view backendName() const override { return "secret-service"; }

    /// Whether a write can succeed now without asking anyone: Success when the service's default
    /// collection is unlocked, or the service unlocks or creates it without a prompt (this call
    /// does that; the collection then stays); InteractionNotAllowed when it needs a user (locked,
    /// or none and making one asks for a password); NotAvailable when no service answers. Starts
    /// an activatable service.
    static SecretStatus openDefaultCollection();

    /// The keychain name every item of this store carries and every query matches.
    const std::string& keychain() const { return keychain_; }

  private:
    std::string keychain_;
};

}  // namespace vk
