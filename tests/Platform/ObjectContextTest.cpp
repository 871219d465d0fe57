#include "VornKit/Platform/Store/ObjectContext.h"

#include <sqlite3.h>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

using vk::AttributeKind;
using A = vk::AttributeDescription;
using vk::FetchRequest;
using vk::ManagedObject;
using vk::ObjectContext;
using vk::StoreValue;

namespace {

// A toy model: folders and tracks; a track points at its folder, and deleting a track deletes
// the folder it points at when `cascade` is set.
struct Folder : ManagedObject {
    Folder() : ManagedObject("Folder") {}
    std::string name;
    bool isFolder = true;
    std::vector<std::uint8_t> blob;  // stands in for an archived record
    std::int64_t added = 0;          // the attribute version 2 of the model adds

    StoreValue storeValue(size_t i) const override {
        switch (i) {
            case 0:
                return name;
            case 1:
                return std::int64_t{isFolder};
            case 2:
                return blob.empty() ? StoreValue() : StoreValue(blob);
            default:
                return added;
        }
    }
    void setStoreValue(size_t i, const StoreValue& v) override {
        if (i == 0 && std::holds_alternative<std::string>(v))
            name = std::get<std::string>(v);
        if (i == 1 && std::holds_alternative<std::int64_t>(v))
            isFolder = std::get<std::int64_t>(v);
        if (i == 2 && std::holds_alternative<vk::StoreBytes>(v))
            blob = std::get<vk::StoreBytes>(v);
        if (i == 3 && std::holds_alternative<std::int64_t>(v))
            added = std::get<std::int64_t>(v);
    }
};

struct Track : ManagedObject {
    Track() : ManagedObject("Track") {}
    std::string title;
    double position = 0;
    std::shared_ptr<ManagedObject> folder;

    StoreValue storeValue(size_t i) const override {
        switch (i) {
            case 0:
                return title;
            case 1:
                return position;
            default:
                return folder;
        }
    }
    void setStoreValue(size_t i, const StoreValue& v) override {
        if (i == 0 && std::holds_alternative<std::string>(v))
            title = std::get<std::string>(v);
        if (i == 1 && std::holds_alternative<double>(v))
            position = std::get<double>(v);
        if (i == 2) {
            auto* o = std::get_if<std::shared_ptr<ManagedObject>>(&v);
            folder = o ? *o : nullptr;
        }
    }
};

std::shared_ptr<vk::ManagedObjectModel> makeModel(int version, bool cascade = true) {
    vk::EntityDescription folder{
        "Folder",
        {A::scalar("name", AttributeKind::String, true),
         A::scalar("isFolder", AttributeKind::Boolean, true), A::transformable("blob", "Blob")},
        [] { return std::make_shared<Folder>(); }};
    if (version >= 2) {
        folder.attributes.push_back(A::scalar("added", AttributeKind::Integer64));
    }
    vk::EntityDescription track{
        "Track",
        {A::scalar("title", AttributeKind::String, true),
         A::scalar("position", AttributeKind::Double), A::toOne("folder", "Folder", cascade)},
        [] { return std::make_shared<Track>(); }};
    return std::make_shared<vk::ManagedObjectModel>(std::vector{folder, track}, version);
}

class ObjectContextTest : public ::testing::Test {
  protected:
    std::filesystem::path file = vk::test::makeTempDir("store") / "Test.sqlite";

    std::shared_ptr<ObjectContext> open(int version = 2, bool cascade = true) {
        auto coordinator =
            std::make_shared<vk::PersistentStoreCoordinator>(makeModel(version, cascade));
        std::string error;
        EXPECT_TRUE(coordinator->addSqliteStore(file, &error)) << error;
        auto context = ObjectContext::make(vk::DispatchQueue::main());
        context->setPersistentStoreCoordinator(coordinator);
        return context;
    }

