#include "VornKit/Playback/PlayerEvent.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

namespace {

bool decodePlayerEvent(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    return decodeJsonEnumText(h, enumCoding(PlayerEvent{}), value, ctx);
}

}  // namespace

const EnumCoding& enumCoding(PlayerEvent) {
    using E = PlayerEvent;
    static const EnumCoding coding{
        "PlayerEvent",
        true,
        {
            {static_cast<int>(E::fileDidLoad), "fileDidLoad", "fileDidLoad"},
            {static_cast<int>(E::fileDidEnd), "fileDidEnd", "fileDidEnd"},
            {static_cast<int>(E::paused), "paused", "paused"},
            {static_cast<int>(E::unpaused), "unpaused", "unpaused"},
            {static_cast<int>(E::shutdown), "shutdown", "shutdown"},
        },
        decodePlayerEvent};
    return coding;
}

std::string_view rawValue(PlayerEvent event) {
    return enumCoding(event).text(static_cast<int>(event));
}

std::optional<PlayerEvent> playerEventFromString(std::string_view text) {
    auto value = enumCoding(PlayerEvent{}).fromText(text);
    if (!value)
        return std::nullopt;
    return static_cast<PlayerEvent>(*value);
}

}  // namespace vk
