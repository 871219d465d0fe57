// RefServer: listeners (plain and TLS), routes, recorded requests, injected faults and the
// handling of one request. Streamed answers are in RefServerStreams.cpp.
#include "refserver/RefServer.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <thread>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "refserver/ErrorAnswer.h"
#include "refserver/QueryParameters.h"

namespace refserver {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == lower(prefix);
}

std::optional<std::string> findField(const Fields& fields, const std::string& name,
                                     bool caseInsensitive) {
    for (const auto& [key, value] : fields) {
        if (caseInsensitive ? lower(key) == lower(name) : key == name)
            return value;
    }
    return std::nullopt;
}

// Loads a PEM chain (leaf first) and key into a server context: the leaf is the server's
// certificate, the rest is sent along as its chain.
bool useIdentity(SSL_CTX& context, const TlsIdentity& identity) {
    BIO* certificates = BIO_new_mem_buf(identity.certificateChainPem.data(),
                                        static_cast<int>(identity.certificateChainPem.size()));
    bool ok = certificates != nullptr;
    bool first = true;
    while (ok) {
        X509* certificate = PEM_read_bio_X509(certificates, nullptr, nullptr, nullptr);
        if (certificate == nullptr)
            break;
        if (first) {
            ok = SSL_CTX_use_certificate(&context, certificate) == 1;
            X509_free(certificate);
            first = false;
        } else {
            ok = SSL_CTX_add0_chain_cert(&context, certificate) == 1;  // takes ownership
            if (!ok)
                X509_free(certificate);
        }
    }
    BIO_free(certificates);
    ok = ok && !first;
    BIO* keyText = BIO_new_mem_buf(identity.privateKeyPem.data(),
                                   static_cast<int>(identity.privateKeyPem.size()));
    EVP_PKEY* key =
        keyText != nullptr ? PEM_read_bio_PrivateKey(keyText, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(keyText);
    ok = ok && key != nullptr && SSL_CTX_use_PrivateKey(&context, key) == 1 &&
         SSL_CTX_check_private_key(&context) == 1;
    EVP_PKEY_free(key);
    ERR_clear_error();
    return ok;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    return findField(headers, name, true);
}

std::optional<std::string> RecordedRequest::queryValue(const std::string& name) const {
    return findField(query, name, false);
}

struct RefServer::Exchange {
    const httplib::Request& request;
    httplib::Response& response;
};

struct RefServer::Listener {
    std::string name;
    std::string address;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
};

RefServer::RefServer(Options options)
    : options_(std::move(options)), accessToken_(options_.accessToken) {
    installBuiltInRoutes();
}

RefServer::~RefServer() {
    stop();
}

std::optional<std::string> RefServer::listen(ListenerOptions options) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return std::nullopt;
    }
    std::unique_ptr<httplib::Server> server;
    if (options.tls) {
        TlsIdentity identity = *options.tls;
        server = std::make_unique<httplib::SSLServer>(
            [identity](SSL_CTX& context) { return useIdentity(context, identity); });
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid())
        return std::nullopt;

    auto listener = std::make_unique<Listener>();
    {
        std::lock_guard lock(mutex_);
        listener->name =
            options.name.empty() ? "listener" + std::to_string(listeners_.size()) : options.name;
    }
    std::string name = listener->name;
    auto dispatch = [this, name](const httplib::Request& request, httplib::Response& response) {
        Exchange exchange{request, response};
        handle(name, exchange);
    };
    const std::string any = ".*";
    server->Get(any, dispatch);
    server->Post(any, dispatch);
    server->Put(any, dispatch);
    server->Patch(any, dispatch);
    server->Delete(any, dispatch);
    server->Options(any, dispatch);
    server->set_keep_alive_timeout(options_.keepAliveSeconds);
    server->set_keep_alive_max_count(1'000'000);
    // The library writes head and body separately; without this, Nagle's algorithm holds the body
    // back until the client's delayed acknowledgement (about 40 ms per answer).
    server->set_tcp_nodelay(true);
    server->set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            response.status = 500;
            response.set_content(jsonError(500, "internal error"), kJsonType);
        });

    int port = options.port;
    if (port == 0) {
        port = server->bind_to_any_port(options.host);
        if (port <= 0)
            return std::nullopt;
    } else if (!server->bind_to_port(options.host, port)) {
        return std::nullopt;
    }
    listener->address = std::string(options.tls ? "https" : "http") + "://" + options.host + ":" +
                        std::to_string(port);
    httplib::Server* running = server.get();
    listener->server = std::move(server);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    listener->thread = std::thread([running, ended] {
        running->listen_after_bind();
        *ended = true;
    });
    // stop() is ignored by the library until the accept loop runs; wait for it, so that a server
    // stopped right after listen() really stops.
    while (!running->is_running() && !*ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string address = listener->address;
    std::lock_guard lock(mutex_);
    listeners_.push_back(std::move(listener));
    return address;
}

