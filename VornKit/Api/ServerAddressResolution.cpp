#include "VornKit/Api/ServerAddressResolution.h"

#include <algorithm>
#include <cctype>

#include "VornKit/Net/DefaultURLSessionDelegate.h"
#include "VornKit/Platform/Runtime/Environment.h"

namespace vk {

namespace {

bool isLoopback(const std::string& address) {
    std::string lowered(address);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return address.find("127.0.0.1") != std::string::npos ||
           lowered.find("localhost") != std::string::npos;
}

}  // namespace

std::vector<Url> ServerAddressResolution::candidates(const ServerInfo& info) {
    std::vector<Url> list;
    auto add = [&list](const std::optional<std::string>& text) {
        if (!text)
            return;
        std::optional<Url> url = Url::parse(*text);
        if (!url || std::find(list.begin(), list.end(), *url) != list.end())
            return;
        list.push_back(std::move(*url));
    };
    if (info.ManualAddress && isLoopback(*info.ManualAddress))
        add(info.ManualAddress);
    add(info.LocalAddress);
    add(info.ManualAddress);
    add(info.RemoteAddress);
    return list;
}

void ServerAddressResolution::start(ApiClient& client, std::shared_ptr<DispatchQueue> callbackQueue,
                                    ApiClient::AddressCompletion completion) {
    std::vector<Url> list = candidates(client.serverInfo());
    if (list.empty()) {
        completion(std::nullopt, UrlError{UrlError::unknown, "No server addresses available"});
        return;
    }
    if (list.size() == 1) {
        std::string address = list.front().absoluteString();
        client.setServerAddress(address);
        completion(std::move(address), std::nullopt);
        return;
    }
    std::weak_ptr<ApiClient> owner = client.weak_from_this();
    if (owner.expired()) {
        // The probes answer later, and only a client they can keep track of can take the address.
        const std::string why =
            "Cannot resolve the address of '" + client.serverName() +
            "': the client is not held by a std::shared_ptr, so the address found could not be "
            "stored";
        ApiClient::logger().log("Error: " + why);
        completion(std::nullopt, UrlError{UrlError::unknown, why});
        return;
    }
    auto resolution = std::make_shared<ServerAddressResolution>(
        std::move(owner), std::move(list), std::move(callbackQueue), std::move(completion));
    for (std::size_t i = 0; i < resolution->candidates_.size(); ++i) {
        DispatchQueue::main()->asyncAfter(kProbeInterval * static_cast<int>(i),
                                          [resolution, i] { resolution->probe(i); });
    }
}

ServerAddressResolution::ServerAddressResolution(std::weak_ptr<ApiClient> client,
                                                 std::vector<Url> candidates,
                                                 std::shared_ptr<DispatchQueue> callbackQueue,
                                                 ApiClient::AddressCompletion completion)
    : client_(std::move(client)),
      candidates_(std::move(candidates)),
      callbackQueue_(std::move(callbackQueue)),
      completion_(std::move(completion)) {
    UrlSessionConfiguration configuration = UrlSessionConfiguration::defaultConfiguration();
    configuration.isDiscretionary = false;
    configuration.shouldUseExtendedBackgroundIdleMode = true;
    // A few probes per resolution: every resolution's session shares one worker thread, so that
    // a host with many servers does not start a thread per server.
    configuration.sharesWorker = true;
    session_ = UrlSession::make(std::move(configuration),
                                std::make_shared<DefaultURLSessionDelegate>(), nullptr);
}

void ServerAddressResolution::probe(std::size_t index) {
    std::shared_ptr<UrlSession> session;
    {
        std::lock_guard lock(mutex_);
        if (done_)
            return;
        session = session_;
    }
    if (!session)
        return;
    UrlRequest request(candidates_[index].appendingPathComponent(kProbePath));
    auto self = shared_from_this();
    auto task = session->dataTask(
        std::move(request),
        [self, index](std::optional<std::string>, std::optional<UrlResponse>,
                      std::optional<UrlError> error) { self->answered(index, error); });
    task->resume();
}

void ServerAddressResolution::answered(std::size_t index, const std::optional<UrlError>& error) {
    auto client = client_.lock();
    if (!error) {
        {
            std::lock_guard lock(mutex_);
            if (done_)
                return;
            done_ = true;
        }
        std::string address = candidates_[index].absoluteString();
        if (!client) {
            // Nobody can take the address: no success to report.
            deliver(std::nullopt,
                    UrlError{UrlError::cancelled, "The client was released before " + address +
                                                      " answered; no address was stored"});
            end();
            return;
        }
        ApiClient::logger().log("Server Address for '" + client->serverName() + "' determined at " +
                                address);
        client->setServerAddress(address);
        client->markAccessed(Environment::current()->now());
        deliver(std::move(address), std::nullopt);
        end();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        ++failures_;
        // After a success, only cancelled probes fail, and they can no longer reach the
        // completion; the done flag makes that explicit.
        if (done_ || failures_ < candidates_.size())
            return;
        done_ = true;
    }
    if (client)
        client->setServerAddress(std::nullopt);
    deliver(std::nullopt, error);
    end();
}

void ServerAddressResolution::deliver(std::optional<std::string> address,
                                      std::optional<UrlError> error) {
    if (callbackQueue_) {
        callbackQueue_->async([completion = completion_, address = std::move(address),
                               error = std::move(error)] { completion(address, error); });
    } else {
        completion_(std::move(address), std::move(error));
    }
}

void ServerAddressResolution::end() {
    std::shared_ptr<UrlSession> session;
    {
        std::lock_guard lock(mutex_);
        session.swap(session_);
    }
    if (session)
        session->invalidateAndCancel();
}

}  // namespace vk
