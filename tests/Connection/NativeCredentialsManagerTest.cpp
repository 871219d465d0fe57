#include "VornKit/Connection/NativeCredentialsManager.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "ConnectionTestSupport.h"
#include "VornKit/Connection/KeychainHelper.h"

namespace vk {
namespace {

using Op = MemorySecretStore::Operation;

class RecordingOwner : public ApiClientsUpdating {
  public:
    void updateApiClients(std::optional<std::vector<ServerInfo>> servers) override {
        calls.push_back(std::move(servers));
    }
    std::vector<std::optional<std::vector<ServerInfo>>> calls;
};

const std::string kGood =
    R"({"Servers":[{"Id":"s1","Name":"Living Room","AccessToken":"tok-8f1d2c77-living-room",)"
    R"("LocalAddress":"http://10.0.0.2:8096","DateLastAccessed":500,"Extra":{"kept":true}}],)"
    R"("ConnectUserId":"u"})";

class NativeCredentialsManagerTest : public test::ConnectionFixture {
  protected:
    std::unique_ptr<NativeCredentialsManager> make() {
        return std::make_unique<NativeCredentialsManager>(owner_);
    }
    std::optional<SecretItem> storedItem() {
        for (const auto& item : store_->items()) {
            if (item.account == "SERVER_CREDENTIALS_KEY")
                return item;
        }
        return std::nullopt;
    }
    void TearDown() override {
        // Undo what a test did to the settings file; the next SetUp writes it afresh.
        const auto file = groupDefaults()->file();
        std::error_code ec;
        std::filesystem::permissions(
            file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
        for (const char* suffix : {"", ".lock", ".corrupt"})
            std::filesystem::remove_all(file.string() + suffix, ec);
        test::ConnectionFixture::TearDown();
    }
    static std::string fileText(const std::filesystem::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::shared_ptr<RecordingOwner> owner_ = std::make_shared<RecordingOwner>();
};

TEST_F(NativeCredentialsManagerTest, TextIsStoredAsItIsAndTheServersReachTheOwner) {
    auto manager = make();  // first run: nothing to load
    manager->updateCredentials(kGood);
    auto item = storedItem();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->value, kGood);  // unknown keys and all: the text is never rewritten
    EXPECT_TRUE(item->synchronizable);
    EXPECT_EQ(item->accessibility, SecretAccessibility::AfterFirstUnlock);
    EXPECT_EQ(item->accessGroup, "group.app.vorn");

    ASSERT_EQ(owner_->calls.size(), 1u);
    ASSERT_TRUE(owner_->calls[0]);
    ASSERT_EQ(owner_->calls[0]->size(), 1u);
    const auto& server = owner_->calls[0]->front();
    EXPECT_EQ(server.Id, "s1");
    EXPECT_EQ(server.AccessToken, "tok-8f1d2c77-living-room");
    ASSERT_TRUE(server.DateLastAccessed);
    EXPECT_EQ(server.DateLastAccessed->time_since_epoch(), std::chrono::milliseconds(500));
    EXPECT_EQ(log_->messages("NativeCredentialsManager"),
              (std::vector<std::string>{"Updating credentials", "start updateConnectionManager"}));

    auto current = manager->getCurrentCredentials();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->ConnectUserId, "u");
    EXPECT_EQ(current->Servers.front().Name, "Living Room");
}

TEST_F(NativeCredentialsManagerTest, AnEmptyServerListIsAccepted) {
    auto manager = make();
    manager->updateCredentials(R"({"Servers":[]})");
    EXPECT_EQ(storedItem()->value, R"({"Servers":[]})");
    ASSERT_EQ(owner_->calls.size(), 1u);
    ASSERT_TRUE(owner_->calls[0]);
    EXPECT_TRUE(owner_->calls[0]->empty());
}

TEST_F(NativeCredentialsManagerTest, BadTextFromTheHostLeavesNoCredentialsAndTellsNobody) {
    const std::string bad[] = {
        "{}",                                                               // no "Servers"
        "not json at all",                                                  //
        R"({"Servers":[{"Name":"no id"}]})",                                // a server without "Id"
        R"({"Servers":[{"Id":"x","Name":"n","LastConnectionMode":"1"}]})",  // wrongly typed
        std::string("{\"Servers\":[{\"Id\":\"\xff\xfe\",\"Name\":\"n\"}]}"),  // not UTF-8
    };
    auto manager = make();
    for (const auto& text : bad) {
        SCOPED_TRACE(text);
        manager->updateCredentials(kGood);
        ASSERT_TRUE(storedItem());
        owner_->calls.clear();
        log_->clear();
        const int adds = store_->calls(Op::Add);
        const int updates = store_->calls(Op::Update);

        manager->updateCredentials(text);
        EXPECT_FALSE(storedItem());  // the earlier credentials are gone as well
        EXPECT_TRUE(owner_->calls.empty());
        // The bad text itself never went into the keychain.
        EXPECT_EQ(store_->calls(Op::Add), adds);
        EXPECT_EQ(store_->calls(Op::Update), updates);
        auto messages = log_->messages("NativeCredentialsManager");
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), "Updating credentials");
    }
}

