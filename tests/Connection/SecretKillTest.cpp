// A writer killed with SIGKILL at any moment of a keychain write never loses the value stored
// before: the encrypted file store replaces its file atomically.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "ConnectionTestSupport.h"
#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"

namespace vk {
namespace {

/// The number in a stored "value-N|..." text, or -1.
long long storedNumber(const std::filesystem::path& dir) {
    EncryptedFileSecretStore store(dir);
    SecretQuery query;
    query.generic = query.account = "SERVER_CREDENTIALS_KEY";
    query.synchronizable = SynchronizableMatch::Any;
    SecretItem item;
    if (store.copyFirst(query, item) != SecretStatusCode::Success)
        return -1;
    if (item.value.rfind("value-", 0) != 0 || item.value.size() != item.value.find('|') + 4097)
        return -1;
    return std::atoll(item.value.c_str() + 6);
}

TEST(SecretKill, KilledWritersNeverLoseTheStoredValue) {
    const auto dir = test::makeTempDir("kill") / "secrets";
    std::mt19937 random(12345);
    constexpr int kRounds = 25;
    long long previous = -1;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const long long first = 1'000'000LL * (round + 1);
        int output[2];
        ASSERT_EQ(::pipe(output), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        std::string dirText = dir.string(), firstText = std::to_string(first);
        char* argv[] = {const_cast<char*>(SECRET_WRITER_PATH), dirText.data(), firstText.data(),
                        nullptr};
        pid_t pid = -1;
        ASSERT_EQ(::posix_spawn(&pid, SECRET_WRITER_PATH, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(output[1]);
        FILE* lines = ::fdopen(output[0], "r");

        // Let it complete one write at least, then kill it somewhere in a later one.
        long long confirmed = -1;
        char line[64];
        ASSERT_TRUE(std::fgets(line, sizeof line, lines));
        confirmed = std::atoll(line);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status));
        while (std::fgets(line, sizeof line, lines))
            confirmed = std::atoll(line);
        std::fclose(lines);

        // The last confirmed value, or the one whose write had replaced the file but not yet
        // said so; never nothing, never an older value, never a damaged store.
        long long stored = storedNumber(dir);
        EXPECT_TRUE(stored == confirmed || stored == confirmed + 1)
            << "stored " << stored << ", last confirmed " << confirmed;
        EXPECT_GT(stored, previous);
        previous = stored;
    }
}

}  // namespace
}  // namespace vk
