#include "VornKit/Platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace vk {

struct NotificationCenter::Observer {
    ObserverToken token;
    std::string name;
    const void* senderFilter;
    std::shared_ptr<DispatchQueue> queue;
    NotificationBlock block;
    std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* senderFilter,
                                              std::shared_ptr<DispatchQueue> queue,
                                              NotificationBlock block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->senderFilter = senderFilter;
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    std::lock_guard lock(mutex_);
    observer->token = nextToken_++;
    observers_.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [token](const auto& o) { return o->token == token; });
    if (it != observers_.end()) {
        (*it)->active.store(false);
        observers_.erase(it);
    }
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : observers_) {
            if ((o->name.empty() || o->name == notification.name) &&
                (o->senderFilter == nullptr || o->senderFilter == notification.sender)) {
                matching.push_back(o);
            }
        }
    }
    std::shared_ptr<const Notification> shared;
    for (const auto& o : matching) {
        if (!o->active.load()) {
            continue;
        }
        if (!o->queue) {
            o->block(notification);
            continue;
        }
        if (!shared) {
            shared = std::make_shared<const Notification>(notification);
        }
        o->queue->async([o, shared] {
            if (o->active.load()) {
                o->block(*shared);
            }
        });
    }
}

void NotificationCenter::post(std::string name, const void* sender, std::any object) {
    Notification notification;
    notification.name = std::move(name);
    notification.sender = sender;
    notification.object = std::move(object);
    post(notification);
}

}  // namespace vk
