// CombinedSecretStore: the keychain over two stores, for a process whose items may be in either:
// the preferred store, which takes new items, and the other one, where an earlier start that chose
// differently left some (a headless start with the keyring locked wrote to the encrypted file
// store; a desktop start with the keyring open writes to the Secret Service).
//
//   - copyFirst() asks both; of a match in each, the one written later wins (ties: the preferred
//     store's). A store that cannot answer (locked, unreachable) does not hide the other's match;
//     when neither has one, its failure is returned rather than ItemNotFound, so a caller learns
//     that an item may be there.
//   - add() adds to the preferred store and then removes the item from the other one: the item
//     moves. When the preferred store cannot take items now (NotAvailable, InteractionNotAllowed)
//     the item goes to the other store instead.
//   - update() changes the matches in both stores (the store holding the later-written match
//     last, so that it stays the one found); it succeeds when either changed some. A copy that
//     could not be changed was written before the changed one, so reads do not see it.
//   - remove() removes from both and fails when either store failed (other than ItemNotFound):
//     a removal that left an item somewhere is never reported as done.
//
// Thread rule: thread-safe as its two stores are; the stores are shared with the caller.
#pragma once

#include <memory>

#include "VornKit/Export.h"
#include "VornKit/Platform/Secrets/SecretStore.h"

namespace vk {

/// The keychain over a preferred and another store (see the file comment); thread-safe.
class VK_EXPORT CombinedSecretStore : public SecretStore {
  public:
    /// New items go to `preferred`; items already in `other` stay found. Neither may be null.
    CombinedSecretStore(std::shared_ptr<SecretStore> preferred, std::shared_ptr<SecretStore> other);

    SecretStatus copyFirst(const SecretQuery& query, SecretItem& item) override;
    SecretStatus add(const SecretItem& item) override;
    SecretStatus update(const SecretQuery& query, const SecretUpdate& changes) override;
    SecretStatus remove(const SecretQuery& query) override;
    /// The preferred store's name.
    std::string_view backendName() const override { return preferred_->backendName(); }

    /// The store that takes new items, and the one whose items stay found (shared).
    /// @{
    const std::shared_ptr<SecretStore>& preferred() const { return preferred_; }
    const std::shared_ptr<SecretStore>& other() const { return other_; }
    /// @}

  private:
    const std::shared_ptr<SecretStore> preferred_;
    const std::shared_ptr<SecretStore> other_;
};

}  // namespace vk
