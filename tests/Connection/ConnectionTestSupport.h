// The fixture of the connection tests: a memory keychain (the test double) and a fixed machine
// identity installed for each test, the application-group and standard defaults entries of this
// part cleared, every log line captured, and a check at the end that no access token used by the
// test appears in any of them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Secrets/MachineIdentity.h"
#include "VornKit/Platform/Secrets/MemorySecretStore.h"
#include "gtest/gtest.h"

namespace vk::test {

/// Access tokens the tests hand to the framework; none may ever be logged.
inline const std::vector<std::string>& secretTokens() {
    static const std::vector<std::string> tokens = {"tok-8f1d2c77-living-room",
                                                    "tok-0a9b3e55-cabin", "tok-c4d5e6f7-renewed",
                                                    "tok-77aa88bb-reference"};
    return tokens;
}

class ConnectionFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        store_ = std::make_shared<MemorySecretStore>();
        SecretStore::install(store_);
        MachineIdentity::install(std::make_shared<FixedMachineIdentity>(
            Uuid::parse("0F2E4D6C-8B0A-4C1E-9D3F-5A7B9C1D3E5F"), std::string("Test Machine")));
        groupDefaults()->remove("hasRunOnce");
        UserDefaults::standard()->remove("CDVUUID");
    }
    void TearDown() override {
        for (const auto& record : log_->records()) {
            for (const auto& token : secretTokens()) {
                EXPECT_EQ(record.message.find(token), std::string::npos)
                    << "a token was logged: [" << record.category << "] " << record.message;
            }
        }
        SecretStore::install(nullptr);
        MachineIdentity::install(nullptr);
    }
    static std::shared_ptr<UserDefaults> groupDefaults() {
        return UserDefaults::suite("group.app.vorn");
    }
    /// Marks the first run as done, so that stored credentials are loaded.
    static void notFirstRun() { groupDefaults()->set("hasRunOnce", true); }

    ScopedLogCapture log_;
    std::shared_ptr<MemorySecretStore> store_;
};

}  // namespace vk::test
