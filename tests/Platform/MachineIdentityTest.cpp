#include "VornKit/Platform/Secrets/MachineIdentity.h"

#include <systemd/sd-id128.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <fstream>
#include <set>

#include "Support/PrivateBus.h"
#include "Support/TestSupport.h"
#include "VornKit/Platform/Bus/DBusConnection.h"
#include "gtest/gtest.h"

namespace vk {
namespace {

std::filesystem::path writeFile(const std::string& name, const std::string& text) {
    auto path = test::makeTempDir("machine") / name;
    std::ofstream(path) << text;
    return path;
}

TEST(Uuid, CanonicalTextRoundTripsAndBadTextIsRefused) {
    auto parsed = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::parse("E621E1F8C36C495A93FC0C247A3E6E5F"), parsed);
    for (const char* bad :
         {"", "e621e1f8-c36c-495a-93fc-0c247a3e6e5", "e621e1f8+c36c-495a-93fc-0c247a3e6e5f",
          "g621e1f8-c36c-495a-93fc-0c247a3e6e5f", "uninitialized"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        auto text = Uuid::random().uuidString();
        EXPECT_EQ(text[14], '4') << text;                                          // version 4
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;  // variant
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(LinuxMachineIdentity, DerivesTheSameApplicationIdAsSystemd) {
    auto applicationId = *Uuid::parse("6B1E9C04-5A3F-4E2D-9C71-0D8F3B2A7E15");
    sd_id128_t app;
    std::copy(applicationId.bytes.begin(), applicationId.bytes.end(), app.bytes);
    sd_id128_t expected;
    if (sd_id128_get_machine_app_specific(app, &expected) < 0)
        GTEST_SKIP() << "this machine has no usable /etc/machine-id";
    LinuxMachineIdentity identity;
    auto derived = identity.applicationSpecificId(applicationId);
    ASSERT_TRUE(derived);
    EXPECT_TRUE(std::equal(derived->bytes.begin(), derived->bytes.end(), expected.bytes));
    // The machine id itself is not what comes out.
    EXPECT_NE(derived, LinuxMachineIdentity::readMachineId("/etc/machine-id"));
}

TEST(LinuxMachineIdentity, MachineIdFileMustHoldAnId) {
    EXPECT_TRUE(LinuxMachineIdentity::readMachineId(
        writeFile("machine-id", "3d1219c7c4c5404aaa1f6d2a48adfda4\n")));
    EXPECT_FALSE(LinuxMachineIdentity::readMachineId(writeFile("first-boot", "uninitialized\n")));
    EXPECT_FALSE(LinuxMachineIdentity::readMachineId(writeFile("empty", "")));
    EXPECT_FALSE(LinuxMachineIdentity::readMachineId(
        writeFile("zero", "00000000000000000000000000000000\n")));
    EXPECT_FALSE(LinuxMachineIdentity::readMachineId("/nonexistent/machine-id"));

    LinuxMachineIdentity::Paths paths;
    paths.machineId = "/nonexistent/machine-id";
    EXPECT_FALSE(LinuxMachineIdentity(paths).applicationSpecificId(Uuid::random()));
}

TEST(LinuxMachineIdentity, PrettyHostNameFromMachineInfoWithShellQuoting) {
    EXPECT_EQ(LinuxMachineIdentity::readPrettyHostName(writeFile(
                  "info1", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's \\\"Blue\\\" Laptop\"\n")),
              "Ada's \"Blue\" Laptop");
    EXPECT_EQ(LinuxMachineIdentity::readPrettyHostName(
                  writeFile("info2", "PRETTY_HOSTNAME='Car Unit'\n")),
              "Car Unit");
    EXPECT_EQ(
        LinuxMachineIdentity::readPrettyHostName(writeFile("info3", "PRETTY_HOSTNAME=Kiosk\\ 7\n")),
        "Kiosk 7");
    EXPECT_FALSE(
        LinuxMachineIdentity::readPrettyHostName(writeFile("info4", "PRETTY_HOSTNAME=\"\"\n")));
    EXPECT_FALSE(LinuxMachineIdentity::readPrettyHostName("/nonexistent/machine-info"));
}

TEST(LinuxMachineIdentity, DeviceNameComesFromHostnamedThenMachineInfoThenHostName) {
    if (!test::PrivateBus::dbusmockAvailable())
        GTEST_SKIP() << "python3-dbusmock is not installed (Debian's /usr/bin/python3)";
    std::string error;
    auto bus = test::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    LinuxMachineIdentity::Paths paths;
    paths.machineInfo = writeFile("info", "PRETTY_HOSTNAME=\"From Machine Info\"\n");

    // No hostnamed on the bus: machine-info.
    LinuxMachineIdentity identity(paths, bus->connection());
    EXPECT_EQ(identity.deviceName(), "From Machine Info");

    // hostnamed with a pretty name wins.
    ASSERT_TRUE(bus->startMock("org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                               "org.freedesktop.hostname1"));
    ASSERT_TRUE(bus->connection()->call(
        "org.freedesktop.hostname1", "/org/freedesktop/hostname1", "org.freedesktop.DBus.Mock",
        "AddProperty",
        [](sdbus::MethodCall& call) {
            call << std::string("org.freedesktop.hostname1") << std::string("PrettyHostname")
                 << sdbus::Variant(std::string("Living Room Player"));
        },
        nullptr));
    EXPECT_EQ(identity.deviceName(), "Living Room Player");

    // Neither (a bus without hostnamed, no machine-info): the kernel's host name.
    paths.machineInfo = "/nonexistent/machine-info";
    auto empty = test::PrivateBus::start(error);
    ASSERT_TRUE(empty) << error;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(LinuxMachineIdentity(paths, empty->connection()).deviceName(), std::string(host));
}

}  // namespace
}  // namespace vk
