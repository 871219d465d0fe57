// Any bytes a peer sends go through the frame reader, the property-list decoder and the frame
// interpreter without a crash, a hang or unbounded memory: every frame is a value or a refusal.
// The first byte sets how the stream is cut into reads (1 to 256 bytes each); the rest is the
// stream. A value that decodes and can be written again decodes again to the same value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "VornKit/Platform/Coding/PropertyList.h"
#include "VornKit/Platform/Watch/WatchFrame.h"

namespace {

/// Equality in which a NaN real equals any NaN real.
bool sameValue(const vk::PlistValue& a, const vk::PlistValue& b) {
    if (a.type() != b.type())
        return false;
    if (const double* x = a.real()) {
        const double y = *b.real();
        return (std::isnan(*x) && std::isnan(y)) || *x == y;
    }
    if (const auto* x = a.array()) {
        const auto& y = *b.array();
        if (x->size() != y.size())
            return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!sameValue((*x)[i], y[i]))
                return false;
        return true;
    }
    if (const auto* x = a.dictionary()) {
        const auto& y = *b.dictionary();
        if (x->size() != y.size())
            return false;
        for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j)
            if (i->first != j->first || !sameValue(i->second, j->second))
                return false;
        return true;
    }
    return a == b;
}

}  // namespace

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
                // Compared as values: the writer may share equal objects or not, so two writings
                // of one value need not be the same bytes.
                auto back = vk::decodeBinaryPlist(again->data(), again->size());
                if (!back || !sameValue(*back, *value))
                    std::abort();
            }
        }
    }
    // The whole input read as one property list, too.
    if (auto value = vk::decodeBinaryPlist(data, size))
        (void)vk::describePlist(*value);
    return 0;
}
