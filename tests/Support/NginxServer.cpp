#include "Support/NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "Support/CommandRun.h"
#include "Support/TestSupport.h"

namespace vk::test {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::optional<fs::path> program() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx"}) {
        if (::access(candidate, X_OK) == 0)
            return fs::path(candidate);
    }
    return std::nullopt;
}

/// A loopback port nobody listens on now (nginx binds it a moment later; start() tries again
/// when another process took it meanwhile).
int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

/// The parent process id in /proc/<pid>/stat, or -1.
pid_t parentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(text.substr(close + 1));
    char state = 0;
    pid_t parent = -1;
    rest >> state >> parent;
    return parent;
}

std::string field(const std::string& value) {
    return value == "-" ? std::string() : value;
}

}  // namespace

bool NginxServer::installed() {
    return program().has_value();
}

std::unique_ptr<NginxServer> NginxServer::start(const Options& options, std::string& error) {
    if (!installed()) {
        error = "nginx is not installed";
        return nullptr;
    }
    std::unique_ptr<NginxServer> server(new NginxServer());
    server->dir_ = makeTempDir("nginx");
    server->root_ = server->dir_ / "root";
    fs::create_directories(server->root_);
    fs::create_directories(server->dir_ / "temp");
    server->tls_ = options.tls;
    if (options.tls) {
        const fs::path key = server->dir_ / "key.pem";
        const fs::path certificate = server->dir_ / "certificate.pem";
        CommandOutcome made = runCommand(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
            key.string() + "' -out '" + certificate.string() + "'");
        if (made.status != 0) {
            error = "openssl could not make a certificate: " + made.err;
            return nullptr;
        }
        server->certificatePem_ = readFile(certificate);
    }
    // Another process may take the port between the probe and nginx's bind: a few tries.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (server->launch(options, error))
            return server;
        if (error.find("Address already in use") == std::string::npos)
            break;
    }
    return nullptr;
}

bool NginxServer::launch(const Options& options, std::string& error) {
    port_ = freePort();
    const std::string dir = dir_.string();
    std::ofstream config(dir_ / "nginx.conf");
    config << "daemon off;\nmaster_process on;\nworker_processes 1;\n"
           << "pid " << dir << "/nginx.pid;\n"
           << "error_log " << dir
           << "/error.log info;\n"
           // The files under the test root are private to this user.
           << (::geteuid() == 0 ? "user root;\n" : "") << "events { worker_connections 64; }\n"
           << "http {\n"
           << "    types { }\n    default_type application/octet-stream;\n"
           << "    log_format vk escape=none "
              "'$request_method\\t$request_uri\\t$status\\t$http_range\\t$http_if_range';\n"
           << "    access_log " << dir << "/access.log vk;\n"
           << "    client_body_temp_path " << dir << "/temp/body;\n"
           << "    proxy_temp_path " << dir << "/temp/proxy;\n"
           << "    fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
           << "    uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
           << "    scgi_temp_path " << dir << "/temp/scgi;\n"
           << options.httpDirectives << "\n"
           << "    server {\n"
           << "        listen 127.0.0.1:" << port_ << (tls_ ? " ssl" : "") << ";\n"
           << "        root " << root_.string() << ";\n";
    if (tls_) {
        config << "        ssl_certificate " << dir << "/certificate.pem;\n"
               << "        ssl_certificate_key " << dir << "/key.pem;\n";
    }
    config << options.serverDirectives << "\n    }\n}\n";
    config.close();

    const std::string binary = program()->string();
    const std::string prefix = dir + "/";
    const std::string configPath = dir + "/nginx.conf";
    const std::string errorPath = dir + "/error.log";
    const std::string outputPath = dir + "/output.log";
    std::vector<std::string> args = {binary, "-p", prefix, "-c", configPath, "-e", errorPath};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int spawned =
        ::posix_spawn(&master_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        master_ = -1;
        error = "cannot run " + binary;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(port_))
            return true;
        int status = 0;
        if (::waitpid(master_, &status, WNOHANG) == master_) {
            master_ = -1;
            error = "nginx stopped: " + readFile(outputPath) + readFile(errorPath);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    error = "nginx did not accept connections within 10 s: " + readFile(errorPath);
    stop();
    return false;
}

NginxServer::~NginxServer() {
    stop();
}

void NginxServer::stop() {
    if (master_ <= 0)
        return;
    ::kill(master_, SIGTERM);  // a fast shutdown: the workers end with the master
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int status = 0;
    while (::waitpid(master_, &status, WNOHANG) != master_) {
        if (std::chrono::steady_clock::now() > deadline) {
            for (pid_t worker : workers())
                ::kill(worker, SIGKILL);
            ::kill(master_, SIGKILL);
            ::waitpid(master_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    master_ = -1;
}

std::string NginxServer::baseUrl() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<NginxRequest> NginxServer::requests() const {
    std::vector<NginxRequest> out;
    std::istringstream log(readFile(dir_ / "access.log"));
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields;
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (fields.size() < 5)
            continue;
        out.push_back({fields[0], fields[1], std::atoi(fields[2].c_str()), field(fields[3]),
                       field(fields[4])});
    }
    return out;
}

bool NginxServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (requests().size() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::vector<pid_t> NginxServer::workers() const {
    std::vector<pid_t> out;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::atoi(name.c_str()));
        if (parentOf(pid) == master_)
            out.push_back(pid);
    }
    return out;
}

void NginxServer::cutConnections() {
    const std::vector<pid_t> killed = workers();
    for (pid_t worker : killed)
        ::kill(worker, SIGKILL);
    // The master notices and starts a new worker; the listening socket stays open meanwhile.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        bool fresh = false;
        for (pid_t worker : workers()) {
            if (std::find(killed.begin(), killed.end(), worker) == killed.end())
                fresh = true;
        }
        if (fresh)
            return;
        std::this_thread::sleep_for(5ms);
    }
}

}  // namespace vk::test