    std::int64_t rawCount(const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        std::int64_t n = -1;
        if (st && sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }

    static std::shared_ptr<Track> addTrack(ObjectContext& c, const std::string& title,
                                           std::shared_ptr<ManagedObject> folder) {
        auto t = std::static_pointer_cast<Track>(c.insertNewObject("Track"));
        t->title = title;
        t->folder = std::move(folder);
        return t;
    }
    static std::shared_ptr<Folder> addFolder(ObjectContext& c, const std::string& name) {
        auto f = std::static_pointer_cast<Folder>(c.insertNewObject("Folder"));
        f->name = name;
        return f;
    }
    static std::vector<std::shared_ptr<ManagedObject>> fetchAll(
        ObjectContext& c, const std::string& e, const std::string& where = "",
        std::vector<std::variant<StoreValue, std::vector<StoreValue>>> args = {}) {
        std::string error;
        auto r = c.fetch(FetchRequest{e, where, std::move(args), std::nullopt}, &error);
        EXPECT_TRUE(r) << error;
        return r.value_or(std::vector<std::shared_ptr<ManagedObject>>{});
    }
};

TEST_F(ObjectContextTest, SavedObjectsComeBackWithTheirValuesAndRelationships) {
    {
        auto c = open();
        auto album = addFolder(*c, "Album");
        album->blob = {1, 2, 3};
        addTrack(*c, "One", album)->position = 1.5;
        addTrack(*c, "Two", album);
        std::string error;
        ASSERT_TRUE(c->save(&error)) << error;
        EXPECT_GT(album->primaryKey(), 0);
    }
    auto c = open();
    auto tracks =
        fetchAll(*c, "Track", "\"title\" IN (?)", {std::vector<StoreValue>{"Two", "One"}});
    ASSERT_EQ(tracks.size(), 2u);
    auto one = std::static_pointer_cast<Track>(tracks[0]);
    auto two = std::static_pointer_cast<Track>(tracks[1]);
    EXPECT_EQ(one->title, "One");
    EXPECT_DOUBLE_EQ(one->position, 1.5);
    ASSERT_TRUE(one->folder);
    EXPECT_EQ(one->folder, two->folder) << "one object per row per context";
    EXPECT_EQ(std::static_pointer_cast<Folder>(one->folder)->blob,
              (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(fetchAll(*c, "Folder")[0], one->folder);
    EXPECT_TRUE(fetchAll(*c, "Track", "\"title\" IN (?)", {std::vector<StoreValue>{}}).empty());
}

TEST_F(ObjectContextTest, OneSaveIsOneTransactionAndChangedAttributesAreDetected) {
    auto c = open();
    auto album = addFolder(*c, "Album");
    addTrack(*c, "One", album);
    std::string error;
    ASSERT_TRUE(c->save(&error)) << error;

    int commits = 0;
    auto store = c->persistentStoreCoordinator()->persistentStores().front();
    sqlite3_commit_hook(
        store->database->handle(),
        [](void* n) {
            ++*static_cast<int*>(n);
            return 0;
        },
        &commits);
    album->blob = {9};  // a replaced record-valued attribute
    album->name = "Renamed";
    addTrack(*c, "Two", album);
    addFolder(*c, "Other");
    ASSERT_TRUE(c->hasChanges());
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(commits, 1);
    EXPECT_FALSE(c->hasChanges());
    ASSERT_TRUE(c->save(&error));
    EXPECT_EQ(commits, 1) << "nothing to write, no transaction";
    sqlite3_commit_hook(store->database->handle(), nullptr, nullptr);

    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name='Renamed' AND hex(blob)='09'"), 1);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track"), 2);
}

TEST_F(ObjectContextTest, QueriesSeePendingInsertionsAndDeletionsButTheFileDoesNot) {
    auto c = open(2, /*cascade=*/false);
    auto album = addFolder(*c, "Album");
    auto one = addTrack(*c, "One", album);
    std::string error;
    ASSERT_TRUE(c->save(&error));

    auto two = addTrack(*c, "Two", album);
    c->deleteObject(one);
    auto tracks = fetchAll(*c, "Track");
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0], two) << "a pending insertion comes back as the same object";
    EXPECT_EQ(two->primaryKey(), 0) << "its provisional key is rolled back";
    auto count = c->count(FetchRequest{"Track",
                                       "\"folder\" IN (SELECT Z_PK FROM Folder WHERE name=?)",
                                       {StoreValue("Album")},
                                       1},
                          &error);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track"), 1) << "nothing reached the file";

    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track WHERE title='Two'"), 1);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track WHERE title='One'"), 0);
}

