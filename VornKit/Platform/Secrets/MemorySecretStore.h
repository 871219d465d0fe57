// MemorySecretStore: the test double of SecretStore. Items live in memory, in the order they were
// last written, each with its write time (the system clock, always later than the store's previous
// write); a test can make the next calls of an operation fail with a chosen status, count
// the calls made, and put items in directly (also items a real store could not hold, such as a
// value that is not UTF-8).
//
// Thread rule: thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Platform/Secrets/SecretStore.h"

namespace vk {

/// The in-memory test double of SecretStore (see the file comment).
class VK_EXPORT MemorySecretStore : public SecretStore {
  public:
    /// The store operations a test can count (calls()) or make fail (failNext()).
    enum class Operation { CopyFirst, Add, Update, Remove };

    SecretStatus copyFirst(const SecretQuery& query, SecretItem& item) override;
    SecretStatus add(const SecretItem& item) override;
    SecretStatus update(const SecretQuery& query, const SecretUpdate& changes) override;
    SecretStatus remove(const SecretQuery& query) override;
    std::string_view backendName() const override { return "memory"; }

    /// The next `count` calls of `operation` return `status` and change nothing.
    void failNext(Operation operation, SecretStatus status, int count = 1);
    /// How many calls of `operation` were made (failed ones included).
    int calls(Operation operation) const;
    /// Every item, least recently written first.
    std::vector<SecretItem> items() const;
    /// Stores `item` as it is (its write time included), replacing an item with the same identity.
    void put(SecretItem item);

  private:
    bool takeFailure(Operation operation, SecretStatus& status);
    std::int64_t nextWriteTime();

    mutable std::mutex mutex_;
    std::vector<SecretItem> items_;
    std::map<Operation, std::pair<SecretStatus, int>> failures_;
    std::map<Operation, int> calls_;
    std::int64_t lastWritten_ = 0;
};

}  // namespace vk
