// minimal-host: the smallest useful VornKit host. Reads a credentials file, talks to the server
// with the user's token, lists the user's views, finds the first audio track and plays a few
// seconds of it with libmpv when VornKit has MpvPlayer (publishing it on the desktop over MPRIS,
// `playerctl -p minimal_host`, when there is a session bus); without MpvPlayer it prints the
// stream URL a player would play.
//
//   minimal-host CREDENTIALS
//
// CREDENTIALS holds "key=value" lines: server=URL, user=ID, token=TOKEN (server-id=ID optional).
// MINIMAL_HOST_AUDIO picks libmpv's audio output (default "pulse"; "null" plays silently).
// Exit status: 0 done, 1 the server did not answer as expected, 2 bad usage or credentials.
#include <VornKit/Api/ApiClient.h>
#include <VornKit/Platform/Runtime/Bundle.h>
#include <VornKit/Platform/Runtime/Dispatch.h>
#ifdef MINIMAL_HOST_HAVE_MPV
#include <VornKit/Mpv/MpvPlayer.h>
#include <VornKit/Platform/Media/MprisService.h>
#include <VornKit/Playback/RemoteControls.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace {

std::map<std::string, std::string> readCredentials(const char* path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos && line[0] != '#')
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// Runs the main loop until `start`'s completion has delivered its answer (callbacks come on the
// client's queue; the answer is handed to the main queue).
template <class T, class Start>
std::optional<T> await(Start start) {
    auto answer = std::make_shared<std::optional<std::optional<T>>>();
    start([answer](std::optional<T> value) {
        vk::DispatchQueue::main()->async([answer, value = std::move(value)] { *answer = value; });
    });
    vk::RunLoop::main().runUntil([&] { return answer->has_value(); }, std::chrono::seconds(60));
    return answer->has_value() ? **answer : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: minimal-host CREDENTIALS\n");
        return 2;
    }
    auto credentials = readCredentials(argv[1]);
    if (!credentials.count("server") || !credentials.count("user") || !credentials.count("token")) {
        std::fprintf(stderr, "minimal-host: %s needs server=, user= and token= lines\n", argv[1]);
        return 2;
    }

    vk::Bundle bundle;
    bundle.identifier = "org.example.minimal-host";
    bundle.info = {{"CFBundleShortVersionString", "1.0"}, {"CFBundleName", "minimal-host"}};
    vk::Bundle::setMain(bundle);

    vk::ServerInfo server;
    server.Id = credentials.count("server-id") ? credentials["server-id"] : "minimal-host-server";
    server.Name = "Server";
    server.LocalAddress = credentials["server"];
    server.UserId = credentials["user"];
    server.AccessToken = credentials["token"];
    auto client = std::make_shared<vk::ApiClient>(
        server, vk::DeviceInfo("minimal-host-device", "minimal-host", "1.0", "minimal-host"));
    client->setServerAddress(credentials["server"]);

    auto views = await<vk::GetItemsResponse>(
        [&](auto done) { client->getUserViews(std::nullopt, {}, std::move(done)); });
    if (!views) {
        std::fprintf(stderr, "minimal-host: the server gave no views\n");
        return 1;
    }
    for (const auto& view : views->Items)
        std::printf("view: %s %s\n", view->Id.str().c_str(), view->Name.str().c_str());

    auto tracks = await<vk::GetItemsResponse>([&](auto done) {
        client->getItems(std::nullopt,
                         {{"IncludeItemTypes", "Audio"}, {"Recursive", "true"}, {"Limit", "1"}},
                         std::move(done));
    });
    if (!tracks || tracks->Items.empty()) {
        std::fprintf(stderr, "minimal-host: the library has no track\n");
        return 1;
    }
    const auto& track = *tracks->Items.front();
    auto url =
        client->getAudioStreamURL(track, std::nullopt, std::nullopt, std::nullopt, "mp3,flac,wav",
                                  std::nullopt, std::nullopt, std::nullopt, 0, false);
    if (!url) {
        std::fprintf(stderr, "minimal-host: no stream URL for %s\n", track.Id.str().c_str());
        return 1;
    }
    std::printf("first track: %s %s\n", track.Id.str().c_str(), track.Name.str().c_str());
    std::printf("stream: %s\n", url->absoluteString().c_str());
#ifdef MINIMAL_HOST_HAVE_MPV
    vk::MpvPlayer::Options options;
    if (const char* audio = std::getenv("MINIMAL_HOST_AUDIO"))
        options.audioOutput = audio;
    auto player = vk::MpvPlayer::create(options);
    std::shared_ptr<vk::MprisService> mpris;
    std::shared_ptr<vk::RemoteControls> controls;
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        vk::MprisService::Options published;
        published.busNameSuffix = "minimal_host";
        published.identity = "minimal-host";
        mpris = vk::MprisService::start(published);
    }
    if (mpris) {
        vk::RemoteControls::Services services;
        services.nowPlayingCenter = mpris->nowPlayingCenter();
        services.commandCenter = mpris->commandCenter();
        controls = vk::RemoteControls::initWithPlayer(player, services);
        std::printf("published: %s\n", mpris->busName().c_str());
    }
    player->playAudio(
        {std::make_shared<vk::MediaItem>(url->absoluteString(), track.Name.toOptional(),
                                         track.Album.toOptional(), track.AlbumArtist.toOptional(),
                                         std::nullopt, server.Id, track.Id.str(), "entry-1")},
        false, std::nullopt, 0, 0);
    vk::RunLoop::main().runUntil([&] { return player->getCurrentStreamPosition() >= 3000; },
                                 std::chrono::seconds(30));
    const auto played = player->getCurrentStreamPosition();
    player->stop({});
    std::printf("played: %lld ms\n", static_cast<long long>(played));
    if (played < 3000)
        return 1;
#endif
    return 0;
}
