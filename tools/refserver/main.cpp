// refserver: runs the reference media server, with its generated library, until SIGINT or
// SIGTERM. `refserver --help` explains the options.
//
// Prints one line "NAME URL" per listener once all are up, then one line describing the library
// and its user.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "refserver/Library.h"
#include "refserver/RefServer.h"
#include "refserver/SyncJobs.h"
#include "refserver/TestCertificates.h"
#include "refserver/WebInterface.h"

namespace {

const char* const kUsage =
    "usage: refserver [--listen NAME=HOST:PORT]... [--tls rsa|ec] [--cert-out FILE]\n"
    "                 [--token TOKEN] [--server-id ID] [--name NAME] [--user ID]\n"
    "                 [--library-size TRACKS] [--delay NAME=MS]... [--in-network yes|no]\n"
    "                 [--sync-ready-ms MS] [--sign-in NAME:PASSWORD]\n";

int usage() {
    std::cerr << kUsage << "(refserver --help explains them)\n";
    return 2;
}

int help() {
    std::cout
        << kUsage
        << "\n"
           "Runs the reference media server: the server's HTTP/JSON interface under /vorn, with a\n"
           "generated sample library (artists, albums and tracks with short WAV files, movies, a\n"
           "series, PNG covers, one user with favourites and played items). Stops on Ctrl-C.\n"
           "\n"
           "  --listen NAME=HOST:PORT  listen there (repeatable; port 0 picks a free one); every\n"
           "                           listener serves the same server. Default: 127.0.0.1:0.\n"
           "                           Use 127.0.0.x hosts to give one server several addresses\n"
           "                           (local, remote, manual).\n"
           "  --tls rsa|ec             HTTPS on every listener with one self-signed certificate\n"
           "  --cert-out FILE          write that certificate (PEM) to FILE\n"
           "  --token TOKEN            the access token every request must carry (header Token=\n"
           "                           or api_key parameter); without it nothing is checked\n"
           "  --server-id ID           the server id (also in every item's ServerId)\n"
           "  --name NAME              the server name\n"
           "  --user ID                the library's user id (Users/{ID}/...)\n"
           "  --library-size TRACKS    number of tracks (10 to an album, 3 albums to an artist);\n"
           "                           default 120\n"
           "  --delay NAME=MS          the listener NAME answers everything MS ms late\n"
           "  --in-network yes|no      what System/Endpoint says about the client\n"
           "  --sync-ready-ms MS       sync job items become ready MS ms after their job is made\n"
           "  --sign-in NAME:PASSWORD  what the web interface's sign-in accepts (default\n"
           "                           demo:demo); it hands out the --token\n"
           "\n"
           "The web interface (sign in, albums, playback, downloads) is at <URL>/web/; in VornKit\n"
           "Desktop it plays through the desktop application.\n"
           "\n"
           "Every playback report the server receives is printed as one line \"report ...\".\n"
           "\n"
           "Example: two addresses, a token and a library of 5,000 tracks:\n"
           "  refserver --listen local=127.0.0.1:8096 --listen remote=127.0.0.2:8096 \\\n"
           "            --token secret --library-size 5000\n"
           "then, for instance:\n"
           "  vornctl --local http://127.0.0.1:8096 --token secret --user <ID printed> views\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    refserver::RefServer::Options options;
    options.keepAliveSeconds = 5;
    std::vector<refserver::ListenerOptions> listeners;
    std::vector<refserver::FaultRule> faults;
    std::optional<refserver::KeyKind> tls;
    std::string certOut;
    bool inNetwork = true;
    refserver::LibraryOptions library;
    refserver::SyncOptions sync;
    refserver::WebOptions web;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h")
            return help();
        if (i + 1 >= args.size())
            return usage();
        const std::string& value = args[++i];
        if (arg == "--listen") {
            std::size_t eq = value.find('=');
            std::size_t colon = value.rfind(':');
            if (eq == std::string::npos || colon == std::string::npos || colon < eq)
                return usage();
            refserver::ListenerOptions listener;
            listener.name = value.substr(0, eq);
            listener.host = value.substr(eq + 1, colon - eq - 1);
            listener.port = std::atoi(value.c_str() + colon + 1);
            listeners.push_back(listener);
        } else if (arg == "--tls") {
            if (value != "rsa" && value != "ec")
                return usage();
            tls = value == "rsa" ? refserver::KeyKind::rsa : refserver::KeyKind::ec;
        } else if (arg == "--cert-out") {
            certOut = value;
        } else if (arg == "--token") {
            options.accessToken = value;
        } else if (arg == "--server-id") {
            options.serverId = value;
        } else if (arg == "--name") {
            options.serverName = value;
        } else if (arg == "--delay") {
            std::size_t eq = value.find('=');
            if (eq == std::string::npos)
                return usage();
            refserver::FaultRule rule;
            rule.listener = value.substr(0, eq);
            rule.fault = refserver::Fault::delayBy(
                std::chrono::milliseconds(std::atoi(value.c_str() + eq + 1)));
            faults.push_back(rule);
        } else if (arg == "--user") {
            library.userId = value;
        } else if (arg == "--library-size") {
            char* end = nullptr;
            long tracks = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || tracks < 0 || tracks > 1'000'000)
                return usage();
            library.tracks = static_cast<int>(tracks);
        } else if (arg == "--sync-ready-ms") {
            char* end = nullptr;
            long ms = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || ms < 0)
                return usage();
            sync.readyDelay = std::chrono::milliseconds(ms);
        } else if (arg == "--sign-in") {
            std::size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0)
                return usage();
            web.userName = value.substr(0, colon);
            web.password = value.substr(colon + 1);
        } else if (arg == "--in-network") {
            inNetwork = value == "yes";
        } else {
            return usage();
        }
    }
    if (listeners.empty())
        listeners.push_back({"main", "127.0.0.1", 0, std::nullopt});

    if (tls) {
        std::vector<std::string> hosts;
        for (const auto& listener : listeners)
            hosts.push_back(listener.host);
        refserver::CertifiedKey certificate = refserver::makeSelfSigned(*tls, hosts);
        for (auto& listener : listeners)
            listener.tls = refserver::makeIdentity(certificate);
        if (!certOut.empty())
            std::ofstream(certOut) << certificate.certificatePem;
    }

    // Block the stop signals before any listener thread starts, then wait for them here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    refserver::RefServer server(options);
    server.setEndpointInfo(inNetwork, inNetwork);
    auto sample = refserver::Library::install(server, library);
    sample->setReportObserver([](const refserver::PlaybackReport& report) {
        std::cout << "report " << report.endpoint << " item " << report.itemId << " session "
                  << report.playSessionId << " position "
                  << (report.positionTicks ? std::to_string(*report.positionTicks) : "-")
                  << (report.eventName.empty() ? "" : " event " + report.eventName) << std::endl;
    });
    auto syncJobs = refserver::SyncJobs::install(server, sample, sync);
    web.accessToken = options.accessToken.value_or("open");
    refserver::WebInterface::install(server, sample, web);
    for (const auto& rule : faults)
        server.addFault(rule);
    for (const auto& listener : listeners) {
        std::optional<std::string> address = server.listen(listener);
        if (!address) {
            std::cerr << "refserver: cannot listen on " << listener.host << ":" << listener.port
                      << "\n";
            return 1;
        }
        std::cout << listener.name << " " << *address << std::endl;
    }
    std::cout << "library " << sample->ofType("Audio").size() << " tracks, "
              << sample->ofType("MusicAlbum").size() << " albums, "
              << sample->ofType("MusicArtist").size() << " artists, "
              << sample->ofType("Movie").size() << " movies; user " << sample->userId()
              << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}
