// worker_pool_size [COUNT]: sets the worker pool's size to COUNT when given, starts the pool with
// one block, and prints one line: "count=<reported size> workers=<vk-worker threads running>
// late=<whether a later setWorkerThreadCount was taken>".
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "VornKit/Platform/Runtime/Dispatch.h"

namespace {

int runningWorkers() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        count += name == "vk-worker";
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && !vk::DispatchQueue::setWorkerThreadCount(
                        static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)))) {
        std::printf("the pool had started before main\n");
        return 1;
    }
    std::promise<void> ran;
    vk::DispatchQueue::global()->async([&] { ran.set_value(); });
    ran.get_future().wait();
    const bool late = vk::DispatchQueue::setWorkerThreadCount(32);
    std::printf("count=%u workers=%d late=%s\n", vk::DispatchQueue::workerThreadCount(),
                runningWorkers(), late ? "true" : "false");
    return 0;
}
