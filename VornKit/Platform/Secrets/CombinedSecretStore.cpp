#include "VornKit/Platform/Secrets/CombinedSecretStore.h"

namespace vk {

namespace {

bool failed(SecretStatus status) {
    return status != SecretStatusCode::Success && status != SecretStatusCode::ItemNotFound;
}

/// A store that cannot take items now, though it may later or elsewhere.
bool cannotTakeItems(SecretStatus status) {
    return status == SecretStatusCode::NotAvailable ||
           status == SecretStatusCode::InteractionNotAllowed;
}

/// The outcome of one operation on both stores, when neither succeeded: a failure says more than
/// ItemNotFound.
SecretStatus neither(SecretStatus preferred, SecretStatus other) {
    return preferred != SecretStatusCode::ItemNotFound ? preferred : other;
}

}  // namespace

CombinedSecretStore::CombinedSecretStore(std::shared_ptr<SecretStore> preferred,
                                         std::shared_ptr<SecretStore> other)
    : preferred_(std::move(preferred)), other_(std::move(other)) {}

SecretStatus CombinedSecretStore::copyFirst(const SecretQuery& query, SecretItem& item) {
    SecretItem mine, theirs;
    const SecretStatus fromPreferred = preferred_->copyFirst(query, mine);
    const SecretStatus fromOther = other_->copyFirst(query, theirs);
    const bool havePreferred = fromPreferred == SecretStatusCode::Success;
    const bool haveOther = fromOther == SecretStatusCode::Success;
    if (havePreferred && (!haveOther || mine.written >= theirs.written)) {
        item = std::move(mine);
        return SecretStatusCode::Success;
    }
    if (haveOther) {
        item = std::move(theirs);
        return SecretStatusCode::Success;
    }
    return neither(fromPreferred, fromOther);
}

SecretStatus CombinedSecretStore::add(const SecretItem& item) {
    SecretStatus status = preferred_->add(item);
    if (status == SecretStatusCode::Success) {
        // The item lives in the preferred store from now on. A copy that cannot be removed here
        // was written earlier, so reads never prefer it.
        other_->remove(secretIdentityQuery(item));
        return status;
    }
    if (cannotTakeItems(status)) {
        const SecretStatus instead = other_->add(item);
        if (instead == SecretStatusCode::Success || instead == SecretStatusCode::DuplicateItem)
            return instead;
    }
    return status;
}

SecretStatus CombinedSecretStore::update(const SecretQuery& query, const SecretUpdate& changes) {
    // When both stores hold a match, the one written later is changed last, so that it stays the
    // one reads find (it matters when the value is left as it is).
    SecretItem mine, theirs;
    const bool otherIsNewer = preferred_->copyFirst(query, mine) == SecretStatusCode::Success &&
                              other_->copyFirst(query, theirs) == SecretStatusCode::Success &&
                              theirs.written > mine.written;
    SecretStatus inPreferred, inOther;
    if (otherIsNewer) {
        inPreferred = preferred_->update(query, changes);
        inOther = other_->update(query, changes);
    } else {
        inOther = other_->update(query, changes);
        inPreferred = preferred_->update(query, changes);
    }
    if (inPreferred == SecretStatusCode::Success || inOther == SecretStatusCode::Success)
        return SecretStatusCode::Success;
    return neither(inPreferred, inOther);
}

SecretStatus CombinedSecretStore::remove(const SecretQuery& query) {
    const SecretStatus fromPreferred = preferred_->remove(query);
    const SecretStatus fromOther = other_->remove(query);
    if (failed(fromPreferred))
        return fromPreferred;
    if (failed(fromOther))
        return fromOther;
    if (fromPreferred == SecretStatusCode::Success || fromOther == SecretStatusCode::Success)
        return SecretStatusCode::Success;
    return SecretStatusCode::ItemNotFound;
}

}  // namespace vk
