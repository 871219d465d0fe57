#include "Support/CommandRun.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Support/TestSupport.h"

namespace vk::test {

CommandOutcome runCommand(const std::string& command, const std::string& input) {
    auto dir = makeTempDir("command");
    {
        std::ofstream in(dir / "in", std::ios::binary);
        in << input;
    }
    const std::string redirected = command + " < '" + (dir / "in").string() + "' > '" +
                                   (dir / "out").string() + "' 2> '" + (dir / "err").string() + "'";
    CommandOutcome run;
    const int raw = std::system(redirected.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readFile(dir / "out");
    run.err = readFile(dir / "err");
    return run;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace vk::test
