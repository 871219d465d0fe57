// RemoteControls' remote commands: the handlers the desktop's media keys and controls reach
// (play, pause, next, previous, position, shuffle), and the CarPlay ones (like, repeat) while the
// route is a car's.
#include <algorithm>
#include <cmath>

#include "VornKit/Connection/ItemFavoritesManager.h"
#include "VornKit/Playback/RemoteControls.h"

namespace vk {

void RemoteControls::attach(RemoteCommand command, RemoteCommandCenter::Handler handler) {
    detach(command);
    targets_[command] = services_.commandCenter->addTarget(command, std::move(handler));
}

void RemoteControls::detach(RemoteCommand command) {
    auto found = targets_.find(command);
    if (found == targets_.end())
        return;
    services_.commandCenter->removeTarget(command, found->second);
    targets_.erase(found);
}

void RemoteControls::registerRemoteControlEventHandlers() {
    if (registeredForCommands_)
        return;
    registeredForCommands_ = true;
    auto& center = *services_.commandCenter;
    std::weak_ptr<RemoteControls> weak = weak_from_this();
    // Runs `action` on the player, if there still is one; always reports success.
    auto onPlayer = [weak](std::function<void(Player&, const RemoteCommandEvent&)> action) {
        return [weak, action](const RemoteCommandEvent& event) {
            if (auto self = weak.lock())
                if (auto player = self->player())
                    action(*player, event);
            return RemoteCommandStatus::Success;
        };
    };
    for (auto command :
         {RemoteCommand::NextTrack, RemoteCommand::PreviousTrack,
          RemoteCommand::ChangePlaybackPosition, RemoteCommand::TogglePlayPause,
          RemoteCommand::Play, RemoteCommand::Pause, RemoteCommand::ChangeShuffleMode})
        center.setEnabled(command, true);
    attach(RemoteCommand::TogglePlayPause,
           onPlayer([](Player& p, const RemoteCommandEvent&) { p.playPause(); }));
    attach(RemoteCommand::Play,
           onPlayer([](Player& p, const RemoteCommandEvent&) { p.unpause(); }));
    attach(RemoteCommand::Pause, onPlayer([](Player& p, const RemoteCommandEvent&) { p.pause(); }));
    attach(RemoteCommand::NextTrack,
           onPlayer([](Player& p, const RemoteCommandEvent&) { p.nextTrack(); }));
    attach(RemoteCommand::PreviousTrack,
           onPlayer([](Player& p, const RemoteCommandEvent&) { p.prevTrack(); }));
    attach(RemoteCommand::ChangePlaybackPosition,
           onPlayer([](Player& p, const RemoteCommandEvent& e) {
               // A position the player cannot take (not a number) is dropped; before the start
               // is the start.
               if (!std::isfinite(e.positionTime))
                   return;
               p.setPosition(std::max(0.0, e.positionTime) * 1000.0);
           }));
    std::weak_ptr<RemoteCommandCenter> weakCenter = services_.commandCenter;
    attach(RemoteCommand::ChangeShuffleMode,
           onPlayer([weakCenter](Player& p, const RemoteCommandEvent& e) {
               auto center = weakCenter.lock();
               if (e.shuffleType == RemoteShuffleType::Items ||
                   e.shuffleType == RemoteShuffleType::Collections) {
                   p.setShuffleOn(true);
                   if (center)
                       center->setCurrentShuffleType(RemoteShuffleType::Collections);
               } else if (e.shuffleType == RemoteShuffleType::Off) {
                   p.setShuffleOn(false);
                   if (center)
                       center->setCurrentShuffleType(RemoteShuffleType::Off);
               }
           }));
    registerCarPlayEventHandlers();
}

void RemoteControls::registerCarPlayEventHandlers() {
    auto& center = *services_.commandCenter;
    if (!isCarPlay()) {
        center.setEnabled(RemoteCommand::Like, false);
        center.setEnabled(RemoteCommand::ChangeRepeatMode, false);
        detach(RemoteCommand::Like);
        detach(RemoteCommand::ChangeRepeatMode);
        return;
    }
    std::weak_ptr<RemoteControls> weak = weak_from_this();
    center.setEnabled(RemoteCommand::Like, true);
    center.setLikeShortTitle("Favorite");
    attach(RemoteCommand::Like, [weak](const RemoteCommandEvent&) {
        auto self = weak.lock();
        if (!self || !self->currentItem_)
            return RemoteCommandStatus::Success;
        auto center = self->services_.commandCenter;
        const auto& item = *self->currentItem_;
        auto done = self->likeStateOf(self->currentItem_);
        if (self->services_.favorites.setItemFavorite)
            self->services_.favorites.setItemFavorite(item.ServerId.value_or(""),
                                                      item.ItemId.value_or(""),
                                                      !center->likeIsActive(), std::move(done));
        else
            ItemFavoritesManager::setItemFavorite(item.ServerId.value_or(""),
                                                  item.ItemId.value_or(""), !center->likeIsActive(),
                                                  std::move(done));
        return RemoteCommandStatus::Success;
    });
    center.setEnabled(RemoteCommand::ChangeRepeatMode, true);
    attach(RemoteCommand::ChangeRepeatMode, [weak](const RemoteCommandEvent& e) {
        auto self = weak.lock();
        auto player = self ? self->player() : nullptr;
        if (!player)
            return RemoteCommandStatus::Success;
        switch (e.repeatType) {
            case RemoteRepeatType::Off:
                player->setRepeatMode("RepeatNone");
                break;
            case RemoteRepeatType::One:
                player->setRepeatMode("RepeatOne");
                break;
            case RemoteRepeatType::All:
                player->setRepeatMode("RepeatAll");
                break;
        }
        return RemoteCommandStatus::Success;
    });
}

void RemoteControls::unregisterRemoteControlEventHandlers() {
    if (!registeredForCommands_)
        return;
    registeredForCommands_ = false;
    for (int i = 0; i < static_cast<int>(kRemoteCommandCount); ++i) {
        const auto command = static_cast<RemoteCommand>(i);
        services_.commandCenter->setEnabled(command, false);
        detach(command);
    }
}

}  // namespace vk
