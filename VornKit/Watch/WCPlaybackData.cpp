#include "VornKit/Watch/WCPlaybackData.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

WCPlaybackStateUpdateData::WCPlaybackStateUpdateData(
    PlayerEvent playerEvent, const std::shared_ptr<MediaItem>& currentItem,
    const std::optional<std::vector<std::shared_ptr<MediaItem>>>& currentPlayQueue)
    : playerEvent_(playerEvent) {
    if (currentItem)
        currentItemJson_ = currentItem->toJson();
    if (currentPlayQueue)
        currentPlayQueueJson_ = MediaItem::mediaItemsToJson(*currentPlayQueue);
}

std::shared_ptr<MediaItem> WCPlaybackStateUpdateData::currentItem() const {
    if (!currentItemJson_)
        return nullptr;
    return MediaItem::initWithJson(*currentItemJson_);
}

std::optional<std::vector<std::shared_ptr<MediaItem>>> WCPlaybackStateUpdateData::currentPlayQueue()
    const {
    if (!currentPlayQueueJson_)
        return std::nullopt;
    return MediaItem::mediaItemsFromJson(*currentPlayQueueJson_);
}

const FieldTable<WCPlaybackStateUpdateData>& WCPlaybackStateUpdateData::fieldTable() {
    using R = WCPlaybackStateUpdateData;
    static const FieldTable<R> table(
        "WCPlaybackStateUpdateData",
        {
            field<&R::playerEvent_>("playerEvent", Presence::Required),
            field<&R::currentItemJson_>("currentItemJson", Presence::Optional),
            field<&R::currentPlayQueueJson_>("currentPlayQueueJson", Presence::Optional),
        });
    return table;
}

const FieldTable<WCPlaybackData>& WCPlaybackData::fieldTable() {
    static const FieldTable<WCPlaybackData> table(
        "WCPlaybackData",
        {
            field<&WCPlaybackData::items>("items", Presence::Optional),
            field<&WCPlaybackData::startIndex>("startIndex", Presence::Required),
            field<&WCPlaybackData::command>("command", Presence::Optional),
            field<&WCPlaybackData::playbackState>("playbackState", Presence::Optional),
        });
    return table;
}

}  // namespace vk

VK_RECORD_CODING(vk::WCPlaybackStateUpdateData)
VK_RECORD_CODING(vk::WCPlaybackData)
