// SecretStore: the per-user keychain of generic-password items. An item is identified by its
// generic attribute, account and access group (the group an application shares with its
// extensions) together with its synchronizable mark; it holds a value (bytes) and an
// accessibility. Operations return the platform's well-known status numbers, so that log lines
// print codes a host developer can look up.
//
// Matching: a query names any of generic attribute, account and access group (an unnamed one
// matches everything) and how to treat the synchronizable mark (only items without it by default,
// only items with it, or any). copyFirst() returns the most recently written match; every store
// records when it wrote an item (SecretItem::written), so that matches from two stores can be
// ordered too.
//
// Backends, chosen at run time by SecretStore::shared() (see there): the Secret Service of the
// desktop session (SecretServiceStore, libsecret) and an encrypted per-user file
// (EncryptedFileSecretStore, libsodium), combined so that items stay found when the choice changes
// between two starts (CombinedSecretStore). MemorySecretStore is the test double.
//
// Thread rule: every store is thread-safe; each operation runs to completion on the calling
// thread. Values are copied in and out; nothing returned refers to the store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "VornKit/Export.h"

namespace vk {

/// Status numbers of the platform's keychain services.
using SecretStatus = std::int32_t;
namespace SecretStatusCode {
inline constexpr SecretStatus Success = 0;
inline constexpr SecretStatus IO = -36;               ///< a file could not be read or written
inline constexpr SecretStatus Param = -50;            ///< an attribute the store cannot hold
inline constexpr SecretStatus NotAvailable = -25291;  ///< no usable store (refused, unreachable)
inline constexpr SecretStatus AuthFailed = -25293;    ///< the store refused the caller
inline constexpr SecretStatus DuplicateItem = -25299;
inline constexpr SecretStatus ItemNotFound = -25300;
inline constexpr SecretStatus InteractionNotAllowed = -25308;  ///< locked; unlocking needs a user
inline constexpr SecretStatus Decode = -26275;  ///< stored data that cannot be read back
}  // namespace SecretStatusCode

/// When an item may be read.
enum class SecretAccessibility {
    WhenUnlocked,      ///< the default: while the user's session is unlocked
    AfterFirstUnlock,  ///< also in the background once the session has been unlocked once
};

/// Which items a query matches by their synchronizable mark.
enum class SynchronizableMatch {
    NotSynchronizable,  ///< the default: only items that do not synchronise
    Synchronizable,     ///< only items that may synchronise
    Any,
};

/// One stored secret with the attributes that identify it (a value).
struct VK_EXPORT SecretItem {
    std::string generic;  ///< generic attribute (bytes)
    std::string account;  ///< account (bytes)
    /// The access group the item is shared through, whether it may synchronise to the user's other
    /// devices, and when it can be read.
    /// @{
    std::string accessGroup;
    bool synchronizable = false;
    SecretAccessibility accessibility = SecretAccessibility::WhenUnlocked;
    /// @}
    std::string value;  ///< the secret (bytes)
    /// When the store last wrote the item, in microseconds since 1970 (UTC); set by the store,
    /// ignored by add(). 0 when the store does not know (items written by older versions).
    std::int64_t written = 0;

    /// Equality of what the item holds: every field but `written`.
    friend bool operator==(const SecretItem& a, const SecretItem& b) {
        return a.generic == b.generic && a.account == b.account && a.accessGroup == b.accessGroup &&
               a.synchronizable == b.synchronizable && a.accessibility == b.accessibility &&
               a.value == b.value;
    }
};

/// Which items an operation acts on: each present attribute must be equal.
struct VK_EXPORT SecretQuery {
    /// The attributes to match (an absent one matches any value) and which synchronising items
    /// match.
    /// @{
    std::optional<std::string> generic;
    std::optional<std::string> account;
    std::optional<std::string> accessGroup;
    SynchronizableMatch synchronizable = SynchronizableMatch::NotSynchronizable;
    /// @}

    /// Whether `item` has every present attribute and a matching synchronizable mark.
    bool matches(const SecretItem& item) const;
};

/// A short English description of `status` for messages to people ("no usable keychain (refused
/// or unreachable)", ...); "status N" for statuses it does not know.
VK_EXPORT std::string secretStatusDescription(SecretStatus status);

/// Whether two items have the same identity: generic attribute, account, access group and
/// synchronizable mark (add() refuses a second item with the identity of one stored).
VK_EXPORT bool sameSecretIdentity(const SecretItem& a, const SecretItem& b);

/// The query naming exactly `item`'s identity: it matches the items sameSecretIdentity() finds
/// the same as `item`, and no other.
VK_EXPORT SecretQuery secretIdentityQuery(const SecretItem& item);

/// The changes update() makes to every matched item. `accessibility` holding an empty optional
/// (an explicit null) puts the default accessibility back.
struct VK_EXPORT SecretUpdate {
    /// The new secret, and the new accessibility; absent ones stay as they are.
    /// @{
    std::optional<std::string> value;
    std::optional<std::optional<SecretAccessibility>> accessibility;
    /// @}
};

/// A store of secrets (the keychain); thread-safe, shared through shared().
class VK_EXPORT SecretStore {
  public:
    virtual ~SecretStore() = default;

    /// The most recently written item matching `query` into `item`; ItemNotFound when none.
    virtual SecretStatus copyFirst(const SecretQuery& query, SecretItem& item) = 0;
    /// Adds `item`; DuplicateItem when an item with the same generic attribute, account, access
    /// group and synchronizable mark exists (nothing is changed then).
    virtual SecretStatus add(const SecretItem& item) = 0;
    /// Changes every item matching `query`; ItemNotFound when none matches.
    virtual SecretStatus update(const SecretQuery& query, const SecretUpdate& changes) = 0;
    /// Deletes every item matching `query`; ItemNotFound when none matches.
    virtual SecretStatus remove(const SecretQuery& query) = 0;

    /// "secret-service", "file", "memory": for status lines and diagnostics. A store made of
    /// several names the one that takes new items.
    virtual std::string_view backendName() const = 0;

    /// The process's store: the installed one, else one chosen on first use (never asking anyone
    /// anything; nothing is shown to a user):
    ///   - VORNKIT_SECRET_STORE=file or =secret-service in the environment forces that backend
    ///     alone;
    ///   - the Secret Service when the session bus has one (running, or started on demand) and a
    ///     write to it can succeed without a prompt: its default collection is unlocked, or the
    ///     service unlocks or creates it without asking
    ///     (SecretServiceStore::openDefaultCollection); new items go there, and items an earlier
    ///     start left in the encrypted file store are still found there (CombinedSecretStore);
    ///   - the encrypted file store under the current Environment's data home otherwise (no
    ///     service; a locked keyring or one without a default collection, as on a headless or SSH
    ///     session); when the service runs but needs a user, items in it are still read from it
    ///     (and reported as locked while they cannot be).
    static std::shared_ptr<SecretStore> shared();
    /// Makes `store` the process's store (null: choose again on next use).
    static void install(std::shared_ptr<SecretStore> store);
    /// The store shared() would choose now, asking the Secret Service as it does (not installed).
    static std::shared_ptr<SecretStore> makeDefault();
};

}  // namespace vk
