// `vornctl resolve` and `vornctl get`: the API client against any server, real or reference.
#include <cstdio>
#include <memory>

#include "VornKit/Platform/Runtime/Dispatch.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/ServerOptions.h"

namespace {

int fail(const std::string& message) {
    std::printf("error: %s\n", message.c_str());
    return 1;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h")
            return true;
    }
    return false;
}

int resolveCommand(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::printf("usage: vornctl [server options] resolve\n%s", vornctl::ServerOptions::usage());
        return 0;
    }
    std::string error;
    auto options = vornctl::ServerOptions::parse(args, error);
    if (!options || !options->positional.empty()) {
        std::fprintf(stderr, "usage: vornctl [server options] resolve\n%s",
                     vornctl::ServerOptions::usage());
        return options ? 2 : fail(error);
    }
    vornctl::StderrLog log;
    auto client = options->makeClient();
    auto address = vornctl::resolveAddress(*client, error);
    if (!address)
        return fail(error);
    std::printf("%s\n", address->c_str());
    return 0;
}

int getCommand(const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::printf("usage: vornctl [server options] get PATH [NAME=VALUE ...]\n%s",
                    vornctl::ServerOptions::usage());
        return 0;
    }
    std::string error;
    auto options = vornctl::ServerOptions::parse(args, error);
    if (!options)
        return fail(error);
    if (options->positional.empty()) {
        std::fprintf(stderr, "usage: vornctl [server options] get PATH [NAME=VALUE ...]\n%s",
                     vornctl::ServerOptions::usage());
        return 2;
    }
    vk::ApiClient::QueryParams params;
    for (std::size_t i = 1; i < options->positional.size(); ++i) {
        const std::string& pair = options->positional[i];
        std::size_t eq = pair.find('=');
        if (eq == std::string::npos)
            return fail("parameter without '=': " + pair);
        params[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    vornctl::StderrLog log;
    auto client = options->makeClient();
    if (!vornctl::resolveAddress(*client, error))
        return fail(error);
    auto url = client->getUrl(options->positional.front(), params);
    if (!url)
        return fail("cannot build a URL for " + options->positional.front());

    auto result = std::make_shared<std::optional<std::optional<std::string>>>();
    client->sendRequest(vk::UrlRequest(*url), [result](std::optional<std::string> body) {
        // Hand the answer to the main thread, which is waiting in the run loop.
        vk::DispatchQueue::main()->async(
            [result, body = std::move(body)] { *result = std::move(body); });
    });
    if (!vk::RunLoop::main().runUntil([&] { return result->has_value(); },
                                      std::chrono::seconds(120))) {
        return fail("no answer");
    }
    if (!**result)
        return fail("request failed (see the log above)");
    std::printf("%s\n", (**result)->c_str());
    return 0;
}

VORNCTL_COMMAND("resolve",
                "resolve                    print the address resolution picks for the server "
                "(server options: --local/--manual/--remote URL, --token T, ...)",
                resolveCommand);
VORNCTL_COMMAND("get",
                "get PATH [NAME=VALUE...]   send an authorised GET to the server, print the body",
                getCommand);

}  // namespace
