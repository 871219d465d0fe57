#include "VornKit/Platform/Defaults/UserDefaultsObservers.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace vk {

struct UserDefaultsObservers::Observer {
    std::uint64_t token = 0;
    std::string key;
    std::shared_ptr<DispatchQueue> queue;
    DefaultsObserver block;

    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;
    std::vector<std::thread::id> running;  // threads inside the block now
};

std::uint64_t UserDefaultsObservers::add(std::string key, std::shared_ptr<DispatchQueue> queue,
                                         DefaultsObserver block) {
    auto observer = std::make_shared<Observer>();
    observer->key = std::move(key);
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    std::lock_guard lock(mutex_);
    observer->token = nextToken_++;
    observers_.push_back(observer);
    return observer->token;
}

void UserDefaultsObservers::remove(std::uint64_t token) {
    std::shared_ptr<Observer> observer;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(observers_.begin(), observers_.end(),
                               [&](const auto& o) { return o->token == token; });
        if (it == observers_.end())
            return;
        observer = *it;
        observers_.erase(it);
    }
    std::unique_lock lock(observer->mutex);
    observer->active = false;
    const auto self = std::this_thread::get_id();
    if (std::find(observer->running.begin(), observer->running.end(), self) !=
        observer->running.end()) {
        return;  // removed from inside its own block
    }
    observer->idle.wait(lock, [&] { return observer->running.empty(); });
}

bool UserDefaultsObservers::empty() const {
    std::lock_guard lock(mutex_);
    return observers_.empty();
}

void UserDefaultsObservers::deliver(const std::shared_ptr<Observer>& observer,
                                    const std::optional<DefaultsValue>& value) {
    const auto self = std::this_thread::get_id();
    {
        std::lock_guard lock(observer->mutex);
        if (!observer->active)
            return;
        observer->running.push_back(self);
    }
    struct Leave {
        Observer& observer;
        std::thread::id self;
        ~Leave() {
            std::lock_guard lock(observer.mutex);
            auto& running = observer.running;
            running.erase(std::find(running.begin(), running.end(), self));
            if (running.empty())
                observer.idle.notify_all();
        }
    } leave{*observer, self};
    observer->block(value);
}

void UserDefaultsObservers::notify(const DefaultsChanges& changes) {
    if (changes.empty())
        return;
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        observers = observers_;
    }
    for (const auto& observer : observers) {
        auto change = std::find_if(changes.begin(), changes.end(),
                                   [&](const auto& c) { return c.first == observer->key; });
        if (change == changes.end())
            continue;
        if (observer->queue) {
            observer->queue->async(
                [observer, value = change->second] { deliver(observer, value); });
        } else {
            deliver(observer, change->second);
        }
    }
}

}  // namespace vk
