// Any bytes given to any JSON record decoder give a record or an error: no crash, no hang, no
// unbounded memory. The first byte picks the record type; the rest is the JSON text. Decoded
// records are re-encoded and decoded again, which must succeed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Model/ImageOptions.h"
#include "VornKit/Model/ItemFileInfo.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Model/MediaStream.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/NativeCredentials.h"
#include "VornKit/Model/PlaybackProgressInfo.h"
#include "VornKit/Model/ServerInfo.h"
#include "VornKit/Model/SyncJob.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace {

/// Decoders log some failures (an embedded item that does not decode); the fuzzer drops them.
class DiscardingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

template <class T>
void roundTrip(std::string_view json) {
    vk::JsonDecoder decoder;
    auto value = decoder.decode<T>(json);
    if (!value) {
        (void)value.error().description();
        return;
    }
    auto encoded = vk::JsonEncoder().encode(*value);
    if (!encoded)
        return;  // a float that overflowed to infinity cannot be written back
    if (!decoder.decode<T>(*encoded))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Like a host, set the bundle first: logging needs its identifier.
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.fuzz";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DiscardingSink>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    std::string_view json(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 20) {
        case 0:
            roundTrip<std::shared_ptr<vk::BaseItemDto>>(json);
            break;
        case 1:
            roundTrip<vk::GetItemsResponse>(json);
            break;
        case 2:
            roundTrip<vk::MediaSourceInfo>(json);
            break;
        case 3:
            roundTrip<vk::MediaStream>(json);
            break;
        case 4:
            roundTrip<vk::UserItemDataDto>(json);
            break;
        case 5:
            roundTrip<vk::NameIdPair>(json);
            break;
        case 6:
            roundTrip<vk::ServerInfo>(json);
            break;
        case 7:
            roundTrip<vk::NativeCredentials>(json);
            break;
        case 8:
            roundTrip<vk::EndpointInfo>(json);
            break;
        case 9:
            roundTrip<vk::ImageOptions>(json);
            break;
        case 10:
            roundTrip<vk::PlaybackProgressInfo>(json);
            break;
        case 11:
            roundTrip<vk::PlaybackStopInfo>(json);
            break;
        case 12:
            roundTrip<vk::QueueItem>(json);
            break;
        case 13:
            roundTrip<vk::SyncJobRequest>(json);
            break;
        case 14:
            roundTrip<vk::SyncJob>(json);
            break;
        case 15:
            roundTrip<vk::SyncJobItem>(json);
            break;
        case 16:
            roundTrip<vk::SyncJobCreationResult>(json);
            break;
        case 17:
            roundTrip<vk::SyncDataRequest>(json);
            break;
        case 18:
            roundTrip<vk::SyncDataResponse>(json);
            break;
        default:
            roundTrip<vk::ItemFileInfo>(json);
            break;
    }
    return 0;
}
