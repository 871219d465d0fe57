// watch_peer receive SOCKET STATE-DIR OUT-FILE
//     Connects to the session listening on SOCKET and appends the "n" of every user-info
//     transfer it is handed to OUT-FILE, one decimal number a line. Runs until killed.
// watch_peer send SOCKET STATE-DIR COUNT
//     Queues COUNT transfers {"n": 1..COUNT, "pad": 256 bytes} (none when COUNT is 0), creates
//     STATE-DIR/queued, then runs until the counterpart has taken every queued transfer, and
//     exits 0.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "VornKit/Platform/Watch/SocketWatchSession.h"

namespace {

class Receiver : public vk::WatchSessionDelegate {
  public:
    explicit Receiver(int fd) : fd_(fd) {}
    void activationDidComplete(vk::WatchSession&, vk::WatchActivationState,
                               const std::optional<vk::WatchSessionError>&) override {}
    void didReceiveUserInfo(vk::WatchSession&, const vk::PlistDictionary& info) override {
        auto it = info.find("n");
        std::string line = (it != info.end() && it->second.integer() != nullptr)
                               ? std::to_string(*it->second.integer()) + "\n"
                               : "?\n";
        // One write(2) with O_APPEND: the line is in the file as soon as this returns.
        if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            std::abort();
    }

  private:
    int fd_;
};

class Quiet : public vk::WatchSessionDelegate {
  public:
    void activationDidComplete(vk::WatchSession&, vk::WatchActivationState,
                               const std::optional<vk::WatchSessionError>&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    std::string mode = argv[1];
    vk::WatchSessionConfiguration configuration;
    configuration.role = vk::WatchSessionConfiguration::Role::connector;
    configuration.socketPath = argv[2];
    configuration.stateDirectory = argv[3];
    configuration.reconnectInterval = std::chrono::milliseconds(20);
    auto session = vk::SocketWatchSession::make(configuration);
    if (mode == "receive") {
        int fd = ::open(argv[4], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0)
            return 1;
        auto receiver = std::make_shared<Receiver>(fd);
        session->setDelegate(receiver);
        session->activate();
        while (true)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (mode == "send") {
        auto quiet = std::make_shared<Quiet>();
        session->setDelegate(quiet);
        session->activate();
        long count = std::strtol(argv[4], nullptr, 10);
        for (long n = 1; n <= count; ++n) {
            session->transferUserInfo(
                {{"n", n}, {"pad", vk::PlistValue::Data(256, static_cast<std::uint8_t>(n))}});
        }
        std::ofstream(std::filesystem::path(argv[3]) / "queued") << count << "\n";
        while (!session->outstandingUserInfoTransfers().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 0;
    }
    return 2;
}
