// EncryptedFileSecretStore: the keychain for hosts without a Secret Service (kiosks, car head
// units). Items are kept in one file encrypted with libsodium's secretbox (XSalsa20-Poly1305); the
// 32-byte key is in a second file beside it. Both files are 0600 in a 0700 directory owned by the
// user (by default <XDG data home>/vornkit-secrets).
//
// Writes: under an exclusive lock across processes (flock on a lock file in the directory) the
// store is read, changed, encrypted with a fresh nonce, written to a temporary file, synced and
// renamed over the old one; a process killed at any point leaves the old or the new file, never a
// mix. Reads take a shared lock and never write; nor do update() and remove() of a store that does
// not exist yet (ItemNotFound). Each item keeps its write time (stores written by versions that
// kept none are read with time 0 and get times as they are rewritten).
//
// Refusals (logged, status NotAvailable, the file left untouched and unused): a directory, key or
// store file that is not the user's own, that group or others may access, or that is a symbolic
// link. A store that cannot be decrypted (another key, damage) answers Decode to reads and writes
// alike and is kept as it is.
//
// What this protects against and what it does not: see the README ("Secrets on hosts without a
// Secret Service").
//
// Thread rule: thread-safe (a mutex serialises the threads of one process; the file lock
// serialises processes).
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Secrets/SecretStore.h"

namespace vk {

class Environment;

/// The keychain in an encrypted file (see the file comment); thread- and process-safe.
class VK_EXPORT EncryptedFileSecretStore : public SecretStore {
  public:
    /// The names of the key, the encrypted items and the lock file inside the store's directory.
    /// @{
    static constexpr const char* kKeyFileName = "key";
    static constexpr const char* kStoreFileName = "store";
    static constexpr const char* kLockFileName = "lock";
    /// @}

    /// `<data home>/vornkit-secrets`.
    static std::filesystem::path defaultDirectory(const Environment& environment);

    /// A store whose files live in `directory`; nothing is created or read before the first call.
    explicit EncryptedFileSecretStore(std::filesystem::path directory);

    SecretStatus copyFirst(const SecretQuery& query, SecretItem& item) override;
    SecretStatus add(const SecretItem& item) override;
    SecretStatus update(const SecretQuery& query, const SecretUpdate& changes) override;
    SecretStatus remove(const SecretQuery& query) override;
    std::string_view backendName() const override { return "file"; }

    /// The directory of the store's files; fixed for the object's life.
    const std::filesystem::path& directory() const { return directory_; }

  private:
    struct Loaded;
    class Lock;

    /// Reads every item (under a lock taken by the caller).
    SecretStatus load(std::vector<SecretItem>& items, bool createKey, std::string& key);
    SecretStatus save(const std::vector<SecretItem>& items, const std::string& key);
    /// Runs `change` on the items under the exclusive lock and saves when it returns Success.
    /// Without `create`, a store that does not exist yet is ItemNotFound and is not made.
    SecretStatus modify(const std::function<SecretStatus(std::vector<SecretItem>&)>& change,
                        bool create);
    SecretStatus checkDirectory(bool create);
    void refuse(const std::string& reason);

    const std::filesystem::path directory_;
    std::mutex mutex_;
    std::string lastRefusal_;
};

}  // namespace vk