std::string RefServer::address(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (const auto& listener : listeners_) {
        if (listener->name == name)
            return listener->address;
    }
    return {};
}

void RefServer::stop() {
    std::vector<std::unique_ptr<Listener>> listeners;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        listeners.swap(listeners_);
    }
    wake_.notify_all();
    for (auto& listener : listeners)
        listener->server->stop();
    for (auto& listener : listeners) {
        if (listener->thread.joinable())
            listener->thread.join();
    }
}

void RefServer::route(std::string method, const std::string& pattern, Handler handler,
                      Access access) {
    auto made = std::make_shared<const Route>(
        Route{std::move(method), std::regex(pattern, std::regex::icase | std::regex::ECMAScript),
              std::move(handler), access, false});
    std::lock_guard lock(mutex_);
    routes_.push_back(std::move(made));
}

void RefServer::page(std::string method, const std::string& pattern, Handler handler) {
    auto made = std::make_shared<const Route>(
        Route{std::move(method), std::regex(pattern, std::regex::icase | std::regex::ECMAScript),
              std::move(handler), Access::open, true});
    std::lock_guard lock(mutex_);
    routes_.push_back(std::move(made));
}

void RefServer::setAccessToken(std::optional<std::string> token) {
    std::lock_guard lock(mutex_);
    accessToken_ = std::move(token);
}

void RefServer::setEndpointInfo(bool isInNetwork, bool isLocal) {
    std::lock_guard lock(mutex_);
    isInNetwork_ = isInNetwork;
    isLocal_ = isLocal;
}

void RefServer::addFault(FaultRule rule) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(rule));
}

void RefServer::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void RefServer::releaseHangs() {
    {
        std::lock_guard lock(mutex_);
        ++releaseGeneration_;
    }
    wake_.notify_all();
}

std::vector<RecordedRequest> RefServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> RefServer::requestsTo(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    for (const auto& request : requests_) {
        if (startsWithNoCase(request.path, prefix))
            out.push_back(request);
    }
    return out;
}

void RefServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::size_t RefServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

std::map<std::string, std::string> RefServer::parseAuthorization(const std::string& header) {
    std::map<std::string, std::string> fields;
    static constexpr std::string_view kScheme = "Talvex ";
    if (!startsWithNoCase(header, kScheme))
        return fields;
    std::string_view rest = std::string_view(header).substr(kScheme.size());
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view part = rest.substr(0, comma);
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        std::size_t eq = part.find('=');
        if (eq == std::string_view::npos)
            continue;
        fields[std::string(part.substr(0, eq))] = std::string(part.substr(eq + 1));
    }
    return fields;
}

std::optional<Fault> RefServer::takeFault(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    for (auto& rule : faults_) {
        if (rule.times == 0)
            continue;
        if (!rule.listener.empty() && rule.listener != request.listener)
            continue;
        if (!rule.method.empty() && lower(rule.method) != lower(request.method))
            continue;
        if (!rule.pathPrefix.empty() && !startsWithNoCase(request.path, rule.pathPrefix))
            continue;
        if (rule.times > 0)
            --rule.times;
        return rule.fault;
    }
    return std::nullopt;
}

