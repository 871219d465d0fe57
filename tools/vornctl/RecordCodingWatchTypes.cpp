// `vornctl inspect json` for the watch payloads. They travel as plain JSON (dates, where a
// nested record has them, as seconds since 2001), so they are read and written that way here.
#include "VornKit/Watch/PlayerCommand.h"
#include "VornKit/Watch/WCCredentialsData.h"
#include "VornKit/Watch/WCPlaybackData.h"
#include "tools/vornctl/RecordCodingTypes.h"

namespace {

template <class T>
bool reencode(const std::string& in, std::string& out) {
    auto value = vk::JsonDecoder().decode<T>(in);
    if (!value) {
        out = value.error().description();
        return false;
    }
    auto json = vk::JsonEncoder().encode(*value);
    if (!json) {
        out = "the record holds a value JSON cannot represent";
        return false;
    }
    out = *json;
    return true;
}

const vornctl::InspectTypeRegistration credentials("WCCredentialsData",
                                                   vornctl::InspectType{
                                                       reencode<vk::WCCredentialsData>, {}, {}});
const vornctl::InspectTypeRegistration playback("WCPlaybackData",
                                                vornctl::InspectType{
                                                    reencode<vk::WCPlaybackData>, {}, {}});
const vornctl::InspectTypeRegistration state("WCPlaybackStateUpdateData",
                                             vornctl::InspectType{
                                                 reencode<vk::WCPlaybackStateUpdateData>, {}, {}});
const vornctl::InspectTypeRegistration command("PlayerCommandWrapper",
                                               vornctl::InspectType{
                                                   reencode<vk::PlayerCommandWrapper>, {}, {}});

}  // namespace
