#include "VornKit/Platform/Audio/AudioSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "VornKit/Platform/Audio/PulseAudioSession.h"

namespace vk {

namespace {

std::mutex sharedMutex;
std::shared_ptr<AudioSession> sharedSession;

}  // namespace

std::shared_ptr<AudioSession> AudioSession::sharedInstance() {
    std::lock_guard lock(sharedMutex);
    if (!sharedSession) {
        sharedSession = PulseAudioSession::connect(std::chrono::seconds(2));
        if (!sharedSession)
            sharedSession = NullAudioSession::make();
    }
    return sharedSession;
}

void AudioSession::install(std::shared_ptr<AudioSession> session) {
    std::lock_guard lock(sharedMutex);
    sharedSession = std::move(session);
}

std::optional<float> AudioSession::outputVolume() const {
    std::lock_guard lock(mutex_);
    return volume_;
}

AudioSession::ObserverToken AudioSession::addOutputVolumeObserver(
    std::shared_ptr<DispatchQueue> queue, VolumeObserver block) {
    if (!queue)
        queue = DispatchQueue::main();
    auto observer = std::make_shared<Observer>(
        Observer{std::move(queue), std::move(block), std::make_shared<bool>(false)});
    std::optional<float> current;
    ObserverToken token = 0;
    {
        std::lock_guard lock(mutex_);
        token = nextToken_++;
        observers_.emplace(token, observer);
        current = volume_;
    }
    if (current)
        deliver(observer, *current);
    return token;
}

void AudioSession::removeOutputVolumeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(token);
    if (it == observers_.end())
        return;
    *it->second->removed = true;
    observers_.erase(it);
}

void AudioSession::publishOutputVolume(std::optional<float> volume) {
    if (volume)
        volume = std::isnan(*volume) ? 0.0f : std::clamp(*volume, 0.0f, 1.0f);
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        if (volume == volume_)
            return;
        volume_ = volume;
        if (!volume)
            return;
        for (const auto& [token, observer] : observers_)
            observers.push_back(observer);
    }
    for (const auto& observer : observers)
        deliver(observer, *volume);
}

void AudioSession::deliver(const std::shared_ptr<Observer>& observer, float volume) {
    std::weak_ptr<AudioSession> weak = weak_from_this();
    observer->queue->async([weak, observer, volume] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->mutex_);
            if (*observer->removed)
                return;
        }
        observer->block(volume);
    });
}

std::shared_ptr<NullAudioSession> NullAudioSession::make() {
    return std::shared_ptr<NullAudioSession>(new NullAudioSession());
}

std::shared_ptr<ManualAudioSession> ManualAudioSession::make() {
    return std::shared_ptr<ManualAudioSession>(new ManualAudioSession());
}

}  // namespace vk
