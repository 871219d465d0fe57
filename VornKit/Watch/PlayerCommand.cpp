#include "VornKit/Watch/PlayerCommand.h"

#include <limits>

#include "VornKit/Model/FieldCoding.h"

namespace vk {

namespace {

bool decodePlayerCommand(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    return decodeJsonEnumText(h, enumCoding(PlayerCommand{}), value, ctx);
}

}  // namespace

const EnumCoding& enumCoding(PlayerCommand) {
    using E = PlayerCommand;
    static const EnumCoding coding{
        "PlayerCommand",
        true,
        {
            {static_cast<int>(E::destroyPlayer), "destroyPlayer", "destroyPlayer"},
            {static_cast<int>(E::stop), "stop", "stop"},
            {static_cast<int>(E::playAtIndex), "playAtIndex", "playAtIndex"},
            {static_cast<int>(E::playPause), "playPause", "playPause"},
            {static_cast<int>(E::nextTrack), "nextTrack", "nextTrack"},
            {static_cast<int>(E::prevTrack), "prevTrack", "prevTrack"},
        },
        decodePlayerCommand};
    return coding;
}

std::string_view rawValue(PlayerCommand command) {
    return enumCoding(command).text(static_cast<int>(command));
}

std::optional<PlayerCommand> playerCommandFromString(std::string_view text) {
    auto value = enumCoding(PlayerCommand{}).fromText(text);
    if (!value)
        return std::nullopt;
    return static_cast<PlayerCommand>(*value);
}

PlistValue PlayerCommandArg::value() const {
    if (const auto* n = intValue())
        return PlistValue(*n);
    return PlistValue(*stringValue());
}

// One JSON value: an integer first, then a text; anything else is the one decoding error.
template <>
struct ValueCoding<PlayerCommandArg> {
    static constexpr FieldKind kind = FieldKind::Record;
    static std::string_view typeName() { return "PlayerCommandArg"; }
    static std::string_view className() { return "PlayerCommandArg"; }
    static bool decode(JsonValueHandle& h, PlayerCommandArg& out, JsonReadContext& ctx) {
        switch (tokenType(h)) {
            case JsonTokenType::Number: {
                std::int64_t n = 0;
                if (decodeJsonInteger(h, std::numeric_limits<std::int64_t>::min(),
                                      std::numeric_limits<std::int64_t>::max(), "Int", n, ctx)) {
                    out = PlayerCommandArg::int_(n);
                    return true;
                }
                break;
            }
            case JsonTokenType::String: {
                std::string_view text;
                if (decodeJsonString(h, text, ctx)) {
                    out = PlayerCommandArg::string(std::string(text));
                    return true;
                }
                break;
            }
            default:
                break;
        }
        return ctx.fail(DecodingErrorKind::DataCorrupted,
                        std::string(PlayerCommandArg::kDecodingFailed));
    }
    static void encode(JsonOutput& w, const PlayerCommandArg& v) {
        if (const auto* n = v.intValue()) {
            w.integer(*n);
        } else {
            w.string(*v.stringValue());
        }
    }
    static std::size_t jsonSize(const PlayerCommandArg& v) {
        if (const auto* n = v.intValue())
            return decimalLength(*n);
        return jsonStringSize(*v.stringValue(), false);
    }
    static std::uint64_t archive(ArchiveWriter& w, const PlayerCommandArg& v) {
        if (const auto* n = v.intValue())
            return w.integer(*n);
        return w.string(*v.stringValue());
    }
    static bool unarchive(ArchiveReader& r, std::uint64_t uid, PlayerCommandArg& out) {
        std::int64_t n = 0;
        if (archivedInteger(r, uid, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max(), n)) {
            out = PlayerCommandArg::int_(n);
            return true;
        }
        std::string_view text;
        if (!r.string(uid, text))
            return false;
        out = PlayerCommandArg::string(std::string(text));
        return true;
    }
};

const FieldTable<PlayerCommandWrapper>& PlayerCommandWrapper::fieldTable() {
    static const FieldTable<PlayerCommandWrapper> table(
        "PlayerCommandWrapper",
        {
            field<&PlayerCommandWrapper::command>("command", Presence::Required),
            field<&PlayerCommandWrapper::arg>("arg", Presence::Optional),
        });
    return table;
}

}  // namespace vk

template const ::vk::TypeCoding& ::vk::typeCoding<vk::PlayerCommandArg>();
VK_RECORD_CODING(vk::PlayerCommandWrapper)
