#include "VornKit/Platform/Runtime/NotificationCenter.h"

#include "VornKit/Platform/Runtime/Immortal.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace vk {

// One registration. `mutex` guards `active` and `runningOn`: a delivery starts only while the
// observer is active, and removal waits until the deliveries running on other threads are done.
struct NotificationCenter::Observer {
    ObserverToken token = 0;
    std::string name;
    const void* senderFilter = nullptr;
    std::shared_ptr<DispatchQueue> queue;
    NotificationBlock block;

    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;
    std::vector<std::thread::id> runningOn;  // one entry per delivery in progress

    void deliver(const Notification& notification) {
        const auto self = std::this_thread::get_id();
        {
            std::lock_guard lock(mutex);
            if (!active)
                return;
            runningOn.push_back(self);
        }
        struct Done {
            Observer& observer;
            std::thread::id thread;
            ~Done() {
                {
                    std::lock_guard lock(observer.mutex);
                    auto it =
                        std::find(observer.runningOn.begin(), observer.runningOn.end(), thread);
                    observer.runningOn.erase(it);
                }
                observer.idle.notify_all();
            }
        } done{*this, self};
        block(notification);
    }

    // Stops further deliveries; waits for those running on other threads. Deliveries running on
    // this thread (the block removing its own observer) are not waited for.
    void deactivate() {
        const auto self = std::this_thread::get_id();
        std::unique_lock lock(mutex);
        active = false;
        idle.wait(lock, [&] {
            return std::all_of(runningOn.begin(), runningOn.end(),
                               [&](std::thread::id id) { return id == self; });
        });
    }
};

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may be removed, and notifications posted, by threads that still
    // run while the process exits.
    static Immortal<NotificationCenter> center;
    return *center;
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
    std::shared_ptr<Observer> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(observers_.begin(), observers_.end(),
                               [token](const auto& o) { return o->token == token; });
        if (it == observers_.end())
            return;
        removed = std::move(*it);
        observers_.erase(it);
    }
    removed->deactivate();
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
        if (!o->queue) {
            o->deliver(notification);
            continue;
        }
        if (!shared) {
            shared = std::make_shared<const Notification>(notification);
        }
        o->queue->async([o, shared] { o->deliver(*shared); });
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
