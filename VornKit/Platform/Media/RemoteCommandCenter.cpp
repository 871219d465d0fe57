#include "VornKit/Platform/Media/RemoteCommandCenter.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

namespace {
struct PlainRemoteCommandCenter : RemoteCommandCenter {};
std::size_t slot(RemoteCommand command) {
    return static_cast<std::size_t>(command);
}
}  // namespace

std::shared_ptr<RemoteCommandCenter> RemoteCommandCenter::make() {
    return std::make_shared<PlainRemoteCommandCenter>();
}

bool RemoteCommandCenter::isEnabled(RemoteCommand command) const {
    std::lock_guard lock(mutex_);
    return enabled_[slot(command)];
}

void RemoteCommandCenter::setEnabled(RemoteCommand command, bool enabled) {
    {
        std::lock_guard lock(mutex_);
        if (enabled_[slot(command)] == enabled)
            return;
        enabled_[slot(command)] = enabled;
    }
    changed();
}

RemoteCommandCenter::Target RemoteCommandCenter::addTarget(RemoteCommand command, Handler handler) {
    std::lock_guard lock(mutex_);
    const Target target = nextTarget_++;
    handlers_[slot(command)].push_back({target, std::move(handler)});
    return target;
}

void RemoteCommandCenter::removeTarget(RemoteCommand command, Target target) {
    std::lock_guard lock(mutex_);
    std::erase_if(handlers_[slot(command)], [&](const Attached& a) { return a.target == target; });
}

void RemoteCommandCenter::removeAllTargets(RemoteCommand command) {
    std::lock_guard lock(mutex_);
    handlers_[slot(command)].clear();
}

std::size_t RemoteCommandCenter::targetCount(RemoteCommand command) const {
    std::lock_guard lock(mutex_);
    return handlers_[slot(command)].size();
}

RemoteShuffleType RemoteCommandCenter::currentShuffleType() const {
    std::lock_guard lock(mutex_);
    return shuffle_;
}

void RemoteCommandCenter::setCurrentShuffleType(RemoteShuffleType type) {
    {
        std::lock_guard lock(mutex_);
        if (shuffle_ == type)
            return;
        shuffle_ = type;
    }
    changed();
}

RemoteRepeatType RemoteCommandCenter::currentRepeatType() const {
    std::lock_guard lock(mutex_);
    return repeat_;
}

void RemoteCommandCenter::setCurrentRepeatType(RemoteRepeatType type) {
    {
        std::lock_guard lock(mutex_);
        if (repeat_ == type)
            return;
        repeat_ = type;
    }
    changed();
}

bool RemoteCommandCenter::likeIsActive() const {
    std::lock_guard lock(mutex_);
    return likeActive_;
}

void RemoteCommandCenter::setLikeActive(bool active) {
    {
        std::lock_guard lock(mutex_);
        if (likeActive_ == active)
            return;
        likeActive_ = active;
    }
    changed();
}

std::string RemoteCommandCenter::likeShortTitle() const {
    std::lock_guard lock(mutex_);
    return likeTitle_;
}

void RemoteCommandCenter::setLikeShortTitle(std::string title) {
    {
        std::lock_guard lock(mutex_);
        if (likeTitle_ == title)
            return;
        likeTitle_ = std::move(title);
    }
    changed();
}

std::optional<double> RemoteCommandCenter::currentVolume() const {
    std::lock_guard lock(mutex_);
    return volume_;
}

void RemoteCommandCenter::setCurrentVolume(std::optional<double> volume) {
    if (volume)
        volume = std::isnan(*volume) ? std::optional<double>() : std::clamp(*volume, 0.0, 1.0);
    {
        std::lock_guard lock(mutex_);
        if (volume_ == volume)
            return;
        volume_ = volume;
    }
    changed();
}

void RemoteCommandCenter::setVolumeHandler(VolumeHandler handler) {
    auto shared = handler ? std::make_shared<const VolumeHandler>(std::move(handler)) : nullptr;
    bool shownChange = false;
    {
        std::lock_guard lock(mutex_);
        shownChange = (volumeHandler_ == nullptr) != (shared == nullptr);
        volumeHandler_.swap(shared);
    }
    // The old handler (now in `shared`) goes outside the lock.
    if (shownChange)
        changed();
}

bool RemoteCommandCenter::acceptsVolume() const {
    std::lock_guard lock(mutex_);
    return volumeHandler_ != nullptr;
}

bool RemoteCommandCenter::sendVolume(double volume) {
    if (std::isnan(volume) || !acceptsVolume())
        return false;
    volume = std::clamp(volume, 0.0, 1.0);
    std::weak_ptr<RemoteCommandCenter> weak = weak_from_this();
    DispatchQueue::main()->async([weak, volume] {
        auto self = weak.lock();
        if (!self)
            return;
        std::shared_ptr<const VolumeHandler> handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->volumeHandler_;  // the handler set when the request is delivered
        }
        if (handler)
            (*handler)(volume);
    });
    return true;
}

bool RemoteCommandCenter::send(const RemoteCommandEvent& event,
                               std::function<void(RemoteCommandStatus)> done) {
    if (!isEnabled(event.command))
        return false;
    std::weak_ptr<RemoteCommandCenter> weak = weak_from_this();
    DispatchQueue::main()->async([weak, event, done = std::move(done)] {
        auto self = weak.lock();
        RemoteCommandStatus status = RemoteCommandStatus::NoSuchContent;
        if (self) {
            std::vector<Handler> handlers;
            {
                std::lock_guard lock(self->mutex_);
                // Disabled while the command waited for the main queue: not delivered.
                if (self->enabled_[slot(event.command)])
                    for (const Attached& a : self->handlers_[slot(event.command)])
                        handlers.push_back(a.handler);
            }
            for (const Handler& handler : handlers)
                status = handler(event);
        }
        if (done)
            done(status);
    });
    return true;
}

}  // namespace vk
