// PrivateFiles and the temporary folder built on it: what another local user plants in a shared
// directory (a link, a folder of theirs) is refused, never written through.
#include "VornKit/Platform/Files/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "Support/TestSupport.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Environment.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(PrivateFiles, AWriteNeverFollowsALinkAndReplacesAFileWhole) {
    const auto dir = makeTempDir("private-write");
    const auto victim = dir / "victim";
    std::ofstream(victim) << "keep me";
    fs::create_symlink(victim, dir / "planted.png");
    std::string error;
    EXPECT_FALSE(PrivateFiles::write(dir / "planted.png", "cover", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(contents(victim), "keep me");

    std::ofstream(dir / "old.png") << "a longer earlier content";
    ASSERT_TRUE(PrivateFiles::write(dir / "old.png", "new"));
    EXPECT_EQ(contents(dir / "old.png"), "new");

    ASSERT_TRUE(PrivateFiles::write(dir / "fresh.png", std::string("\0bytes", 6)));
    EXPECT_EQ(contents(dir / "fresh.png"), std::string("\0bytes", 6));
    EXPECT_EQ(modeOf(dir / "fresh.png"), 0600u);

    // Not a regular file: refused without blocking or emptying it.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(PrivateFiles::write(dir / "fifo", "x"));
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(PrivateFiles::write(dir / "folder", "x"));
}

TEST(PrivateFiles, ReadAllTakesEverythingToTheEndAndReportsAFailedRead) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    std::string sent(20000, '\0');  // more than one read takes
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(PrivateFiles::writeAll(pipeEnds[1], sent));
    ::close(pipeEnds[1]);
    std::string got = "kept:";
    EXPECT_TRUE(PrivateFiles::readAll(pipeEnds[0], got));
    ::close(pipeEnds[0]);
    EXPECT_EQ(got, "kept:" + sent);

    // A descriptor open only for writing cannot be read: false, and errno says why.
    const auto file = makeTempDir("private-read") / "write-only";
    const int writeOnly = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(writeOnly, 0);
    errno = 0;
    EXPECT_FALSE(PrivateFiles::readAll(writeOnly, got));
    EXPECT_EQ(errno, EBADF);
    ::close(writeOnly);
}

TEST(PrivateFiles, AFolderMustBeThisUsersAndIsClosedToOthers) {
    const auto dir = makeTempDir("private-folder");
    auto made = PrivateFiles::folder(dir / "a" / "b");
    ASSERT_TRUE(made);
    EXPECT_EQ(modeOf(*made), 0700u);

    fs::create_directory(dir / "open");
    ::chmod((dir / "open").c_str(), 0755);
    ASSERT_TRUE(PrivateFiles::folder(dir / "open"));
    EXPECT_EQ(modeOf(dir / "open"), 0700u);

    fs::create_directory_symlink(dir / "open", dir / "link");
    EXPECT_FALSE(PrivateFiles::folder(dir / "link"));
    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(PrivateFiles::folder(dir / "file"));
    if (::geteuid() == 0) {
        // Another user's folder (only root can make one here).
        fs::create_directory(dir / "theirs");
        ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(PrivateFiles::folder(dir / "theirs"));
    }

    auto one = PrivateFiles::uniqueFolder(dir / "unique");
    auto two = PrivateFiles::uniqueFolder(dir / "unique");
    ASSERT_TRUE(one && two);
    EXPECT_NE(*one, *two);
    EXPECT_EQ(modeOf(*one), 0700u);
}

TEST(PrivateFiles, TheTemporaryFolderAvoidsANameSomeoneElseTook) {
    const auto root = makeTempDir("private-env");
    const auto previous = Environment::current();
    Environment::install(Environment::rootedAt(root));
    const auto expected = root / "tmp" / *Bundle::main().identifier;
    auto own = Directories::temporary();
    ASSERT_TRUE(own);
    EXPECT_EQ(*own, expected);
    EXPECT_EQ(modeOf(expected), 0700u);

    // The name is now a link to a folder someone else controls: never used, and the folder
    // given instead stays the same for the rest of the process.
    fs::remove(expected);
    fs::create_directory(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", expected);
    auto instead = Directories::temporary();
    ASSERT_TRUE(instead);
    EXPECT_NE(*instead, expected);
    EXPECT_EQ(instead->parent_path(), expected.parent_path());
    EXPECT_EQ(modeOf(*instead), 0700u);
    EXPECT_EQ(Directories::temporary(), instead);
    Environment::install(previous);
}

}  // namespace
}  // namespace vk::test
