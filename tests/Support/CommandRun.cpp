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

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::map<std::string, std::string> userEnvironment(const std::filesystem::path& home,
                                                   std::map<std::string, std::string> extra) {
    extra.emplace("HOME", home.string());
    extra.emplace("XDG_DATA_HOME", (home / "data").string());
    extra.emplace("XDG_CONFIG_HOME", (home / "config").string());
    extra.emplace("VORNKIT_SECRET_STORE", "file");
    return extra;
}

std::string withEnvironment(const std::map<std::string, std::string>& environment,
                            const std::string& command) {
    std::string line = "env";
    for (const auto& [name, value] : environment)
        line += " " + name + "=" + shellQuoted(value);
    return line + " " + command;
}

}  // namespace vk::test
