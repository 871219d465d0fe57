#include "VornKit/Platform/Secrets/MemorySecretStore.h"

#include <algorithm>
#include <chrono>

namespace vk {

std::int64_t MemorySecretStore::nextWriteTime() {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    lastWritten_ = std::max(now, lastWritten_ + 1);
    return lastWritten_;
}

bool MemorySecretStore::takeFailure(Operation operation, SecretStatus& status) {
    ++calls_[operation];
    auto found = failures_.find(operation);
    if (found == failures_.end() || found->second.second == 0)
        return false;
    status = found->second.first;
    --found->second.second;
    return true;
}

SecretStatus MemorySecretStore::copyFirst(const SecretQuery& query, SecretItem& item) {
    std::lock_guard lock(mutex_);
    SecretStatus status;
    if (takeFailure(Operation::CopyFirst, status))
        return status;
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        if (query.matches(*it)) {
            item = *it;
            return SecretStatusCode::Success;
        }
    }
    return SecretStatusCode::ItemNotFound;
}

SecretStatus MemorySecretStore::add(const SecretItem& item) {
    std::lock_guard lock(mutex_);
    SecretStatus status;
    if (takeFailure(Operation::Add, status))
        return status;
    for (const auto& existing : items_) {
        if (sameSecretIdentity(existing, item))
            return SecretStatusCode::DuplicateItem;
    }
    items_.push_back(item);
    items_.back().written = nextWriteTime();
    return SecretStatusCode::Success;
}

SecretStatus MemorySecretStore::update(const SecretQuery& query, const SecretUpdate& changes) {
    std::lock_guard lock(mutex_);
    SecretStatus status;
    if (takeFailure(Operation::Update, status))
        return status;
    auto matched = std::stable_partition(
        items_.begin(), items_.end(), [&](const SecretItem& item) { return !query.matches(item); });
    if (matched == items_.end())
        return SecretStatusCode::ItemNotFound;
    const std::int64_t now = nextWriteTime();
    for (auto it = matched; it != items_.end(); ++it) {
        it->written = now;
        if (changes.value)
            it->value = *changes.value;
        if (changes.accessibility)
            it->accessibility = changes.accessibility->value_or(SecretAccessibility::WhenUnlocked);
    }
    return SecretStatusCode::Success;
}

SecretStatus MemorySecretStore::remove(const SecretQuery& query) {
    std::lock_guard lock(mutex_);
    SecretStatus status;
    if (takeFailure(Operation::Remove, status))
        return status;
    auto end = std::remove_if(items_.begin(), items_.end(),
                              [&](const SecretItem& item) { return query.matches(item); });
    if (end == items_.end())
        return SecretStatusCode::ItemNotFound;
    items_.erase(end, items_.end());
    return SecretStatusCode::Success;
}

void MemorySecretStore::failNext(Operation operation, SecretStatus status, int count) {
    std::lock_guard lock(mutex_);
    failures_[operation] = {status, count};
}

int MemorySecretStore::calls(Operation operation) const {
    std::lock_guard lock(mutex_);
    auto found = calls_.find(operation);
    return found == calls_.end() ? 0 : found->second;
}

std::vector<SecretItem> MemorySecretStore::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

void MemorySecretStore::put(SecretItem item) {
    std::lock_guard lock(mutex_);
    items_.erase(std::remove_if(items_.begin(), items_.end(),
                                [&](const SecretItem& existing) {
                                    return sameSecretIdentity(existing, item);
                                }),
                 items_.end());
    items_.push_back(std::move(item));
}

}  // namespace vk
