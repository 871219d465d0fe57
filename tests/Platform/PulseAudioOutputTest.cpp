// The PulseAudio output against a private PulseAudio server, checked with pactl.
#include "VornKit/Platform/Audio/PulseAudioOutput.h"

#include "Support/DesktopServices.h"
#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

TEST(PulseAudioOutput, TheIdleOutputIsACorkedStreamOnlyWhileStarted) {
    PrivatePulseServer server;
    ASSERT_TRUE(server.ready());
    auto output = PulseAudioOutput::connect(std::chrono::seconds(10), server.address());
    ASSERT_NE(output, nullptr);
    auto inputs = [&] { return server.pactl("list sink-inputs").output; };

    EXPECT_FALSE(output->startIdleOutput());  // not created yet
    ASSERT_TRUE(output->createIdleOutput());
    EXPECT_EQ(output->idleOutputState(), IdleOutputState::Created);
    EXPECT_EQ(inputs().find("VornKit idle output"), std::string::npos);

    ASSERT_TRUE(output->startIdleOutput());
    EXPECT_EQ(output->idleOutputState(), IdleOutputState::Running);
    const std::string listed = inputs();
    EXPECT_NE(listed.find("VornKit idle output"), std::string::npos) << listed;
    EXPECT_NE(listed.find("Corked: yes"), std::string::npos) << listed;
    EXPECT_NE(listed.find("media.role = \"music\""), std::string::npos) << listed;

    output->stopIdleOutput();
    EXPECT_EQ(inputs().find("VornKit idle output"), std::string::npos);
    EXPECT_EQ(output->idleOutputState(), IdleOutputState::Created);
    ASSERT_TRUE(output->startIdleOutput());  // a stopped output starts again
    EXPECT_NE(inputs().find("VornKit idle output"), std::string::npos);
    output->disposeIdleOutput();
    EXPECT_EQ(output->idleOutputState(), IdleOutputState::None);
    EXPECT_EQ(inputs().find("VornKit idle output"), std::string::npos);
}

TEST(PulseAudioOutput, ADefaultSinkMarkedAsACarPortIsACarRoute) {
    PrivatePulseServer server;
    ASSERT_TRUE(server.ready());
    auto output = PulseAudioOutput::connect(std::chrono::seconds(10), server.address());
    ASSERT_NE(output, nullptr);
    EXPECT_FALSE(output->currentRouteIsCarAudio());

    ASSERT_EQ(server
                  .pactl("load-module module-null-sink sink_name=vk_car "
                         "sink_properties=device.form_factor=car")
                  .status,
              0);
    // Present but not where the sound goes: not the route.
    EXPECT_FALSE(output->currentRouteIsCarAudio());
    ASSERT_EQ(server.pactl("set-default-sink vk_car").status, 0);
    EXPECT_TRUE(output->currentRouteIsCarAudio());
    ASSERT_EQ(server.pactl("set-default-sink null").status, 0);
    EXPECT_FALSE(output->currentRouteIsCarAudio());
}

TEST(PulseAudioOutput, NoServerGivesNoOutput) {
    EXPECT_EQ(PulseAudioOutput::connect(std::chrono::seconds(2),
                                        "unix:" + (makeTempDir("nopulse") / "none").string()),
              nullptr);
}

}  // namespace
}  // namespace vk::test
