// Any bytes a peer sends go through the frame reader, the property-list decoder and the frame
// interpreter without a crash, a hang or unbounded memory: every frame is a value or a refusal.
// The first byte sets how the stream is cut into reads (1 to 256 bytes each); the rest is the
// stream. A value that decodes and can be written again decodes again and is written the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "VornKit/Platform/PropertyList.h"
#include "VornKit/Platform/WatchFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::size_t chunk = std::size_t{data[0]} + 1;
    ++data;
    --size;
    vk::WatchFrameReader reader(1 << 20);
    std::vector<std::uint8_t> body;
    for (std::size_t at = 0; at < size; at += chunk) {
        reader.append(data + at, std::min(chunk, size - at));
        while (reader.next(body) == vk::WatchFrameReader::Status::Frame) {
            auto value = vk::decodeBinaryPlist(body.data(), body.size());
            if (!value)
                continue;
            (void)vk::describePlist(*value);
            (void)vk::WatchWireFrame::fromValue(*value);
            if (auto again = vk::encodeBinaryPlist(*value)) {
                // Compared by their binary forms: a NaN real is not equal to itself.
                auto back = vk::decodeBinaryPlist(again->data(), again->size());
                auto third = back ? vk::encodeBinaryPlist(*back) : std::nullopt;
                if (!third || *third != *again)
                    std::abort();
            }
        }
    }
    // The whole input read as one property list, too.
    if (auto value = vk::decodeBinaryPlist(data, size))
        (void)vk::describePlist(*value);
    return 0;
}
