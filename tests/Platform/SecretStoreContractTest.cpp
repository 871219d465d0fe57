// One contract for every SecretStore backend: the memory double, the encrypted file store, the
// Secret Service (gnome-keyring on the test session bus; skipped with a reason when there is none)
// and a combination of two stores.
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Bus/DBusConnection.h"
#include "VornKit/Platform/Secrets/CombinedSecretStore.h"
#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"
#include "VornKit/Platform/Secrets/MemorySecretStore.h"
#include "VornKit/Platform/Secrets/SecretServiceStore.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

namespace Status = SecretStatusCode;

struct Backend {
    std::string name;
    std::function<std::shared_ptr<SecretStore>()> make;
};

std::string uniqueKeychain() {
    static std::atomic<int> counter{0};
    return "contract-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

bool secretServiceRunning() {
    auto bus = DBusConnection::session();
    return bus && bus->nameHasOwner(SecretServiceStore::kBusName);
}

SecretItem item(std::string key, std::string value, bool synchronizable = false,
                std::string group = "group.app.vorn") {
    SecretItem made;
    made.generic = key;
    made.account = std::move(key);
    made.accessGroup = std::move(group);
    made.synchronizable = synchronizable;
    made.value = std::move(value);
    return made;
}

SecretQuery byKey(const std::string& key,
                  SynchronizableMatch sync = SynchronizableMatch::NotSynchronizable) {
    SecretQuery query;
    query.generic = key;
    query.account = key;
    query.accessGroup = "group.app.vorn";
    query.synchronizable = sync;
    return query;
}

SecretQuery everything() {
    SecretQuery query;
    query.synchronizable = SynchronizableMatch::Any;
    return query;
}

class SecretStoreContract : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        if (GetParam().name == "SecretService" && !secretServiceRunning()) {
            GTEST_SKIP() << "no Secret Service on the session bus (./vk test starts gnome-keyring)";
        }
        store_ = GetParam().make();
    }
    void TearDown() override {
        if (store_)
            store_->remove(everything());
    }
    std::string read(const SecretQuery& query, SecretStatus expected = Status::Success) {
        SecretItem found;
        EXPECT_EQ(store_->copyFirst(query, found), expected);
        return found.value;
    }

    std::shared_ptr<SecretStore> store_;
};

TEST_P(SecretStoreContract, KeepsBytesExactlyAndFindsItemsByEveryAttribute) {
    const std::string binary("v\0al\xff\xfe ue", 10);
    auto stored = item("key one", binary, false);
    stored.accessibility = SecretAccessibility::AfterFirstUnlock;
    ASSERT_EQ(store_->add(stored), Status::Success);

    SecretItem found;
    ASSERT_EQ(store_->copyFirst(byKey("key one"), found), Status::Success);
    EXPECT_EQ(found, stored);

    auto otherGroup = byKey("key one");
    otherGroup.accessGroup = "group.other";
    read(otherGroup, Status::ItemNotFound);
    auto otherAccount = byKey("key one");
    otherAccount.account = "key two";
    read(otherAccount, Status::ItemNotFound);
    read(byKey("missing"), Status::ItemNotFound);
}

TEST_P(SecretStoreContract, SynchronizableMarkIsMatchedAsAsked) {
    ASSERT_EQ(store_->add(item("synced", "s", true)), Status::Success);
    ASSERT_EQ(store_->add(item("local", "l", false)), Status::Success);

    // A plain query sees only items that do not synchronise.
    read(byKey("synced"), Status::ItemNotFound);
    EXPECT_EQ(read(byKey("local")), "l");
    // Asking for synchronizable ones finds only those.
    EXPECT_EQ(read(byKey("synced", SynchronizableMatch::Synchronizable)), "s");
    read(byKey("local", SynchronizableMatch::Synchronizable), Status::ItemNotFound);
    // "Any" finds both.
    EXPECT_EQ(read(byKey("synced", SynchronizableMatch::Any)), "s");
    EXPECT_EQ(read(byKey("local", SynchronizableMatch::Any)), "l");
}

TEST_P(SecretStoreContract, SecondAddOfTheSameIdentityIsADuplicateAndChangesNothing) {
    ASSERT_EQ(store_->add(item("k", "first")), Status::Success);
    EXPECT_EQ(store_->add(item("k", "second")), Status::DuplicateItem);
    EXPECT_EQ(read(byKey("k")), "first");
    // The synchronizable mark is part of the identity: both items may exist.
    EXPECT_EQ(store_->add(item("k", "synced", true)), Status::Success);
}