TEST_F(NativeCredentialsManagerTest, DeserializingErrorIsOneMessageWithTheDescription) {
    auto manager = make();
    manager->updateCredentials("{}");
    auto messages = log_->messages("NativeCredentialsManager");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], "start updateConnectionManager");
    auto expected = "updateConnectionManager: Error deserializing native credentials\n " +
                    NativeCredentialsManager::decode("{}").error().description();
    EXPECT_EQ(messages[2], expected);
    EXPECT_NE(expected.find("Servers"), std::string::npos);
}

TEST_F(NativeCredentialsManagerTest, FirstRunDiscardsCredentialsOfAnEarlierInstallation) {
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, true);
    make();
    EXPECT_TRUE(owner_->calls.empty());
    EXPECT_FALSE(storedItem());
    EXPECT_TRUE(groupDefaults()->boolean("hasRunOnce"));

    // Later starts load what is stored, and tell the owner before construction returns.
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, true);
    auto manager = make();
    ASSERT_EQ(owner_->calls.size(), 1u);
    EXPECT_EQ(owner_->calls[0]->front().Id, "s1");
    EXPECT_TRUE(storedItem());
}

TEST_F(NativeCredentialsManagerTest, AStartWithNoSettingsFileIsAFirstRun) {
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, true);
    std::filesystem::remove(groupDefaults()->file());
    make();
    EXPECT_FALSE(storedItem());
    EXPECT_TRUE(owner_->calls.empty());
    EXPECT_TRUE(groupDefaults()->boolean("hasRunOnce"));
}

// A settings file that exists but cannot be read says nothing about whether the application ran
// before: the credentials are loaded, and the file is left as it was.
TEST_F(NativeCredentialsManagerTest, CredentialsSurviveASettingsFileThatIsNotJson) {
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, true);
    const auto file = groupDefaults()->file();
    const std::string damaged = R"({"hasRunOnce": true, trunc)";
    std::ofstream(file, std::ios::trunc) << damaged;
    auto manager = make();
    ASSERT_TRUE(storedItem());
    EXPECT_EQ(storedItem()->value, kGood);
    ASSERT_EQ(owner_->calls.size(), 1u);
    EXPECT_EQ(owner_->calls[0]->front().AccessToken, "tok-8f1d2c77-living-room");
    EXPECT_EQ(fileText(file), damaged);
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".corrupt"));
}

TEST_F(NativeCredentialsManagerTest, CredentialsSurviveASettingsFileThatCannotBeRead) {
    const auto file = groupDefaults()->file();
    // A directory in its place cannot be read even by root; a file without permissions can only
    // be used when the tests do not run as root.
    const bool asRoot = ::geteuid() == 0;
    for (const bool directory : {true, false}) {
        if (!directory && asRoot)
            continue;
        SCOPED_TRACE(directory ? "replaced by a directory" : "mode 000");
        std::filesystem::remove(file);
        ASSERT_TRUE(groupDefaults()->set("unrelated", "kept"));  // fresh file without the flag
        KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, true);
        owner_->calls.clear();
        if (directory) {
            std::filesystem::remove(file);
            std::filesystem::create_directory(file);
        } else {
            std::filesystem::permissions(file, std::filesystem::perms::none);
        }
        auto manager = make();
        ASSERT_TRUE(storedItem());
        EXPECT_EQ(storedItem()->value, kGood);
        EXPECT_EQ(owner_->calls.size(), 1u);
        std::error_code ec;
        std::filesystem::permissions(file, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(file);
    }
}

TEST_F(NativeCredentialsManagerTest, CredentialsSurviveWhenTheFirstRunFlagCannotBeWritten) {
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, true);
    // Every write takes the lock file beside the settings; a directory there makes writes fail.
    const auto file = groupDefaults()->file();
    std::filesystem::remove(file.string() + ".lock");
    std::filesystem::create_directory(file.string() + ".lock");
    auto manager = make();
    ASSERT_TRUE(storedItem());
    EXPECT_EQ(storedItem()->value, kGood);
    EXPECT_EQ(owner_->calls.size(), 1u);
    EXPECT_FALSE(groupDefaults()->object("hasRunOnce"));
}

