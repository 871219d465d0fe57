#include "VornKit/Net/DefaultSession.h"

#include "VornKit/Net/DefaultURLSessionDelegate.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

std::shared_ptr<UrlSession> defaultSession() {
    // Never destroyed: its worker thread must outlive every static that might still start a
    // request while the process exits.
    static const Immortal<std::shared_ptr<UrlSession>> session(
        UrlSession::make(UrlSessionConfiguration::defaultConfiguration(),
                         std::make_shared<DefaultURLSessionDelegate>()));
    return *session;
}

}  // namespace vk
