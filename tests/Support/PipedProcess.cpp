#include "Support/PipedProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vk::test {

PipedProcess::PipedProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& input) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (!environment.count(text.substr(0, text.find('='))))
            variables.push_back(text);
    }
    for (const auto& [name, value] : environment)
        variables.push_back(name + "=" + value);
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argp, envp;
    for (auto& a : argv)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : variables)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argp.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    [[maybe_unused]] auto written = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
    out_ = out[0];
}

PipedProcess::~PipedProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        ::close(out_);
}

bool PipedProcess::readMore(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{out_, POLLIN, 0};
    if (out_ < 0 || left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
        return false;
    char chunk[4096];
    auto got = ::read(out_, chunk, sizeof chunk);
    if (got <= 0)
        return false;
    all_.append(chunk, static_cast<std::size_t>(got));
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
}

bool PipedProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto end = buffer_.find('\n'); end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return true;
        }
        if (!readMore(deadline))
            return false;
    }
}

bool PipedProcess::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t start = 0;;) {
        // Every complete line so far, from the first: an earlier wait may have read past it.
        for (auto end = all_.find('\n', start); end != std::string::npos;
             end = all_.find('\n', start)) {
            if (all_.compare(start, prefix.size(), prefix) == 0 && end - start >= prefix.size())
                return true;
            start = end + 1;
        }
        if (!readMore(deadline))
            return false;
    }
}

int PipedProcess::wait() {
    if (pid_ <= 0)
        return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int PipedProcess::stop() {
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    return wait();
}

CommandOutcome PipedProcess::finish() {
    std::string line;
    while (readLine(line, std::chrono::seconds(120))) {
    }
    CommandOutcome run;
    run.status = wait();
    run.out = all_;
    return run;
}

}  // namespace vk::test