TEST_F(NativeCredentialsManagerTest, StoredTextThatCannotBeDecodedIsKept) {
    notFirstRun();
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", R"({"Servers":"from a newer format"})",
                                true, true);
    auto manager = make();
    EXPECT_TRUE(owner_->calls.empty());
    EXPECT_TRUE(log_->contains("updateConnectionManager: Error deserializing native credentials"));
    ASSERT_TRUE(storedItem());
    EXPECT_EQ(storedItem()->value, R"({"Servers":"from a newer format"})");
    EXPECT_FALSE(manager->getCurrentCredentials());
    manager->loadSavedCredentials();
    EXPECT_TRUE(storedItem());
}

TEST_F(NativeCredentialsManagerTest, OnlySynchronizableItemsAreLoaded) {
    notFirstRun();
    KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", kGood, true, false);
    auto manager = make();
    EXPECT_TRUE(owner_->calls.empty());
    EXPECT_FALSE(manager->getCurrentCredentials());
}

TEST_F(NativeCredentialsManagerTest, AFailedKeychainWriteStillTellsTheOwner) {
    auto manager = make();
    store_->failNext(Op::Add, SecretStatusCode::InteractionNotAllowed);
    manager->updateCredentials(kGood);
    EXPECT_TRUE(log_->contains("ERROR: Unable to addOrUpdate key. Status: -25308"));
    EXPECT_EQ(owner_->calls.size(), 1u);
}

TEST_F(NativeCredentialsManagerTest, AGoneOwnerIsNotTold) {
    auto manager = make();
    owner_.reset();
    manager->updateCredentials(kGood);  // decodes and stores; nobody to tell, no crash
    EXPECT_TRUE(storedItem());
    EXPECT_TRUE(log_->contains("start updateConnectionManager"));
}

// An owner that holds the call carrying `heldToken` until `release()` or a time limit, so that
// another update can run meanwhile.
class HoldingOwner : public ApiClientsUpdating {
  public:
    explicit HoldingOwner(std::string heldToken) : heldToken_(std::move(heldToken)) {}
    void updateApiClients(std::optional<std::vector<ServerInfo>> servers) override {
        const std::string token =
            servers && !servers->empty() ? servers->front().AccessToken.value_or("") : "";
        std::unique_lock lock(mutex_);
        if (token == heldToken_) {
            held_ = true;
            changed_.notify_all();
            // Long enough for a competing update to run its course many times over; with the
            // updates serialised it ends the wait.
            changed_.wait_for(lock, std::chrono::seconds(2), [&] { return released_; });
        }
        lastToken_ = token;
    }
    bool waitUntilHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return held_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::string lastToken() {
        std::lock_guard lock(mutex_);
        return lastToken_;
    }

  private:
    const std::string heldToken_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool released_ = false;
    std::string lastToken_;
};

std::string credentialsWithToken(const std::string& token) {
    return R"({"Servers":[{"Id":"s1","Name":"Living Room","AccessToken":")" + token + R"("}]})";
}

// Whichever way the first update starts (from the host, or by loading what is stored), an update
// that overlaps it must not leave the owner on other tokens than the keychain holds.
TEST_F(NativeCredentialsManagerTest, OverlappingUpdatesLeaveTheOwnerOnTheStoredTokens) {
    const std::string first = "tok-8f1d2c77-living-room";
    const std::string second = "tok-c4d5e6f7-renewed";
    for (const bool fromHost : {true, false}) {
        SCOPED_TRACE(fromHost ? "host update overlapped" : "load overlapped");
        KeychainHelper::deleteValue("SERVER_CREDENTIALS_KEY");
        auto owner = std::make_shared<HoldingOwner>(first);
        // The first run is over, and nothing is stored: construction tells the owner nothing.
        notFirstRun();
        NativeCredentialsManager manager(owner);
        if (!fromHost)
            KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY", credentialsWithToken(first), true,
                                        true);
        std::jthread earlier([&] {
            if (fromHost)
                manager.updateCredentials(credentialsWithToken(first));
            else
                manager.loadSavedCredentials();
        });
        ASSERT_TRUE(owner->waitUntilHeld());
        manager.updateCredentials(credentialsWithToken(second));
        owner->release();
        earlier.join();

        auto stored = storedItem();
        ASSERT_TRUE(stored);
        auto decoded = NativeCredentialsManager::decode(stored->value);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->Servers.front().AccessToken, second);
        EXPECT_EQ(owner->lastToken(), decoded->Servers.front().AccessToken.value_or(""));
    }
}

}  // namespace
}  // namespace vk