TEST_P(SecretStoreContract, AnyQueryReturnsTheMostRecentlyWrittenOfSeveralMatches) {
    ASSERT_EQ(store_->add(item("k", "old", false)), Status::Success);
    ASSERT_EQ(store_->add(item("k", "new", true)), Status::Success);
    EXPECT_EQ(read(byKey("k", SynchronizableMatch::Any)), "new");

    SecretUpdate changes;
    changes.value = "newest";
    ASSERT_EQ(store_->update(byKey("k"), changes), Status::Success);
    EXPECT_EQ(read(byKey("k", SynchronizableMatch::Any)), "newest");
    EXPECT_EQ(read(byKey("k", SynchronizableMatch::Synchronizable)), "new");
}

TEST_P(SecretStoreContract, UpdateChangesEveryMatchAndNullAccessibilityRestoresTheDefault) {
    auto background = item("k", "a", false);
    background.accessibility = SecretAccessibility::AfterFirstUnlock;
    ASSERT_EQ(store_->add(background), Status::Success);
    ASSERT_EQ(store_->add(item("k", "b", true)), Status::Success);

    SecretUpdate changes;
    changes.value = "c";
    changes.accessibility.emplace();  // explicit null
    ASSERT_EQ(store_->update(byKey("k", SynchronizableMatch::Any), changes), Status::Success);

    SecretItem found;
    ASSERT_EQ(store_->copyFirst(byKey("k"), found), Status::Success);
    EXPECT_EQ(found.value, "c");
    EXPECT_EQ(found.accessibility, SecretAccessibility::WhenUnlocked);
    EXPECT_EQ(read(byKey("k", SynchronizableMatch::Synchronizable)), "c");

    EXPECT_EQ(store_->update(byKey("absent", SynchronizableMatch::Any), changes),
              Status::ItemNotFound);
}

TEST_P(SecretStoreContract, RemoveDeletesOnlyWhatMatches) {
    ASSERT_EQ(store_->add(item("k", "mine")), Status::Success);
    ASSERT_EQ(store_->add(item("k", "synced", true)), Status::Success);
    ASSERT_EQ(store_->add(item("k", "theirs", false, "group.other")), Status::Success);

    ASSERT_EQ(store_->remove(byKey("k")), Status::Success);
    read(byKey("k"), Status::ItemNotFound);
    EXPECT_EQ(read(byKey("k", SynchronizableMatch::Synchronizable)), "synced");
    auto other = byKey("k");
    other.accessGroup = "group.other";
    EXPECT_EQ(read(other), "theirs");

    EXPECT_EQ(store_->remove(byKey("k")), Status::ItemNotFound);

    // The query naming an item's identity reaches that item alone, whatever its value.
    ASSERT_EQ(store_->add(item("k", "mine again")), Status::Success);
    ASSERT_EQ(store_->remove(secretIdentityQuery(item("k", "any value", true))), Status::Success);
    read(byKey("k", SynchronizableMatch::Synchronizable), Status::ItemNotFound);
    EXPECT_EQ(read(byKey("k")), "mine again");
    EXPECT_EQ(read(other), "theirs");

    ASSERT_EQ(store_->remove(everything()), Status::Success);
    EXPECT_EQ(store_->remove(everything()), Status::ItemNotFound);
    read(other, Status::ItemNotFound);
}

TEST_P(SecretStoreContract, ConcurrentWritersOfDifferentKeysLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kEach = 5;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                auto key = "t" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(store_->add(item(key, key)), Status::Success);
            }
        });
    }
    for (auto& writer : writers)
        writer.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            auto key = "t" + std::to_string(t) + "-" + std::to_string(i);
            EXPECT_EQ(read(byKey(key)), key);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Backends, SecretStoreContract,
    ::testing::Values(Backend{"Memory", [] { return std::make_shared<MemorySecretStore>(); }},
                      Backend{"EncryptedFile",
                              [] {
                                  return std::make_shared<EncryptedFileSecretStore>(
                                      test::makeTempDir("secrets") / "store");
                              }},
                      Backend{
                          "SecretService",
                          [] { return std::make_shared<SecretServiceStore>(uniqueKeychain()); }},
                      Backend{"Combined",
                              [] {
                                  return std::make_shared<CombinedSecretStore>(
                                      std::make_shared<EncryptedFileSecretStore>(
                                          test::makeTempDir("secrets") / "store"),
                                      std::make_shared<MemorySecretStore>());
                              }}),
    [](const ::testing::TestParamInfo<Backend>& info) { return info.param.name; });

}  // namespace
}  // namespace vk
