// Any property list a peer sends goes through the message parser without a crash, a hang or
// unbounded memory: a dictionary gives a message or nothing. A message that parses gives a
// dictionary that parses again to the same command, time and payloads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "VornKit/Platform/Coding/PropertyList.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Watch/WCMessages.h"

namespace {

// The parser's warnings are expected here; keep them off the terminal.
class NullSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.fuzz";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<NullSink>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto value = vk::decodeBinaryPlist(data, size);
    if (!value || !value->dictionary())
        return 0;
    auto message = vk::WCMessage::fromMessage(*value->dictionary());
    if (!message)
        return 0;
    auto again = vk::WCMessage::fromMessage(message->dictionary());
    if (!again || again->command != message->command ||
        again->timestamp() != message->timestamp() ||
        again->credentialsData != message->credentialsData ||
        again->playbackData.has_value() != message->playbackData.has_value()) {
        std::abort();
    }
    return 0;
}
