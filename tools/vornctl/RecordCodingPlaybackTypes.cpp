// `vornctl inspect json MediaItem`: the queue item read from JSON and written back (seven keys;
// PlaylistItemId and ItemJson are read but never written).
#include "VornKit/Playback/MediaItem.h"
#include "tools/vornctl/RecordCodingTypes.h"

namespace {

bool mediaItemJson(const std::string& in, std::string& out) {
    auto decoded = vk::JsonDecoder().decode<vk::MediaItem>(in);
    if (!decoded) {
        out = decoded.error().description();
        return false;
    }
    auto json = decoded.value().toJson();
    out = json.value_or("the item could not be written");
    return json.has_value();
}

const vornctl::InspectTypeRegistration mediaItem("MediaItem",
                                                 vornctl::InspectType{mediaItemJson, {}, {}});

}  // namespace
