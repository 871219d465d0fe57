// vornkit-desktop: VornKit Desktop, the framework's reference host application. `vornkit-desktop
// --help` explains its options; DesktopApplication.h how it is put together.
#include <cstdio>
#include <string>
#include <vector>

#include "DesktopApplication.h"
#include "DesktopOptions.h"
#include "VornKit/Platform/Runtime/Bundle.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    bool help = false;
    auto options = desktop::DesktopOptions::parse(arguments, error, help);
    if (help) {
        std::fputs(desktop::DesktopOptions::usage(), stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "vornkit-desktop: %s\n%s", error.c_str(),
                     desktop::DesktopOptions::usage());
        return 2;
    }
    vk::Bundle bundle;
    bundle.identifier = desktop::DesktopApplication::kApplicationId;
    bundle.info = {{"CFBundleShortVersionString", VK_DESKTOP_VERSION},
                   {"CFBundleVersion", VK_DESKTOP_VERSION},
                   {"CFBundleName", "VornKit Desktop"}};
    vk::Bundle::setMain(bundle);
    desktop::DesktopApplication application(*options);
    return application.run(argv[0]);
}