TEST_F(ObjectContextTest, AFetchedObjectIsWrittenOnlyWhereTheProgramChangedIt) {
    {
        auto c = open();
        addFolder(*c, "Odd");
        addFolder(*c, "Plain");
        std::string error;
        ASSERT_TRUE(c->save(&error)) << error;
    }
    // Values the record cannot hold as they are: NULL in a text it always has, 7 in a Boolean.
    {
        auto c = open();
        auto& db = *c->persistentStoreCoordinator()->persistentStores().front()->database;
        ASSERT_TRUE(db.exec("UPDATE Folder SET name=NULL, isFolder=7 WHERE name='Odd';", nullptr));
    }
    auto c = open();
    auto folders = fetchAll(*c, "Folder");
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_FALSE(c->hasChanges()) << "reading is no change";
    addFolder(*c, "New");
    std::string error;
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name IS NULL AND isFolder=7"), 1);

    auto odd = std::static_pointer_cast<Folder>(
        folders[0]->primaryKey() < folders[1]->primaryKey() ? folders[0] : folders[1]);
    odd->added = 5;
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name IS NULL AND isFolder=7 AND added=5"),
              1)
        << "only the changed attribute is written";
    odd->isFolder = false;
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name IS NULL AND isFolder=0"), 1);
}

TEST_F(ObjectContextTest, ASaveLetsGoOfWhatOnlyTheContextHoldsAndKeepsWhatTheProgramHolds) {
    auto c = open();
    std::weak_ptr<ManagedObject> loose = addFolder(*c, "Loose");
    auto album = addFolder(*c, "Album");
    std::weak_ptr<ManagedObject> albumSeen = album;
    auto kept = addTrack(*c, "Kept", std::move(album));
    std::string error;
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_TRUE(loose.expired()) << "saved, and held by nobody but the context";
    EXPECT_FALSE(albumSeen.expired()) << "the held track's folder stays with it";
    EXPECT_EQ(fetchAll(*c, "Track")[0], kept) << "a held object keeps its identity";

    // A change made through an object the program then drops still reaches the file.
    std::static_pointer_cast<Folder>(fetchAll(*c, "Folder", "name=?", {StoreValue("Loose")})[0])
        ->added = 42;
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name='Loose' AND added=42"), 1);
    auto again = std::static_pointer_cast<Folder>(
        fetchAll(*c, "Folder", "name=?", {StoreValue("Loose")}).at(0));
    EXPECT_EQ(again->added, 42) << "a released row comes back as a new object with its values";

    kept.reset();
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_TRUE(albumSeen.expired()) << "a released track lets go of its folder too";
}

TEST_F(ObjectContextTest, QueriesSeeEveryUnsavedChangeWhileAnotherConnectionWrites) {
    auto c = open(2, /*cascade=*/false);
    auto album = addFolder(*c, "Album");
    auto one = addTrack(*c, "One", album);
    auto two = addTrack(*c, "Two", album);
    std::string error;
    ASSERT_TRUE(c->save(&error));

    // Another connection takes the file's write lock and keeps it.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE; INSERT INTO Track (title) VALUES ('Theirs');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    auto single = addFolder(*c, "Single");
    auto three = addTrack(*c, "Three", single);
    c->deleteObject(one);
    album->name = "Renamed";
    two->position = 9;

    auto tracks = fetchAll(*c, "Track");
    EXPECT_EQ(tracks.size(), 2u);
    EXPECT_TRUE(std::find(tracks.begin(), tracks.end(), three) != tracks.end())
        << "a pending insertion comes back as the same object";
    EXPECT_TRUE(std::find(tracks.begin(), tracks.end(), one) == tracks.end());
    EXPECT_EQ(three->primaryKey(), 0);
    EXPECT_EQ(fetchAll(*c, "Folder", "\"name\" = ?", {StoreValue("Renamed")}),
              std::vector<std::shared_ptr<ManagedObject>>{album});
    EXPECT_TRUE(fetchAll(*c, "Folder", "\"name\" = ?", {StoreValue("Album")}).empty());
    EXPECT_EQ(fetchAll(*c, "Track", "\"position\" > 5"),
              std::vector<std::shared_ptr<ManagedObject>>{two});
    // Relationships between pending objects, through a subquery.
    EXPECT_EQ(c->count(FetchRequest{"Track",
                                    "\"folder\" IN (SELECT Z_PK FROM Folder WHERE name=?)",
                                    {StoreValue("Single")},
                                    std::nullopt},
                       &error),
              1)
        << error;
    EXPECT_EQ(c->count(FetchRequest("Track").where("folder.name", "Renamed"), &error), 1) << error;
    auto names = c->fetchDictionaries(FetchRequest("Folder"), {"name"}, true, &error);
    ASSERT_TRUE(names) << error;
    std::vector<std::string> seen;
    for (const auto& row : *names) {
        seen.push_back(std::get<std::string>(row.at("name")));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"Renamed", "Single"}));

    sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track"), 3) << "ours are not in the file";
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name='Album'"), 1);
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track WHERE title IN ('Two','Three','Theirs')"), 3);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track"), 3);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name='Renamed'"), 1);
}

