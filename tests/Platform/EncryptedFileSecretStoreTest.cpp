#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

namespace fs = std::filesystem;
namespace Status = SecretStatusCode;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

SecretItem item(const std::string& key, const std::string& value) {
    SecretItem made;
    made.generic = key;
    made.account = key;
    made.accessGroup = "group.app.vorn";
    made.value = value;
    return made;
}

SecretQuery byKey(const std::string& key) {
    SecretQuery query;
    query.generic = key;
    query.account = key;
    return query;
}

class EncryptedFileSecretStoreTest : public ::testing::Test {
  protected:
    fs::path dir_ = test::makeTempDir("filestore") / "secrets";
    EncryptedFileSecretStore store_{dir_};
    test::ScopedLogCapture log_;
};

TEST_F(EncryptedFileSecretStoreTest, FilesArePrivateAndHoldNoPlainText) {
    const std::string secret = "token-5b3c9f0e-plain-text-must-not-show";
    ASSERT_EQ(store_.add(item("SERVER_CREDENTIALS_KEY", secret)), Status::Success);
    EXPECT_EQ(modeOf(dir_), 0700u);
    EXPECT_EQ(modeOf(dir_ / "key"), 0600u);
    EXPECT_EQ(modeOf(dir_ / "store"), 0600u);
    auto sealed = readFile(dir_ / "store");
    EXPECT_EQ(sealed.find(secret), std::string::npos);
    EXPECT_EQ(sealed.find("SERVER_CREDENTIALS_KEY"), std::string::npos);
    EXPECT_EQ(readFile(dir_ / "key").size(), 32u);
    // No temporary files are left behind.
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos);

    // Another store object (another process) on the same files reads it back.
    EncryptedFileSecretStore other(dir_);
    SecretItem found;
    ASSERT_EQ(other.copyFirst(byKey("SERVER_CREDENTIALS_KEY"), found), Status::Success);
    EXPECT_EQ(found.value, secret);
}

TEST_F(EncryptedFileSecretStoreTest, OnlyAddingMakesTheStore) {
    SecretItem found;
    EXPECT_EQ(store_.copyFirst(byKey("k"), found), Status::ItemNotFound);
    SecretUpdate changes;
    changes.value = "v";
    EXPECT_EQ(store_.update(byKey("k"), changes), Status::ItemNotFound);
    EXPECT_EQ(store_.remove(byKey("k")), Status::ItemNotFound);
    EXPECT_FALSE(fs::exists(dir_));
    ::mkdir(dir_.c_str(), 0700);
    EXPECT_EQ(store_.remove(byKey("k")), Status::ItemNotFound);
    EXPECT_FALSE(fs::exists(dir_ / "key"));
    EXPECT_FALSE(fs::exists(dir_ / "store"));
}

TEST_F(EncryptedFileSecretStoreTest, AStoreWrittenWithoutWriteTimesIsReadAndKept) {
    // The layout before items carried their write time: version 1.
    std::string plain(1, '\x01');
    auto put = [&](std::uint32_t length) {
        for (int i = 0; i < 4; ++i)
            plain.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    };
    auto text = [&](const std::string& value) {
        put(static_cast<std::uint32_t>(value.size()));
        plain += value;
    };
    put(1);
    text("k");
    text("k");
    text("group.app.vorn");
    plain.push_back('\x00');  // not synchronizable
    plain.push_back('\x01');  // after first unlock
    text("from an older version");
    std::string key(crypto_secretbox_KEYBYTES, '\0');
    crypto_secretbox_keygen(reinterpret_cast<unsigned char*>(key.data()));
    std::string sealed = "VKS1" + std::string(crypto_secretbox_NONCEBYTES, '\0') +
                         std::string(crypto_secretbox_MACBYTES + plain.size(), '\0');
    auto* nonce = reinterpret_cast<unsigned char*>(sealed.data() + 4);
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), nonce,
                          reinterpret_cast<const unsigned char*>(key.data()));
    ::mkdir(dir_.c_str(), 0700);
    for (const auto& [name, bytes] : {std::pair{"key", key}, std::pair{"store", sealed}}) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        ::chmod((dir_ / name).c_str(), 0600);
    }

    SecretItem found;
    ASSERT_EQ(store_.copyFirst(byKey("k"), found), Status::Success);
    EXPECT_EQ(found.value, "from an older version");
    EXPECT_EQ(found.accessibility, SecretAccessibility::AfterFirstUnlock);
    EXPECT_EQ(found.written, 0);
    // A write keeps the old item and dates the new one.
    ASSERT_EQ(store_.add(item("k2", "new")), Status::Success);
    ASSERT_EQ(store_.copyFirst(byKey("k"), found), Status::Success);
    EXPECT_EQ(found.value, "from an older version");
    ASSERT_EQ(store_.copyFirst(byKey("k2"), found), Status::Success);
    EXPECT_GT(found.written, 0);
}

