#include "VornKit/Offline/FileSystem.h"

#include <fstream>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using vk::FileSystem;

namespace {

class FileSystemTest : public ::testing::Test {
  protected:
    FileSystem fs;
    std::filesystem::path root{FileSystem::rootDocsPath()};
    vk::test::ScopedLogCapture capture;

    void writeFile(const std::string& relative) {
        std::filesystem::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << "data";
    }
};

TEST_F(FileSystemTest, PathsResolveUnderTheDocumentsDirectory) {
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(root.is_absolute());
    EXPECT_EQ(FileSystem::getFileSystemPath("Music/a.mp3"), root.string() + "/Music/a.mp3");
    EXPECT_EQ(FileSystem::getFileSystemPath("/Music/a.mp3"), root.string() + "/Music/a.mp3");
    EXPECT_FALSE(FileSystem::isPathRelative(root.string() + "/Music/a.mp3"));
    EXPECT_TRUE(FileSystem::isPathRelative("Music/a.mp3"));
    EXPECT_TRUE(FileSystem::isPathRelative("/elsewhere/Music/a.mp3"));
}

TEST_F(FileSystemTest, FileExistsIsFalseForFolders) {
    writeFile("exists/song.mp3");
    EXPECT_TRUE(fs.fileExists("exists/song.mp3"));
    EXPECT_FALSE(fs.fileExists("exists"));
    EXPECT_FALSE(fs.fileExists("exists/missing.mp3"));
}

TEST_F(FileSystemTest, DeleteRemovesFilesAndEmptyFoldersOnly) {
    writeFile("del/full/one.mp3");
    EXPECT_FALSE(fs.deleteFile("del/full"));
    EXPECT_TRUE(std::filesystem::exists(root / "del/full/one.mp3"));
    EXPECT_TRUE(fs.deleteFile("del/full/one.mp3"));
    EXPECT_TRUE(capture->contains("File deleted at " + (root / "del/full/one.mp3").string()));
    EXPECT_TRUE(fs.deleteFile("del/full"));
    EXPECT_FALSE(std::filesystem::exists(root / "del/full"));
    capture->clear();
    EXPECT_FALSE(fs.deleteFile("del/never-there"));
    EXPECT_TRUE(capture->records().empty()) << "a missing path is not an error worth a line";
}

TEST_F(FileSystemTest, CreateDirectoryMakesParentsAndReportsFailure) {
    EXPECT_TRUE(fs.createDirectory("made/a/b"));
    EXPECT_TRUE(std::filesystem::is_directory(root / "made/a/b"));
    EXPECT_TRUE(capture->contains("Create Directory successful at path: "));
    writeFile("blocker");
    EXPECT_FALSE(fs.createDirectory("blocker/sub"));
    EXPECT_TRUE(capture->contains("Create Directory Error at path " +
                                  (root / "blocker/sub").string() + ": --- "));
}

TEST_F(FileSystemTest, AttributesDescribeTheEntryOrLogWhyNot) {
    writeFile("attr/file.bin");
    auto file = fs.getFileAttributes("attr/file.bin");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, vk::FileAttributes::Type::Regular);
    EXPECT_EQ(file->size, 4u);
    auto folder = fs.getFileAttributes("attr");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->type, vk::FileAttributes::Type::Directory);
    EXPECT_FALSE(fs.getFileAttributes("attr/none"));
    EXPECT_TRUE(capture->contains("File Attributes Error for item at path "));
}

TEST_F(FileSystemTest, PathsClimbingOutOfTheDocumentsDirectoryAreRefused) {
    auto outside = root.parent_path() / "outside.txt";
    std::ofstream(outside) << "keep me";
    EXPECT_FALSE(fs.deleteFile("../outside.txt"));
    EXPECT_FALSE(fs.deleteFile("a/../../outside.txt"));
    EXPECT_FALSE(fs.fileExists("../outside.txt"));
    EXPECT_FALSE(fs.createDirectory("../../escaped"));
    EXPECT_FALSE(fs.getFileAttributes(".."));
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(capture->contains("Refusing path outside the documents directory: "));
    writeFile("inside/x");
    EXPECT_TRUE(fs.fileExists("inside/../inside/x")) << "dots that stay inside are fine";
}

}  // namespace