TEST_F(ObjectContextTest, ListArgumentsOfAnyLength) {
    auto c = open();
    addFolder(*c, "Wanted");
    addFolder(*c, "Other");
    std::string error;
    ASSERT_TRUE(c->save(&error));
    // More values than one statement of this SQLite binds.
    const int limit = sqlite3_limit(
        c->persistentStoreCoordinator()->persistentStores().front()->database->handle(),
        SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    std::vector<StoreValue> names;
    for (int i = 0; i <= limit; ++i) {
        names.emplace_back("name " + std::to_string(i));
    }
    names.emplace_back("Wanted");
    names.emplace_back();  // null matches nothing
    auto found = fetchAll(*c, "Folder", "\"name\" IN (?)", {names});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(std::static_pointer_cast<Folder>(found[0])->name, "Wanted");
    EXPECT_EQ(c->count(FetchRequest("Folder").whereIn("name", names), &error), 1) << error;
    EXPECT_EQ(c->count(FetchRequest("Folder").whereIn("name", {}), &error), 0) << error;
    EXPECT_FALSE(c->count(FetchRequest("Folder").whereIn("name", {vk::StoreBytes{1}}), &error));
}

TEST_F(ObjectContextTest, OpeningAnUpToDateFileOnlyReadsIt) {
    open();
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
    auto c = open();
    EXPECT_TRUE(c->persistentStoreCoordinator()->hasStores()) << "opened under another's lock";
    EXPECT_TRUE(fetchAll(*c, "Folder").empty());
    sqlite3_exec(writer, "UPDATE Z_METADATA SET value=9 WHERE key='version'; COMMIT;", nullptr,
                 nullptr, nullptr);
    sqlite3_close(writer);
    open(2);
    EXPECT_EQ(rawCount("SELECT value FROM Z_METADATA WHERE key='version'"), 9)
        << "an older model never lowers the file's version";
}

TEST_F(ObjectContextTest, CascadeDeletesTheDestinationAndOtherLinksAreNulled) {
    auto c = open();
    auto album = addFolder(*c, "Album");
    auto one = addTrack(*c, "One", album);
    auto two = addTrack(*c, "Two", album);
    std::string error;
    ASSERT_TRUE(c->save(&error));
    c->deleteObject(one);
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder"), 0);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Track WHERE folder IS NULL"), 1);
    EXPECT_TRUE(album->isDeleted());
    EXPECT_FALSE(album->managedObjectContext());
}

