// Any bytes given to the keyed-archive reader give a record or an error: no crash, no hang, no
// unbounded memory (UIDs are range-checked, depth and visits are bounded). The first byte picks
// the record type and its transformer's allow-list; the rest is the archive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Model/MediaStream.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Model/ValueTransformer.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace {

/// Anything the readers log is dropped.
class DiscardingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

template <class T>
void read(const vk::ArchiveBytes& bytes, const char* transformer) {
    auto named = vk::ValueTransformer::forName(transformer);
    if (!named)
        std::abort();
    if (auto value = named->reverseTransformedValue<T>(bytes)) {
        auto again = named->reverseTransformedValue<T>(named->transformedValue(*value));
        if (!again)
            std::abort();
    }
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
    vk::ArchiveBytes bytes(data + 1, data + size);
    switch (data[0] % 7) {
        case 0:
            read<vk::UserItemDataDto>(bytes, "UserItemDataDto");
            break;
        case 1:
            read<vk::NameIdPair>(bytes, "NameIdPair");
            break;
        case 2:
            read<std::vector<vk::NameIdPair>>(bytes, "NameIdPair");
            break;
        case 3:
            read<vk::MediaStream>(bytes, "MediaStream");
            break;
        case 4:
            read<vk::MediaSourceInfo>(bytes, "MediaSourceInfo");
            break;
        case 5:
            read<std::vector<vk::MediaStream>>(bytes, "MediaSourceInfo");
            break;
        default: {
            auto item = vk::unarchivedObject<std::shared_ptr<vk::BaseItemDto>>(bytes, {});
            (void)item;
            break;
        }
    }
    return 0;
}
