// The player-control commands MpvPlayer::execute() takes: their arguments checked and turned into
// libmpv's command words.
#include "VornKit/Mpv/MpvControlCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "VornKit/Mpv/MpvEngine.h"

namespace vk::mpv_detail {

namespace {

/// A text argument of execute() (std::string or a C string).
std::optional<std::string> textArgument(const std::any& argument) {
    if (auto* text = std::any_cast<std::string>(&argument))
        return *text;
    if (auto* text = std::any_cast<const char*>(&argument); text && *text)
        return std::string(*text);
    return std::nullopt;
}

/// A number argument of execute(): a double, float, int or std::int64_t, or a text that is one
/// finite number.
std::optional<double> numberArgument(const std::any& argument) {
    std::optional<double> value;
    if (auto* d = std::any_cast<double>(&argument)) {
        value = *d;
    } else if (auto* f = std::any_cast<float>(&argument)) {
        value = *f;
    } else if (auto* i = std::any_cast<int>(&argument)) {
        value = *i;
    } else if (auto* l = std::any_cast<std::int64_t>(&argument)) {
        value = static_cast<double>(*l);
    } else if (auto text = textArgument(argument)) {
        char* end = nullptr;
        const double parsed = std::strtod(text->c_str(), &end);
        if (!text->empty() && *end == '\0')
            value = parsed;
    }
    if (value && !std::isfinite(*value))
        return std::nullopt;
    return value;
}

/// A yes/no argument: a bool, or the texts "yes", "no", "true", "false".
std::optional<std::string> flagArgument(const std::any& argument) {
    if (auto* b = std::any_cast<bool>(&argument))
        return *b ? "yes" : "no";
    auto text = textArgument(argument);
    if (text == "yes" || text == "true")
        return "yes";
    if (text == "no" || text == "false")
        return "no";
    return std::nullopt;
}

/// A track argument: a track id (0 and up), "auto" or "no".
std::optional<std::string> trackArgument(const std::any& argument) {
    if (auto text = textArgument(argument); text == "auto" || text == "no")
        return text;
    auto id = numberArgument(argument);
    if (!id || *id < 0 || *id > 1e6 || std::floor(*id) != *id)
        return std::nullopt;
    return std::to_string(static_cast<std::int64_t>(*id));
}

}  // namespace

/// The libmpv command words for one of the player-control commands execute() takes, or absent
/// for anything else (libmpv's own commands run programs, load scripts and write files).
std::optional<std::vector<std::string>> controlCommand(const std::string& command,
                                                       const std::any& argument) {
    using Words = std::vector<std::string>;
    if (command == "volume") {
        auto volume = numberArgument(argument);
        if (!volume)
            return std::nullopt;
        return Words{"set", "volume", number(std::clamp(*volume, 0.0, 100.0))};
    }
    if (command == "mute" || command == "sub-visibility") {
        if (!argument.has_value())
            return Words{"cycle", command};
        auto flag = flagArgument(argument);
        if (!flag)
            return std::nullopt;
        return Words{"set", command, *flag};
    }
    if (command == "speed") {
        auto speed = numberArgument(argument);
        if (!speed || *speed < 0.01 || *speed > 100)
            return std::nullopt;
        return Words{"set", "speed", number(*speed)};
    }
    if (command == "aid" || command == "sid") {
        auto track = trackArgument(argument);
        if (!track)
            return std::nullopt;
        return Words{"set", command, *track};
    }
    if (command == "sub-delay" || command == "audio-delay") {
        auto seconds = numberArgument(argument);
        if (!seconds)
            return std::nullopt;
        return Words{"set", command, number(*seconds)};
    }
    if (command == "cycle") {
        auto property = textArgument(argument);
        if (property != "pause" && property != "mute" && property != "aid" && property != "sid" &&
            property != "sub-visibility")
            return std::nullopt;
        return Words{"cycle", *property};
    }
    if (command == "frame-step" || command == "frame-back-step") {
        if (argument.has_value())
            return std::nullopt;
        return Words{command};
    }
    return std::nullopt;
}

}  // namespace vk::mpv_detail
