// Starts transfers, registers observers, schedules timers and delayed blocks, keeps pool and
// serial-queue workers decoding, encoding and archiving records, then returns from main() while
// all of them are still running or pending: the records' field tables, enumeration codings and
// transformer registry must outlive the exit.
//
//   exit_with_work_in_flight hang   the server keeps every transfer waiting past the exit
//   exit_with_work_in_flight stop   the server stops as main() returns, so that the transfers
//                                   fail, and their completions run, while the process exits
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "VornKit/Api/ApiClient.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Model/ValueTransformer.h"
#include "VornKit/Net/CertificateManager.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Dispatch.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Runtime/NotificationCenter.h"
#include "VornKit/Settings/SubtitleStyles.h"
#include "refserver/RefServer.h"

namespace {

class DroppingSink : public vk::LogSink {
  public:
    void write(const vk::LogRecord&) override {}
};

constexpr const char* kItems = R"({"Items":[{"Id":"1","ServerId":"s","Name":"A","Type":"Episode",
"RunTimeTicks":15000000,"ImageTags":{"Primary":"t"},"AlbumArtists":[{"Name":"N","Id":"2"}],
"UserData":{"PlaybackPositionTicks":10,"Played":true,"IsFavorite":false},
"MediaSources":[{"Id":"m","Protocol":"File","MediaStreams":[{"Index":0,"Type":"Audio",
"Codec":"aac","IsDefault":true}]}]}],"TotalRecordCount":1,"StartIndex":0})";

// One round of the record coding a completion does: decode an answer, encode it again, archive a
// part through the registered transformer, read settings. Then queues the next round, so that
// rounds keep running on `queue` while the process exits.
void codeRecords(const std::shared_ptr<vk::DispatchQueue>& queue) {
    auto items = vk::JsonDecoder().decode<vk::GetItemsResponse>(kItems);
    if (items && !items->Items.empty()) {
        (void)vk::JsonEncoder().encode(*items);
        const auto& item = *items->Items.front();
        if (auto transformer = vk::ValueTransformer::forName("UserItemDataDto");
            transformer && item.UserData) {
            (void)transformer->reverseTransformedValue<vk::UserItemDataDto>(
                transformer->transformedValue(*item.UserData));
        }
    }
    (void)vk::JsonDecoder().decode<vk::ServerInfo>(
        R"({"Id":"s","Name":"S","LocalAddress":"http://127.0.0.1:1","LastConnectionMode":1})");
    (void)vk::SubtitleStyles::decode(R"({"textSize":"large","opacity":0.5})");
    (void)vk::CertificateManager::defaultManager();
    queue->async([queue] { codeRecords(queue); });
}

// Runs the reference server in a child process and returns its address and pid. The exit under
// test is the framework's: in this process only its threads are left running when main()
// returns (the server's HTTP library has exit hazards of its own). The child dies with this
// process, or when killed.
std::pair<std::string, pid_t> startServerProcess() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {"", -1};
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(0);
        ::close(pipeFds[0]);
        auto* server = new refserver::RefServer();
        std::string base = server->listen({"exit", "127.0.0.1", 0, std::nullopt}).value_or("");
        server->addFault({"", "/vorn/Slow", "", refserver::Fault::hang(), -1});
        if (::write(pipeFds[1], base.data(), base.size()) != static_cast<ssize_t>(base.size()))
            ::_exit(1);
        ::close(pipeFds[1]);
        for (;;)
            ::pause();
    }
    ::close(pipeFds[1]);
    std::string base;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        base.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    return {base, child};
}

}  // namespace

int main(int argc, char** argv) {
    const bool hang = argc > 1 && std::string(argv[1]) == "hang";
    // First, while this process has a single thread.
    auto [base, serverPid] = startServerProcess();
    if (base.empty())
        return 2;
    auto root =
        std::filesystem::temp_directory_path() / ("vornkit-exit-" + std::to_string(::getpid()));
    vk::Environment::install(vk::Environment::rootedAt(root));
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.exit";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<DroppingSink>());

    // With "hang" the server outlives main(): its handlers hold the transfers until the end.
    vk::ServerInfo info;
    info.Id = "exit";
    info.Name = "Exit";
    info.LocalAddress = base;
    auto client = std::make_shared<vk::ApiClient>(
        info, vk::DeviceInfo("exit-device", std::string("Exit"), std::string("1.0"), "Vorn"));
    client->setServerAddress(base);
    auto serial = vk::DispatchQueue::makeSerial("exit.serial");
    for (int i = 0; i < 8; ++i) {
        const char* path = i % 2 == 0 ? "Slow" : "System/Endpoint";
        client->fetchContent<vk::EndpointInfo>(
            vk::UrlRequest(*client->getUrl(path, {})), vk::JsonDecoder(),
            i % 4 == 1 ? serial : nullptr, [client](std::optional<vk::EndpointInfo>) {
                vk::NotificationCenter::defaultCenter().post("exit.fetched");
                client->postContent(*client->getUrl("Slow", {}), "{}", [](auto) {});
            });
    }

    auto& center = vk::NotificationCenter::defaultCenter();
    center.addObserver("exit.fetched", nullptr, serial,
                       [](const vk::Notification&) { vk::Logger("Exit").log("fetched"); });
    center.addObserver("exit.tick", nullptr, nullptr, [serial](const vk::Notification&) {
        serial->async([] { vk::consoleLog("Exit", "tick"); });
    });

    // Timers and delayed blocks due before, at and long after the exit.
    static auto timer = vk::RepeatingTimer::schedule(serial, std::chrono::milliseconds(1), [] {
        vk::NotificationCenter::defaultCenter().post("exit.tick");
    });
    for (int i = 0; i < 50; ++i) {
        serial->asyncAfter(std::chrono::milliseconds(i), [] { vk::Logger("Exit").log("due"); });
        vk::DispatchQueue::global()->asyncAfter(std::chrono::milliseconds(i), [] {
            vk::NotificationCenter::defaultCenter().post("exit.tick");
        });
        vk::DispatchQueue::main()->asyncAfter(std::chrono::seconds(60), [] {});
    }
    // Record coding on pool threads and on a serial queue, running while main() returns.
    for (int i = 0; i < 3; ++i) {
        auto queue = vk::DispatchQueue::global();
        queue->async([queue] { codeRecords(queue); });
    }
    serial->async([serial] { codeRecords(serial); });

    vk::RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(30));
    if (!hang) {
        ::kill(serverPid, SIGKILL);
        ::waitpid(serverPid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
