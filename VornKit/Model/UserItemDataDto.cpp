#include "VornKit/Model/UserItemDataDto.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Model/ValueTransformer.h"

namespace vk {

const FieldTable<UserItemDataDto>& UserItemDataDto::fieldTable() {
    using U = UserItemDataDto;
    static const Immortal<FieldTable<U>> table(
        "UserItemDataDto",
        {
            field<&U::Rating>("Rating", Presence::Optional),
            field<&U::PlayedPercentage>("PlayedPercentage", Presence::Optional),
            field<&U::UnplayedItemCount>("UnplayedItemCount", Presence::Optional),
            field<&U::PlaybackPositionTicks>("PlaybackPositionTicks", Presence::Optional),
            field<&U::PlayCount>("PlayCount", Presence::Optional),
            field<&U::IsFavorite>("IsFavorite", Presence::Optional),
            field<&U::Likes>("Likes", Presence::Optional),
            field<&U::LastPlayedDate>("LastPlayedDate", Presence::Optional),
            field<&U::Played>("Played", Presence::Optional),
            field<&U::Key>("Key", Presence::Optional),
            field<&U::ItemId>("ItemId", Presence::Optional),
        });
    return *table;
}

std::shared_ptr<const ValueTransformer> UserItemDataDto::valueTransformer() {
    static const Immortal<std::shared_ptr<const ValueTransformer>> transformer(
        std::make_shared<const ValueTransformer>("UserItemDataDto",
                                                 std::vector<std::string>{"UserItemDataDto"}));
    return *transformer;
}

}  // namespace vk

VK_RECORD_CODING(vk::UserItemDataDto)
