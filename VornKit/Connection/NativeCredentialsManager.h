// NativeCredentialsManager: keeps the host's credentials text (the JSON form of NativeCredentials:
// the known servers with their access tokens) in the keychain item "SERVER_CREDENTIALS_KEY"
// (synchronizable, readable in the background, shared through the application group) and hands
// the decoded server list to its owner, the connection manager.
//
// First run: on the first start after installation (the application-group defaults have no
// "hasRunOnce") a credentials item left from an earlier installation is deleted, not used. It is a
// first start only when the settings file is missing or was read without the flag, and the flag
// could then be written; a file that exists but cannot be read or parsed, or a flag that cannot be
// written, keeps the stored credentials (and the file is not touched).
//
// Bad text from the host (not UTF-8, not JSON, no "Servers", a server without "Id" or "Name", a
// wrongly typed value): the deserializing error is logged, the credentials item is deleted and the
// owner is not told; the text itself is never written to the keychain, so a crash cannot leave it
// there. A stored text that cannot be decoded (written by another version, damaged) is logged and
// kept as it is; the owner is not told.
//
// Logging: unified log, category "NativeCredentialsManager": "Updating credentials", "start
// updateConnectionManager" and the deserializing error; the keychain's lines are KeychainHelper's.
// Tokens are never logged.
//
// Thread rule: thread-safe; every operation runs on the caller's thread, and the owner's
// updateApiClients() is called on that same thread. Updates and loads run one at a time, each
// from storing (or reading) the text through telling the owner, so the owner always ends on the
// credentials stored last. The owner is told under that lock: it may call back into this object
// from updateApiClients() on the same thread, but must not wait there for another thread that
// does.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/NativeCredentials.h"

namespace vk {

/// What the credentials manager needs of its owner.
class VK_EXPORT ApiClientsUpdating {
  public:
    virtual ~ApiClientsUpdating() = default;
    /// Called with the server list of every credentials text decoded successfully.
    virtual void updateApiClients(std::optional<std::vector<ServerInfo>> servers) = 0;
};

/// Keeps the host's credentials text in the keychain and hands the decoded server list to its
/// owner (see the top of this file). Thread-safe; works on the caller's thread.
class VK_EXPORT NativeCredentialsManager {
  public:
    /// The keychain item of the credentials text, and the application-group defaults key that
    /// marks the first start after installation as done.
    /// @{
    static constexpr const char* kCredentialsKey = "SERVER_CREDENTIALS_KEY";
    static constexpr const char* kHasRunOnceKey = "hasRunOnce";
    /// @}

    /// Remembers `owner` weakly; deletes the stored credentials on the first run, otherwise loads
    /// them and tells `owner` before returning.
    explicit NativeCredentialsManager(std::weak_ptr<ApiClientsUpdating> owner);

    /// Reads the stored text and, when there is one, decodes it and tells the owner.
    void loadSavedCredentials();
    /// The stored credentials; absent when there are none or they cannot be decoded.
    std::optional<NativeCredentials> getCurrentCredentials();
    /// Stores the host's credentials text and tells the owner its servers.
    void updateCredentials(const std::string& credentialsJSON);

    /// Whether this is the first start after installation: the application-group settings hold
    /// no flag, were read (or do not exist), and the flag has now been set. False when they
    /// cannot be read or the flag cannot be written.
    static bool isFirstRun();
    /// Decodes a credentials text (dates in milliseconds since 1970).
    static CodingResult<NativeCredentials> decode(const std::string& credentialsJSON);

  private:
    enum class Source { Host, Keychain };
    /// Decodes `text` and tells the owner; on failure deletes the item when the text came from
    /// the host.
    void updateConnectionManager(const std::string& text, Source source);

    std::weak_ptr<ApiClientsUpdating> owner_;
    // Held from storing or reading the text through telling the owner. Recursive, so that the
    // owner may call back from updateApiClients(). Taken before any lock of the owner's.
    std::recursive_mutex updateMutex_;
};

}  // namespace vk
