// The keychain over two stores: which copy a read finds, where writes go when the preferred store
// takes them or cannot, and that a removal is done only when both stores are rid of the item.
#include "VornKit/Platform/Secrets/CombinedSecretStore.h"

#include <memory>
#include <string>

#include "VornKit/Platform/Secrets/MemorySecretStore.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

namespace Status = SecretStatusCode;
using Op = MemorySecretStore::Operation;

SecretItem item(const std::string& value, std::int64_t written = 0) {
    SecretItem made;
    made.generic = made.account = "SERVER_CREDENTIALS_KEY";
    made.accessGroup = "group.app.vorn";
    made.synchronizable = true;
    made.value = value;
    made.written = written;
    return made;
}

SecretQuery credentials() {
    SecretQuery query;
    query.generic = query.account = "SERVER_CREDENTIALS_KEY";
    query.synchronizable = SynchronizableMatch::Any;
    return query;
}

class CombinedSecretStoreTest : public ::testing::Test {
  protected:
    std::string read(SecretStatus expected = Status::Success) {
        SecretItem found;
        EXPECT_EQ(combined_.copyFirst(credentials(), found), expected);
        return found.value;
    }
    std::shared_ptr<MemorySecretStore> preferred_ = std::make_shared<MemorySecretStore>();
    std::shared_ptr<MemorySecretStore> other_ = std::make_shared<MemorySecretStore>();
    CombinedSecretStore combined_{preferred_, other_};
};

TEST_F(CombinedSecretStoreTest, ReadsFindTheCopyWrittenLastInEitherStore) {
    read(Status::ItemNotFound);
    other_->put(item("left by a headless start", 200));
    EXPECT_EQ(read(), "left by a headless start");
    preferred_->put(item("older, in the keyring", 100));
    EXPECT_EQ(read(), "left by a headless start");
    preferred_->put(item("newer, in the keyring", 300));
    EXPECT_EQ(read(), "newer, in the keyring");
    other_->put(item("as new, headless", 300));
    EXPECT_EQ(read(), "newer, in the keyring");  // a tie goes to the preferred store

    // A store that cannot answer does not hide the other's copy; with no copy anywhere its
    // failure is the answer, not "not found".
    other_->failNext(Op::CopyFirst, Status::InteractionNotAllowed);
    EXPECT_EQ(read(), "newer, in the keyring");
    preferred_->failNext(Op::CopyFirst, Status::InteractionNotAllowed);
    EXPECT_EQ(read(), "as new, headless");
    ASSERT_EQ(preferred_->remove(credentials()), Status::Success);
    other_->failNext(Op::CopyFirst, Status::InteractionNotAllowed);
    read(Status::InteractionNotAllowed);
}

TEST_F(CombinedSecretStoreTest, NewItemsMoveToThePreferredStoreUnlessItCannotTakeThem) {
    other_->put(item("left by a headless start", 200));
    ASSERT_EQ(combined_.add(item("written now")), Status::Success);
    ASSERT_EQ(preferred_->items().size(), 1u);
    EXPECT_EQ(preferred_->items()[0].value, "written now");
    EXPECT_GT(preferred_->items()[0].written, 200);
    EXPECT_TRUE(other_->items().empty());
    EXPECT_EQ(combined_.add(item("again")), Status::DuplicateItem);

    // The preferred store locked meanwhile: the item is kept in the other one, and found.
    ASSERT_EQ(preferred_->remove(credentials()), Status::Success);
    preferred_->failNext(Op::Add, Status::InteractionNotAllowed);
    ASSERT_EQ(combined_.add(item("written while locked")), Status::Success);
    EXPECT_EQ(read(), "written while locked");
    // Any other failure is the caller's to see, and nothing is written anywhere.
    ASSERT_EQ(other_->remove(credentials()), Status::Success);
    preferred_->failNext(Op::Add, Status::IO);
    EXPECT_EQ(combined_.add(item("lost?")), Status::IO);
    EXPECT_TRUE(preferred_->items().empty());
    EXPECT_TRUE(other_->items().empty());
}

TEST_F(CombinedSecretStoreTest, UpdatesKeepTheLaterCopyInFront) {
    preferred_->put(item("newer", 200));
    other_->put(item("older", 100));
    SecretUpdate accessibilityOnly;
    accessibilityOnly.accessibility.emplace(SecretAccessibility::AfterFirstUnlock);
    ASSERT_EQ(combined_.update(credentials(), accessibilityOnly), Status::Success);
    EXPECT_EQ(read(), "newer");

    // One store failing does not undo the change made in the other.
    SecretUpdate value;
    value.value = "changed";
    other_->failNext(Op::Update, Status::InteractionNotAllowed);
    ASSERT_EQ(combined_.update(credentials(), value), Status::Success);
    EXPECT_EQ(read(), "changed");
    // Only failures and nothing to change: the failure is reported.
    ASSERT_EQ(preferred_->remove(credentials()), Status::Success);
    other_->failNext(Op::Update, Status::InteractionNotAllowed);
    EXPECT_EQ(combined_.update(credentials(), value), Status::InteractionNotAllowed);
    ASSERT_EQ(other_->remove(credentials()), Status::Success);
    EXPECT_EQ(combined_.update(credentials(), value), Status::ItemNotFound);
}

TEST_F(CombinedSecretStoreTest, ARemovalIsDoneOnlyWhenBothStoresAreRidOfTheItem) {
    preferred_->put(item("in the keyring", 100));
    other_->put(item("in the file", 200));
    ASSERT_EQ(combined_.remove(credentials()), Status::Success);
    read(Status::ItemNotFound);
    EXPECT_EQ(combined_.remove(credentials()), Status::ItemNotFound);

    other_->put(item("in a locked keyring", 200));
    other_->failNext(Op::Remove, Status::InteractionNotAllowed);
    EXPECT_EQ(combined_.remove(credentials()), Status::InteractionNotAllowed);
    EXPECT_EQ(read(), "in a locked keyring");
}

}  // namespace
}  // namespace vk
