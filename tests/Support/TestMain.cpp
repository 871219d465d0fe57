#include <cstdlib>
#include <filesystem>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "gmock/gmock.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    vk::Environment::install(vk::Environment::rootedAt(vk::test::testRoot()));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.tests";
    bundle.info = {{"CFBundleShortVersionString", "1.0.0"}, {"CFBundleVersion", "100"}};
    vk::Bundle::setMain(bundle);
    int status = RUN_ALL_TESTS();
    if (std::getenv("VK_KEEP_TEST_ROOT") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(vk::test::testRoot(), ignored);
    }
    return status;
}
