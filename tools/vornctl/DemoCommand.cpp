// `vornctl demo`: runs the framework end to end and prints what really ran.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "VornKit/Platform/Bundle.h"
#include "VornKit/Platform/Directories.h"
#include "VornKit/Platform/Environment.h"
#include "VornKit/Platform/UserDefaults.h"
#include "VornKit/Settings/AppSettings.h"
#include "tools/vornctl/Command.h"

namespace {

std::string joinList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", \"" : "\"") + items[i] + "\"";
    }
    return out + "]";
}

void section(const char* title) {
    std::printf("\n== %s\n", title);
}

int demoPlatform() {
    section("Platform");
    auto env = vk::Environment::current();
    auto bundle = vk::Bundle::main();
    std::printf("bundle identifier:        %s\n", bundle.identifier.value_or("(none)").c_str());
    std::printf("data home:                %s\n", env->dataHome().c_str());
    std::printf("config home:              %s\n", env->configHome().c_str());
    auto documents = vk::Directories::documents();
    auto group = vk::Directories::applicationGroupContainer();
    std::printf("documents directory:      %s\n", documents ? documents->c_str() : "(unavailable)");
    std::printf("application-group dir:    %s\n", group ? group->c_str() : "(unavailable)");
    std::printf("temporary directory:      %s\n", vk::Directories::temporary().c_str());
    std::printf("standard defaults file:   %s\n", vk::UserDefaults::standard()->file().c_str());
    return (documents && group) ? 0 : 1;
}

int demoSettings() {
    section("Settings (AppSettings over the standard user defaults)");
    vk::AppSettings settings;
    // Entries as the web user interface writes them (text), then read back typed.
    settings.set("cameraUploadServers", "server-a,,server-b");
    settings.set("cameraUploadFolders", "Camera||Screenshots");
    settings.set("syncOnlyOnWifi", "FALSE");
    settings.set("skipForwardLength", "30000");
    settings.set("skipBackLength", "not a number");
    settings.remove("saveStreamServers");
    settings.set("localplayersubtitleappearance3",
                 R"({"textSize":"Large","dropShadow":"UNIFORM","textBackgroundOpacity":"0.5"})");
    settings.setSyncActive(true);

    std::printf("getCameraUploadServers()  %s\n",
                joinList(settings.getCameraUploadServers()).c_str());
    std::printf("getCameraUploadFolders()  %s\n",
                joinList(settings.getCameraUploadFolders()).c_str());
    std::printf("getSyncOnlyOnWifi()       %s   (stored \"FALSE\": only \"false\" turns it off)\n",
                settings.getSyncOnlyOnWifi() ? "true" : "false");
    std::printf("getSaveStreamServers()    %s   (absent: one empty entry)\n",
                joinList(settings.getSaveStreamServers()).c_str());
    std::printf("getSkipForwardLength()    %lld\n",
                static_cast<long long>(settings.getSkipForwardLength()));
    std::printf("getSkipBackLength()       %lld   (unparsable text: default)\n",
                static_cast<long long>(settings.getSkipBackLength()));
    std::printf("getSyncActive()           %s\n", settings.getSyncActive() ? "true" : "false");
    auto styles = settings.getSubtitleStyles();
    std::printf("getSubtitleStyles()       %s\n", styles->encode().c_str());
    return 0;
}

int runDemo(const std::vector<std::string>& args) {
    // A throw-away home unless --real-home: the demo writes settings, a store and downloads.
    bool realHome = false;
    for (const auto& a : args) {
        realHome = realHome || a == "--real-home";
    }
    if (!realHome) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vornctl-demo-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "error: cannot create a temporary home\n");
            return 1;
        }
        vk::Environment::install(vk::Environment::rootedAt(pattern));
    }
    std::printf("VornKit demo: every line below comes from the framework as it ran.\n");
    int status = 0;
    status |= demoPlatform();
    status |= demoSettings();
    std::printf("\n%s\n", status == 0 ? "demo finished" : "demo finished with failures");
    return status;
}

}  // namespace

VORNCTL_COMMAND("demo",
                "demo [--real-home]         run the framework end to end and show it (a throw-away "
                "home unless --real-home)",
                runDemo);
