#include "VornKit/Platform/Store/SqliteDatabase.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Support/TestSupport.h"

namespace vk::test {
namespace {

std::uintmax_t sizeOf(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? 0 : size;
}

// Commits that fill the write-ahead log have it copied back into the database file without
// anybody closing the connection, while the connection goes on writing; what was committed is all
// there when the file is opened again.
TEST(SqliteDatabase, AFullLogIsCopiedBackIntoTheFileWhileTheConnectionWorks) {
    const auto file = makeTempDir("sqlite") / "store.sqlite";
    std::string error;
    auto database = SqliteDatabase::open(file, &error);
    ASSERT_TRUE(database) << error;
    ASSERT_TRUE(database->exec("CREATE TABLE t (n INTEGER, payload BLOB);", &error)) << error;
    constexpr int kRounds = 3;
    constexpr int kRowsPerRound = 1200;  // 4 KB each: more log pages than the threshold
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(
            database->exec("BEGIN; WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 "
                           "FROM c WHERE n < " +
                               std::to_string(kRowsPerRound) +
                               ") INSERT INTO t SELECT n, randomblob(4096) FROM c; COMMIT;",
                           &error))
            << error;
    }
    const std::uintmax_t committed = std::uintmax_t{kRounds} * kRowsPerRound * 4096;
    EXPECT_TRUE(
        pumpMainQueueUntil([&] { return sizeOf(file) >= committed; }, std::chrono::seconds(20)))
        << "database file " << sizeOf(file) << " bytes, log " << sizeOf(file.string() + "-wal");
    // The connection keeps working while and after its log is copied.
    ASSERT_TRUE(database->exec("INSERT INTO t VALUES (0, x'00');", &error)) << error;
    database.reset();

    auto reopened = SqliteDatabase::open(file, &error);
    ASSERT_TRUE(reopened) << error;
    auto* count = reopened->prepare("SELECT count(*) FROM t;", &error);
    ASSERT_TRUE(count) << error;
    ASSERT_EQ(sqlite3_step(count->get()), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count->get(), 0), kRounds * kRowsPerRound + 1);
}

}  // namespace
}  // namespace vk::test