TEST_F(ObjectContextTest, AFailedSaveKeepsTheChangesForTheNextTry) {
    auto c = open();
    addFolder(*c, "Kept");
    auto store = c->persistentStoreCoordinator()->persistentStores().front();
    std::string error;
    ASSERT_TRUE(store->database->exec("PRAGMA query_only=1;", &error));
    EXPECT_FALSE(c->save(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(c->hasChanges());
    ASSERT_TRUE(store->database->exec("PRAGMA query_only=0;", &error));
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder WHERE name='Kept'"), 1);
}

TEST_F(ObjectContextTest, RefreshAndResetDropUnsavedState) {
    auto c = open();
    auto album = addFolder(*c, "Album");
    std::string error;
    ASSERT_TRUE(c->save(&error));
    album->name = "Unsaved";
    c->refresh(album);
    EXPECT_EQ(album->name, "Album");
    EXPECT_FALSE(c->hasChanges());

    auto pending = addFolder(*c, "Pending");
    c->reset();
    EXPECT_EQ(c->registeredCount(), 0u);
    EXPECT_FALSE(pending->managedObjectContext());
    EXPECT_FALSE(c->hasChanges());
    auto again = fetchAll(*c, "Folder");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NE(again[0], album) << "after reset a fetch makes new objects";
}

TEST_F(ObjectContextTest, AnOlderFileGainsTheColumnsOfAddedAttributes) {
    {
        auto c = open(1);
        addFolder(*c, "Old");
        std::string error;
        ASSERT_TRUE(c->save(&error)) << error;
    }
    auto c = open(2);
    auto folders = fetchAll(*c, "Folder");
    ASSERT_EQ(folders.size(), 1u);
    auto old = std::static_pointer_cast<Folder>(folders[0]);
    EXPECT_EQ(old->added, 0);
    old->added = 42;
    std::string error;
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT added FROM Folder"), 42);
    EXPECT_EQ(rawCount("SELECT value FROM Z_METADATA WHERE key='version'"), 2);
}

TEST_F(ObjectContextTest, MigratingAStoreCopiesItAndLeavesTheOldFile) {
    auto c = open();
    addFolder(*c, "Moved");
    std::string error;
    ASSERT_TRUE(c->save(&error));
    auto coordinator = c->persistentStoreCoordinator();
    auto target = file.parent_path() / "group" / "Test.sqlite";
    auto moved = coordinator->migrateStore(coordinator->persistentStores().front(), target, &error);
    ASSERT_TRUE(moved) << error;
    EXPECT_EQ(coordinator->persistentStores().size(), 1u);
    EXPECT_EQ(coordinator->persistentStores().front()->location, target);
    EXPECT_TRUE(std::filesystem::exists(file));
    addFolder(*c, "AfterMove");
    ASSERT_TRUE(c->save(&error)) << error;
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder"), 1) << "the old file is left as it was";
    std::swap(file, target);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder"), 2);
}

TEST_F(ObjectContextTest, WithoutAStoreQueriesAndSavesFail) {
    auto coordinator = std::make_shared<vk::PersistentStoreCoordinator>(makeModel(2));
    auto c = ObjectContext::make(vk::DispatchQueue::main());
    c->setPersistentStoreCoordinator(coordinator);
    EXPECT_TRUE(c->insertNewObject("Folder"));
    EXPECT_FALSE(c->insertNewObject("Nope"));
    std::string error;
    EXPECT_FALSE(c->fetch(FetchRequest{"Folder", "", {}, std::nullopt}, &error));
    EXPECT_FALSE(c->save(&error));
    EXPECT_FALSE(error.empty());
}

TEST_F(ObjectContextTest, AFileThatIsNotADatabaseIsRefusedWithAReason) {
    std::filesystem::create_directories(file.parent_path());
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs("this is not a database, just some text that is long enough to matter", f);
    std::fclose(f);
    auto coordinator = std::make_shared<vk::PersistentStoreCoordinator>(makeModel(2));
    std::string error;
    EXPECT_FALSE(coordinator->addSqliteStore(file, &error));
    EXPECT_NE(error.find("not a database"), std::string::npos) << error;
    EXPECT_FALSE(coordinator->hasStores());
}

TEST_F(ObjectContextTest, PerformAndWaitFromAnotherThreadRunsOnTheContextQueue) {
    auto c = open();
    bool onQueue = false;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        c->performAndWait([&] {
            onQueue = vk::DispatchQueue::main()->isCurrent();
            addFolder(*c, "FromWorker");
            std::string error;
            c->save(&error);
        });
        done = true;
    });
    ASSERT_TRUE(vk::test::pumpMainQueueUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(rawCount("SELECT count(*) FROM Folder"), 1);
}

}  // namespace
