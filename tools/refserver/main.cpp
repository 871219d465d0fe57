// refserver: runs the reference media server until SIGINT or SIGTERM.
//
//   refserver [--listen NAME=HOST:PORT]... [--tls rsa|ec] [--cert-out FILE] [--token TOKEN]
//             [--server-id ID] [--name NAME] [--delay NAME=MS]... [--in-network yes|no]
//
// Prints one line "NAME URL" per listener once all are up. Without --listen it listens on
// 127.0.0.1 with a free port. --tls makes every listener HTTPS with one self-signed certificate
// for all listener hosts, written as PEM to --cert-out when given.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "refserver/RefServer.h"
#include "refserver/TestCertificates.h"

namespace {

int usage() {
    std::cerr << "usage: refserver [--listen NAME=HOST:PORT]... [--tls rsa|ec] [--cert-out FILE]\n"
                 "                 [--token TOKEN] [--server-id ID] [--name NAME]\n"
                 "                 [--delay NAME=MS]... [--in-network yes|no]\n";
    return 2;
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
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
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
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}
