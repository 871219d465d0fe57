#include "VornKit/Connection/KeychainHelper.h"

#include "ConnectionTestSupport.h"

namespace vk {
namespace {

using Op = MemorySecretStore::Operation;

class KeychainHelperTest : public test::ConnectionFixture {};

TEST_F(KeychainHelperTest, ItemsCarryTheKeyTheApplicationGroupAndTheAskedMarks) {
    KeychainHelper::addOrUpdate("plain", "a");
    KeychainHelper::addOrUpdate("background", "b", true);
    KeychainHelper::addOrUpdate("synced", "c", true, true);
    auto items = store_->items();
    ASSERT_EQ(items.size(), 3u);
    for (const auto& item : items) {
        EXPECT_EQ(item.generic, item.account);
        EXPECT_EQ(item.accessGroup, "group.app.vorn");
    }
    EXPECT_EQ(items[0].generic, "plain");
    EXPECT_FALSE(items[0].synchronizable);
    EXPECT_EQ(items[0].accessibility, SecretAccessibility::WhenUnlocked);
    EXPECT_EQ(items[1].accessibility, SecretAccessibility::AfterFirstUnlock);
    EXPECT_FALSE(items[1].synchronizable);
    EXPECT_TRUE(items[2].synchronizable);
    EXPECT_EQ(items[2].accessibility, SecretAccessibility::AfterFirstUnlock);
    EXPECT_TRUE(log_->messages().empty());
}

TEST_F(KeychainHelperTest, PlainReadsFindSynchronizableItemsButNotTheOtherWayRound) {
    KeychainHelper::addOrUpdate("synced", "s", false, true);
    KeychainHelper::addOrUpdate("local", "l");
    EXPECT_EQ(KeychainHelper::getValue("synced"), "s");
    EXPECT_EQ(KeychainHelper::getValue("synced", true), "s");
    EXPECT_EQ(KeychainHelper::getValue("local"), "l");
    EXPECT_FALSE(KeychainHelper::getValue("local", true));
    EXPECT_FALSE(KeychainHelper::getValue("missing"));
    EXPECT_TRUE(log_->messages().empty());  // not found is silent
}

TEST_F(KeychainHelperTest, ASecondWriteReplacesTheValueAndItsAccessibility) {
    KeychainHelper::addOrUpdate("k", "first", true);
    KeychainHelper::addOrUpdate("k", "second");
    EXPECT_EQ(KeychainHelper::getValue("k"), "second");
    auto items = store_->items();
    ASSERT_EQ(items.size(), 1u);
    // Without background access the update passes a null accessibility: back to the default.
    EXPECT_EQ(items[0].accessibility, SecretAccessibility::WhenUnlocked);

    KeychainHelper::addOrUpdate("k", "third", true, true);  // a synchronizable twin is added
    KeychainHelper::addOrUpdate("k", "fourth", true, true);
    EXPECT_EQ(KeychainHelper::getValue("k"), "fourth");
    EXPECT_EQ(KeychainHelper::getValue("k", true), "fourth");
    EXPECT_TRUE(log_->messages().empty());
}

TEST_F(KeychainHelperTest, FailuresAreLoggedWithTheStoreStatusAndReadsGiveNothing) {
    KeychainHelper::addOrUpdate("k", "v");
    store_->failNext(Op::CopyFirst, SecretStatusCode::InteractionNotAllowed);
    EXPECT_FALSE(KeychainHelper::getValue("k"));
    store_->failNext(Op::Add, SecretStatusCode::NotAvailable);
    KeychainHelper::addOrUpdate("new", "v");
    store_->failNext(Op::Update, SecretStatusCode::IO);
    KeychainHelper::addOrUpdate("k", "changed");
    store_->failNext(Op::Remove, SecretStatusCode::NotAvailable);
    KeychainHelper::deleteValue("k");
    KeychainHelper::deleteValue("never-stored");  // not found: silent
    EXPECT_EQ(log_->messages("KeychainHelper"),
              (std::vector<std::string>{"ERROR: Unable to retrieve value for key. Status: -25308",
                                        "ERROR: Unable to addOrUpdate key. Status: -25291",
                                        "ERROR: Unable to addOrUpdate key. Status: -36",
                                        "ERROR: deleting value for key. Status: -25291"}));
    EXPECT_EQ(KeychainHelper::getValue("k"), "v");
    EXPECT_FALSE(KeychainHelper::getValue("new"));
}

TEST_F(KeychainHelperTest, ValueThatIsNotUtf8IsInvalidData) {
    SecretItem item;
    item.generic = item.account = "k";
    item.accessGroup = "group.app.vorn";
    item.value = std::string("\xc3\x28 broken", 9);
    store_->put(item);
    EXPECT_FALSE(KeychainHelper::getValue("k"));
    EXPECT_EQ(log_->messages("KeychainHelper"),
              std::vector<std::string>{"ERROR: Invalid data returned for key."});
}

TEST_F(KeychainHelperTest, DeleteTakesBothFlavoursAndRemoveAllLeavesSynchronizableItems) {
    KeychainHelper::addOrUpdate("a", "1");
    KeychainHelper::addOrUpdate("a", "1s", false, true);
    KeychainHelper::addOrUpdate("b", "2", false, true);
    KeychainHelper::deleteValue("a");  // both flavours of the key
    EXPECT_FALSE(KeychainHelper::getValue("a"));
    EXPECT_EQ(KeychainHelper::getValue("b"), "2");

    // removeAll names only the item class: what does not synchronise goes, in any access group;
    // the synchronizable credentials stay.
    KeychainHelper::addOrUpdate("c", "3", true);
    SecretItem foreign;
    foreign.generic = foreign.account = "d";
    foreign.accessGroup = "group.other";
    store_->put(foreign);
    KeychainHelper::removeAll();
    ASSERT_EQ(store_->items().size(), 1u);
    EXPECT_EQ(store_->items()[0].account, "b");
    EXPECT_TRUE(log_->messages().empty());
    KeychainHelper::removeAll();  // nothing left to delete
    EXPECT_EQ(log_->messages("KeychainHelper"), std::vector<std::string>{"ERROR: deleting all"});
    EXPECT_EQ(KeychainHelper::getValue("b"), "2");
}

}  // namespace
}  // namespace vk
