#include "VornKit/Playback/DeviceVolumeObserver.h"

#include <cmath>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

DeviceVolumeObserver::DeviceVolumeObserver(std::weak_ptr<VolumeChangeDelegate> delegate,
                                           std::shared_ptr<AudioSession> audioSession)
    : audioSession_(audioSession ? std::move(audioSession) : AudioSession::sharedInstance()),
      delegate_(std::move(delegate)) {}

DeviceVolumeObserver::~DeviceVolumeObserver() {
    stop();
}

void DeviceVolumeObserver::setDelegate(std::weak_ptr<VolumeChangeDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void DeviceVolumeObserver::start() {
    std::lock_guard lock(mutex_);
    if (observingVolume_)
        return;
    observingVolume_ = true;
    std::weak_ptr<DeviceVolumeObserver> weak = weak_from_this();
    const std::uint64_t generation = generation_;
    token_ = audioSession_->addOutputVolumeObserver(
        DispatchQueue::main(), [weak, generation](float volume) {
            if (auto self = weak.lock())
                self->observeOutputVolume(generation, volume);
        });
}

void DeviceVolumeObserver::stop() {
    AudioSession::ObserverToken token = 0;
    {
        std::lock_guard lock(mutex_);
        if (!observingVolume_)
            return;
        observingVolume_ = false;
        ++generation_;
        token = token_;
        token_ = 0;
    }
    audioSession_->removeOutputVolumeObserver(token);
}

bool DeviceVolumeObserver::observingVolume() const {
    std::lock_guard lock(mutex_);
    return observingVolume_;
}

std::int64_t DeviceVolumeObserver::scaledVolume(float volume) {
    const float scaled = volume * 100.0f;
    return static_cast<std::int64_t>(std::lround(scaled));
}

void DeviceVolumeObserver::observeOutputVolume(std::uint64_t generation, float volume) {
    std::shared_ptr<VolumeChangeDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        if (!observingVolume_ || generation != generation_)
            return;
        delegate = delegate_.lock();
    }
    if (delegate && delegate->implementsOnVolumeChanged())
        delegate->onVolumeChanged(scaledVolume(volume), 100);
}

}  // namespace vk
