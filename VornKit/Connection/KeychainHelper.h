// KeychainHelper: stores, reads and deletes short text values under text keys in the keychain
// (SecretStore::shared(): the Secret Service, else the encrypted file store). Each value is one
// generic-password item whose generic attribute and account are the key's bytes, in the access
// group of the application group (shared by the application and its extensions). Items may be
// marked synchronizable and accessible in the background after the first unlock.
//
// Nothing is reported to the caller: failures are logged (unified log, category
// "KeychainHelper", the store's status as a signed decimal number) and reads return absent.
//
// Thread rule: thread-safe; each operation runs to completion on the calling thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Secrets/SecretStore.h"

namespace vk {

/// Text values under text keys in the keychain (see the file comment); thread-safe.
class VK_EXPORT KeychainHelper {
  public:
    /// The value stored under `key` (synchronizable or not); absent when there is none or it is
    /// not UTF-8 text.
    static std::optional<std::string> getValue(const std::string& key);
    /// With `synchronizable` true only a synchronizable item is found.
    static std::optional<std::string> getValue(const std::string& key, bool synchronizable);

    /// Stores `value` under `key`, replacing what is there.
    static void addOrUpdate(const std::string& key, const std::string& value);
    /// Stores `value` under `key`, readable in the background after the first unlock when
    /// `accessibleInBackground`; the items under `key` get the value and that accessibility.
    static void addOrUpdate(const std::string& key, const std::string& value,
                            bool accessibleInBackground);
    /// The same, a new item marked synchronizable when `synchronizable`.
    static void addOrUpdate(const std::string& key, const std::string& value,
                            bool accessibleInBackground, bool synchronizable);

    /// Deletes the items under `key` (synchronizable or not).
    static void deleteValue(const std::string& key);
    /// Deletes every generic-password item of the keychain that does not synchronise (of every
    /// access group); synchronizable items, such as the credentials, stay.
    static void removeAll();

    /// The query every keyed operation starts from: the key as generic attribute and account, the
    /// application group, synchronizable or not.
    static SecretQuery baseQuery(const std::string& key);
};

}  // namespace vk