bool RefServer::pause(std::chrono::milliseconds duration, bool untilReleased) {
    std::unique_lock lock(mutex_);
    std::uint64_t generation = releaseGeneration_;
    auto woken = [&] { return stopping_ || (untilReleased && releaseGeneration_ != generation); };
    if (untilReleased) {
        wake_.wait(lock, woken);
        return false;
    }
    return !wake_.wait_for(lock, duration, woken);
}

void RefServer::handle(const std::string& listener, Exchange& exchange) {
    const httplib::Request& in = exchange.request;
    httplib::Response& out = exchange.response;

    RecordedRequest recorded;
    recorded.listener = listener;
    recorded.method = in.method;
    recorded.path = in.path;
    recorded.target = in.target;
    for (const auto& [key, value] : in.params)
        recorded.query.emplace_back(key, value);
    for (const auto& [key, value] : in.headers)
        recorded.headers.emplace_back(key, value);
    recorded.body = in.body;
    recorded.remoteAddress = in.remote_addr;
    recorded.remotePort = in.remote_port;
    std::optional<std::string> token;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(recorded);
        connections_.emplace(listener, in.remote_addr, in.remote_port);
        token = accessToken_;
    }

    // A head that promises a body, then a closed connection.
    auto closeMidAnswer = [&out] {
        out.status = 200;
        out.set_content_provider(64, kJsonType,
                                 [](size_t, size_t, httplib::DataSink&) { return false; });
    };
    // The HTTP library cuts every answer to a Range request to the range, error pages included
    // (a 404 page shorter than the range's start becomes a 416). A range applies to a 2xx answer
    // only: for any other the request's ranges are dropped before the library sees the answer.
    auto wholeUnless2xx = [&in](int status) {
        if (status < 200 || status > 299)
            const_cast<httplib::Request&>(in).ranges.clear();
    };
    auto send = [&out, &wholeUnless2xx](int status, std::string body, const std::string& type) {
        wholeUnless2xx(status);
        out.status = status;
        out.set_content(std::move(body), type);
    };

    bool chunked = false;
    if (std::optional<Fault> fault = takeFault(recorded)) {
        switch (fault->kind) {
            case FaultKind::delay:
                if (!pause(fault->delay, false)) {
                    closeMidAnswer();  // stopping
                    return;
                }
                break;
            case FaultKind::status:
                send(fault->status, jsonError(fault->status, "injected status"), kJsonType);
                return;
            case FaultKind::emptyBody:
                out.status = fault->status;
                out.set_header("Content-Type", kJsonType);
                return;  // the library writes "Content-Length: 0" for an empty body
            case FaultKind::noBody:
                out.status = fault->status;
                // No length and no chunking; ending the provider with failure closes the
                // connection, which is what ends such an answer.
                out.set_content_provider(kJsonType, [](size_t, httplib::DataSink& sink) {
                    sink.done();
                    return false;
                });
                return;
            case FaultKind::noContent:
                out.status = fault->status;
                // A provider of length 0 is the one form in which the HTTP library writes
                // neither a Content-Length nor a chunked body, and keeps the connection.
                out.set_content_provider(0, kJsonType, [](size_t, size_t, httplib::DataSink& sink) {
                    sink.done();
                    return true;
                });
                return;
            case FaultKind::chunked:
                chunked = true;
                break;
            case FaultKind::garbage:
                send(200, std::string("\x01\xff<html>not json", 16), kJsonType);
                return;
            case FaultKind::reset:
                closeMidAnswer();
                return;
            case FaultKind::hang:
                pause({}, true);
                closeMidAnswer();
                return;
        }
    }

    static constexpr std::string_view kPrefix = "/vorn/";
    // Paths outside the API prefix are pages (the web interface).
    const bool isPage = !startsWithNoCase(recorded.path, kPrefix);
    Request request{recorded,
                    isPage ? recorded.path.substr(recorded.path.empty() ? 0 : 1)
                           : recorded.path.substr(kPrefix.size()),
                    {},
                    {}};
    if (auto header = recorded.header("X-Vorn-Authorization")) {
        request.authorization = parseAuthorization(*header);
    }

    std::shared_ptr<const Route> matched;
    {
        std::lock_guard lock(mutex_);
        for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
            std::smatch match;
            if ((*it)->method == recorded.method && (*it)->page == isPage &&
                std::regex_match(request.apiPath, match, (*it)->pattern)) {
                matched = *it;
                for (std::size_t i = 1; i < match.size(); ++i)
                    request.captures.push_back(match[i]);
                break;
            }
        }
    }
    if (!matched) {
        send(404, jsonError(404, "not found"), kJsonType);
        return;
    }
    if (matched->access == Access::authorised && token) {
        auto given = request.authorization.find("Token");
        std::optional<std::string> presented;
        if (given != request.authorization.end())
            presented = given->second;
        if (!presented || presented->empty())
            presented = recorded.queryValue("api_key");
        if (presented != token) {
            send(401, jsonError(401, "access token required"), kJsonType);
            return;
        }
    }
    Response response;
    matched->handler(request, response);
    if (response.stream) {
        for (const auto& [key, value] : response.headers)
            out.set_header(key, value);
        answerStream(in, out, std::move(*response.stream), response.contentType);
        return;
    }
    // A whole answer to a Range request is cut by the HTTP library, which then sends 206 (or 416)
    // only when no status was set; with 200 set it would send the range under 200.
    wholeUnless2xx(response.status);
    if (response.status != 200 || in.ranges.empty())
        out.status = response.status;
    for (const auto& [key, value] : response.headers)
        out.set_header(key, value);
    if (chunked) {
        // Pieces of 7 bytes, so that a body spans several chunks; an empty body is the final
        // chunk alone.
        auto body = std::make_shared<std::string>(std::move(response.body));
        out.set_chunked_content_provider(
            response.contentType, [body](size_t offset, httplib::DataSink& sink) {
                if (offset >= body->size()) {
                    sink.done();
                    return true;
                }
                std::size_t piece = std::min<std::size_t>(7, body->size() - offset);
                return sink.write(body->data() + offset, piece);
            });
        return;
    }
    // What set_content() does, without its copy of the body (answers run to megabytes).
    out.set_header("Content-Type", response.contentType);
    out.body = std::move(response.body);
}

