#include "VornKit/Platform/Audio/AudioOutput.h"

#include <chrono>

#include "VornKit/Platform/Audio/PulseAudioOutput.h"

namespace vk {

namespace {
std::mutex sharedMutex;
std::shared_ptr<AudioOutput>& sharedSlot() {
    static std::shared_ptr<AudioOutput> output;
    return output;
}
}  // namespace

std::shared_ptr<AudioOutput> AudioOutput::sharedInstance() {
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) {
        slot = PulseAudioOutput::connect(std::chrono::seconds(2));
        if (!slot)
            slot = std::make_shared<NullAudioOutput>();
    }
    return slot;
}

void AudioOutput::install(std::shared_ptr<AudioOutput> output) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(output);
}

bool StateOnlyAudioOutput::createIdleOutput() {
    std::lock_guard lock(mutex_);
    if (state_ != IdleOutputState::None)
        return true;
    if (failCreate_)
        return false;
    state_ = IdleOutputState::Created;
    return true;
}

bool StateOnlyAudioOutput::startIdleOutput() {
    std::lock_guard lock(mutex_);
    if (state_ == IdleOutputState::None)
        return false;
    state_ = IdleOutputState::Running;
    return true;
}

void StateOnlyAudioOutput::stopIdleOutput() {
    std::lock_guard lock(mutex_);
    if (state_ == IdleOutputState::Running)
        state_ = IdleOutputState::Created;
}

void StateOnlyAudioOutput::disposeIdleOutput() {
    std::lock_guard lock(mutex_);
    state_ = IdleOutputState::None;
}

IdleOutputState StateOnlyAudioOutput::idleOutputState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool ManualAudioOutput::currentRouteIsCarAudio() {
    std::lock_guard lock(mutex_);
    return car_;
}

void ManualAudioOutput::setCarAudio(bool car) {
    std::lock_guard lock(mutex_);
    car_ = car;
}

void ManualAudioOutput::setCreateFails(bool fails) {
    std::lock_guard lock(mutex_);
    failCreate_ = fails;
}

}  // namespace vk
