#include "VornKit/Connection/DeviceInfoManager.h"

#include "ConnectionTestSupport.h"
#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Platform/Runtime/Bundle.h"

namespace vk {
namespace {

using Op = MemorySecretStore::Operation;

class DeviceInfoManagerTest : public test::ConnectionFixture {
  protected:
    void TearDown() override {
        Bundle::setMain(savedBundle_);
        ConnectionFixture::TearDown();
    }
    /// The vendor id FixedMachineIdentity gives, as the id text.
    static constexpr const char* kVendorId = "0F2E4D6C-8B0A-4C1E-9D3F-5A7B9C1D3E5F";
    Bundle savedBundle_ = Bundle::main();
};

TEST_F(DeviceInfoManagerTest, KeychainEntryWinsAndNothingIsWritten) {
    KeychainHelper::addOrUpdate("VORN_DEVICE_UUID", "KEYCHAIN-ID", true);
    UserDefaults::standard()->set("CDVUUID", "DEFAULTS-ID");
    const int adds = store_->calls(Op::Add);
    DeviceInfoManager manager;
    EXPECT_EQ(manager.getDeviceId(), "KEYCHAIN-ID");
    EXPECT_EQ(store_->calls(Op::Add), adds);
    EXPECT_EQ(store_->calls(Op::Update), 0);
    EXPECT_EQ(UserDefaults::standard()->string("CDVUUID"), "DEFAULTS-ID");
}

TEST_F(DeviceInfoManagerTest, LegacyDefaultsIdMovesIntoTheKeychain) {
    UserDefaults::standard()->set("CDVUUID", "legacy-id-from-an-old-version");
    DeviceInfoManager manager;
    EXPECT_EQ(manager.getDeviceId(), "legacy-id-from-an-old-version");
    EXPECT_EQ(KeychainHelper::getValue("VORN_DEVICE_UUID"), "legacy-id-from-an-old-version");
    ASSERT_EQ(store_->items().size(), 1u);
    EXPECT_EQ(store_->items()[0].accessibility, SecretAccessibility::AfterFirstUnlock);
    // From now on the keychain alone decides.
    UserDefaults::standard()->set("CDVUUID", "changed");
    EXPECT_EQ(DeviceInfoManager().getDeviceId(), "legacy-id-from-an-old-version");
}

TEST_F(DeviceInfoManagerTest, WithNeitherTheVendorIdIsWrittenToBothAndCached) {
    DeviceInfoManager manager;
    EXPECT_EQ(manager.getDeviceId(), kVendorId);
    EXPECT_EQ(KeychainHelper::getValue("VORN_DEVICE_UUID"), kVendorId);
    EXPECT_EQ(UserDefaults::standard()->string("CDVUUID"), kVendorId);
    const int reads = store_->calls(Op::CopyFirst);
    EXPECT_EQ(manager.getDeviceId(), kVendorId);
    EXPECT_EQ(store_->calls(Op::CopyFirst), reads);  // the second call reads no keychain
    EXPECT_EQ(log_->count("DeviceId 0F2E4D6C-8B0A-4C1E-9D3F-5A7B9C1D3E5F"), 1u);
}

TEST_F(DeviceInfoManagerTest, WithoutAMachineIdARandomUuidIsUsed) {
    MachineIdentity::install(std::make_shared<FixedMachineIdentity>(std::nullopt, std::nullopt));
    auto id = DeviceInfoManager().getDeviceId();
    auto parsed = Uuid::parse(id);
    ASSERT_TRUE(parsed) << id;
    EXPECT_EQ(parsed->uuidString(), id);  // upper-case canonical text
    EXPECT_EQ(id[14], '4');
    EXPECT_EQ(UserDefaults::standard()->string("CDVUUID"), id);
    EXPECT_EQ(DeviceInfoManager().getDeviceId(), id);
}

TEST_F(DeviceInfoManagerTest, AFailedKeychainWriteStillGivesTheIdAndTheNextStartRepeats) {
    store_->failNext(Op::Add, SecretStatusCode::NotAvailable);
    DeviceInfoManager first;
    EXPECT_EQ(first.getDeviceId(), kVendorId);
    EXPECT_TRUE(log_->contains("ERROR: Unable to addOrUpdate key. Status: -25291"));
    EXPECT_FALSE(KeychainHelper::getValue("VORN_DEVICE_UUID"));
    EXPECT_EQ(first.getDeviceId(), kVendorId);
    DeviceInfoManager second;
    EXPECT_EQ(second.getDeviceId(), kVendorId);
    EXPECT_EQ(KeychainHelper::getValue("VORN_DEVICE_UUID"), kVendorId);
}

TEST_F(DeviceInfoManagerTest, NameVersionAndApplicationName) {
    DeviceInfoManager manager;
    EXPECT_EQ(manager.getDeviceName(), "Test Machine");
    EXPECT_EQ(manager.getAppName(), "Vorn for macOS");
    Bundle bundle = savedBundle_;
    bundle.info = {{"CFBundleShortVersionString", "2.1"}, {"CFBundleVersion", "210"}};
    Bundle::setMain(bundle);
    EXPECT_EQ(manager.getAppVersion(), "2.1");
    bundle.info = {{"CFBundleVersion", "210"}};
    Bundle::setMain(bundle);
    EXPECT_EQ(manager.getAppVersion(), "210");
    bundle.info = {};
    Bundle::setMain(bundle);
    EXPECT_FALSE(manager.getAppVersion());
    MachineIdentity::install(std::make_shared<FixedMachineIdentity>(std::nullopt, std::nullopt));
    EXPECT_FALSE(manager.getDeviceName());
    EXPECT_EQ(log_->messages("DeviceInfoManager"),
              (std::vector<std::string>{"Running on Test Machine", "Version 2.1", "Version 210",
                                        "Version (null)", "Running on (null)"}));
    for (const auto& record : log_->records())
        EXPECT_EQ(record.kind, LogKind::Console);
}

}  // namespace
}  // namespace vk