void RefServer::installBuiltInRoutes() {
    auto publicInfo = [this](const Request& request, Response& response) {
        vk::JsonWriter writer(response.body);
        writer.beginObject();
        writer.key("LocalAddress");
        writer.string(address(request.recorded.listener));
        writer.key("ServerName");
        writer.string(options_.serverName);
        writer.key("Version");
        writer.string(options_.version);
        writer.key("ProductName");
        writer.string("Vorn Reference Server");
        writer.key("OperatingSystem");
        writer.string("Linux");
        writer.key("Id");
        writer.string(options_.serverId);
        writer.key("StartupWizardCompleted");
        writer.boolean(true);
        writer.endObject();
    };
    // The probe: "system/info/public?format=json" escaped into the path, or a plain query.
    route("GET", R"(system/info/public(\?format=json)?)", publicInfo, Access::open);
    route("GET", "System/Info", publicInfo);
    route("GET", "System/Endpoint", [this](const Request&, Response& response) {
        bool inNetwork = false;
        bool local = false;
        {
            std::lock_guard lock(mutex_);
            inNetwork = isInNetwork_;
            local = isLocal_;
        }
        vk::JsonWriter writer(response.body);
        writer.beginObject();
        writer.key("IsLocal");
        writer.boolean(local);
        writer.key("IsInNetwork");
        writer.boolean(inNetwork);
        writer.endObject();
    });
}

}  // namespace refserver
