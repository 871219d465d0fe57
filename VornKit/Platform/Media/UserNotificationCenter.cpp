#include "VornKit/Platform/Media/UserNotificationCenter.h"

#include <map>

namespace vk {

namespace {

/// The double: remembers what it was asked to show; replaces by identifier like the desktop.
class RecordingNotificationCenter : public UserNotificationCenter {
    template <class F>
    auto locked(F f) const {
        std::lock_guard lock(mutex_);
        return f();
    }

  public:
    void notificationSettings(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        const auto status = locked([&] { return status_; });
        queue_->async([completion = std::move(completion), status] { completion(status); });
    }

    void requestAuthorization(std::function<void(bool, NotificationError)> completion) override {
        bool granted;
        NotificationError error;
        {
            std::lock_guard lock(mutex_);
            ++requests_;
            granted = granted_;
            error = answerError_;
            if (!error)
                status_ = granted ? NotificationAuthorizationStatus::Provisional
                                  : NotificationAuthorizationStatus::Denied;
        }
        queue_->async([completion = std::move(completion), granted, error] {
            completion(error ? false : granted, error);
        });
    }

    void add(NotificationRequest request,
             std::function<void(NotificationError)> completion) override {
        auto self = std::static_pointer_cast<RecordingNotificationCenter>(shared_from_this());
        queue_->asyncAfter(request.delay, [self, request = std::move(request),
                                           completion = std::move(completion)]() mutable {
            NotificationError error;
            {
                std::lock_guard lock(self->mutex_);
                error = self->addError_;
                if (!error) {
                    Shown shown;
                    shown.id = self->nextId_++;
                    auto previous = self->ids_.find(request.identifier);
                    if (previous != self->ids_.end())
                        shown.replaced = previous->second;
                    self->ids_[request.identifier] = shown.id;
                    shown.request = std::move(request);
                    self->shown_.push_back(std::move(shown));
                }
            }
            if (completion)
                completion(error);
        });
    }

    std::vector<Shown> shown() const override {
        return locked([&] { return shown_; });
    }
    void setAuthorizationStatus(NotificationAuthorizationStatus status) override {
        locked([&] { status_ = status; });
    }
    void setAuthorizationAnswer(bool granted, NotificationError error) override {
        locked([&] {
            granted_ = granted;
            answerError_ = std::move(error);
        });
    }
    void setAddError(NotificationError error) override {
        locked([&] { addError_ = std::move(error); });
    }
    std::size_t authorizationRequests() const override {
        return locked([&] { return requests_; });
    }

  private:
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::makeSerial("UserNotificationCenter");
    mutable std::mutex mutex_;
    NotificationAuthorizationStatus status_ = NotificationAuthorizationStatus::Authorized;
    bool granted_ = true;
    NotificationError answerError_;
    NotificationError addError_;
    std::size_t requests_ = 0;
    std::vector<Shown> shown_;
    std::map<std::string, std::uint32_t> ids_;
    std::uint32_t nextId_ = 1;
};

}  // namespace

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::make() {
    return std::make_shared<RecordingNotificationCenter>();
}

}  // namespace vk