TEST_F(EncryptedFileSecretStoreTest, RefusesKeyOrStoreFilesOthersCanRead) {
    ASSERT_EQ(store_.add(item("k", "v")), Status::Success);
    for (const char* name : {"key", "store"}) {
        SCOPED_TRACE(name);
        const auto path = dir_ / name;
        const auto before = readFile(path);
        ::chmod(path.c_str(), 0644);
        log_->clear();
        SecretItem found;
        EXPECT_EQ(store_.copyFirst(byKey("k"), found), Status::NotAvailable);
        EXPECT_EQ(store_.add(item("k2", "v2")), Status::NotAvailable);
        EXPECT_TRUE(log_->contains("Refusing to use the secret store: " + path.string() +
                                   ": other users may access it (mode 0644)"));
        // Left as it was: neither rewritten nor repaired.
        EXPECT_EQ(readFile(path), before);
        EXPECT_EQ(modeOf(path), 0644u);
        ::chmod(path.c_str(), 0600);
        ASSERT_EQ(store_.copyFirst(byKey("k"), found), Status::Success);
        EXPECT_EQ(found.value, "v");
    }
}

TEST_F(EncryptedFileSecretStoreTest, RefusesAnOpenDirectoryAndASymbolicLink) {
    ASSERT_EQ(store_.add(item("k", "v")), Status::Success);
    ::chmod(dir_.c_str(), 0755);
    SecretItem found;
    EXPECT_EQ(store_.copyFirst(byKey("k"), found), Status::NotAvailable);
    EXPECT_TRUE(log_->contains("other users may access it (mode 0755)"));
    ::chmod(dir_.c_str(), 0700);

    // A store file replaced by a link to a file elsewhere is not followed.
    const auto elsewhere = dir_.parent_path() / "elsewhere";
    fs::rename(dir_ / "store", elsewhere);
    fs::create_symlink(elsewhere, dir_ / "store");
    EXPECT_EQ(store_.copyFirst(byKey("k"), found), Status::NotAvailable);
    EXPECT_EQ(store_.add(item("k2", "v2")), Status::NotAvailable);
    EXPECT_TRUE(log_->contains("is a symbolic link"));
}

TEST_F(EncryptedFileSecretStoreTest, AStoreItCannotDecryptIsKeptAsItIs) {
    ASSERT_EQ(store_.add(item("k", "v")), Status::Success);
    const auto sealed = readFile(dir_ / "store");
    const auto key = readFile(dir_ / "key");
    auto writeFile = [](const fs::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    };
    SecretItem found;

    // A damaged file.
    std::string damaged = sealed;
    damaged[damaged.size() / 2] ^= 0x01;
    writeFile(dir_ / "store", damaged);
    EXPECT_EQ(store_.copyFirst(byKey("k"), found), Status::Decode);
    EXPECT_EQ(store_.add(item("k2", "v2")), Status::Decode);
    EXPECT_EQ(readFile(dir_ / "store"), damaged);
    EXPECT_TRUE(log_->contains("cannot be decrypted with its key"));
    writeFile(dir_ / "store", sealed);

    // Another key (a store copied from elsewhere, or a key file lost and made anew).
    writeFile(dir_ / "key", std::string(32, 'x'));
    EXPECT_EQ(store_.copyFirst(byKey("k"), found), Status::Decode);
    EXPECT_EQ(store_.add(item("k2", "v2")), Status::Decode);
    EXPECT_EQ(store_.remove(byKey("k")), Status::Decode);
    EXPECT_EQ(readFile(dir_ / "store"), sealed);

    // No key at all beside an existing store: a new key would orphan the store.
    fs::remove(dir_ / "key");
    EXPECT_EQ(store_.add(item("k2", "v2")), Status::Decode);
    EXPECT_FALSE(fs::exists(dir_ / "key"));
    EXPECT_EQ(readFile(dir_ / "store"), sealed);
    EXPECT_TRUE(log_->contains("has no key file beside it"));

    // With its own key back, everything is there.
    writeFile(dir_ / "key", key);
    ::chmod((dir_ / "key").c_str(), 0600);
    ASSERT_EQ(store_.copyFirst(byKey("k"), found), Status::Success);
    EXPECT_EQ(found.value, "v");
}

TEST_F(EncryptedFileSecretStoreTest, TemporaryFilesOfKilledWritersAreCleanedUp) {
    ASSERT_EQ(store_.add(item("k", "v")), Status::Success);
    {
        std::ofstream stale(dir_ / "store.tmp-99999-0");
        stale << "half written";
    }
    ASSERT_EQ(store_.add(item("k2", "v2")), Status::Success);
    EXPECT_FALSE(fs::exists(dir_ / "store.tmp-99999-0"));
    SecretItem found;
    ASSERT_EQ(store_.copyFirst(byKey("k"), found), Status::Success);
    EXPECT_EQ(found.value, "v");
}

}  // namespace
}  // namespace vk
