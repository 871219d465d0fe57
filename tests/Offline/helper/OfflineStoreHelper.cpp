// A second process for the offline store's tests: each command does one thing a separate
// application or extension would do to the shared store, then exits.
//
//   first-open GROUP DOCUMENTS ID   waits for a byte on stdin, opens the store (the first start of
//                                   a process), prints "opened", waits for another byte, saves a
//                                   downloaded local item ID of server "s1", prints "saved"
//   save-records GROUP DOCUMENTS    reads an item's JSON and an offline action's JSON (one line
//                                   each) from stdin and saves them as local item "rt" of server
//                                   "s1" and one action
//   load-records GROUP DOCUMENTS    prints the saved item record and every action as JSON lines
//   hold-write-lock FILE            takes the store file's write lock with an unsaved row in it,
//                                   prints "locked", holds it until stdin closes, then rolls back
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace {

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

bool waitForByte() {
    char c = 0;
    return ::read(STDIN_FILENO, &c, 1) == 1;
}

vk::OfflineDataController::Locations where(char** argv) {
    return vk::OfflineDataController::Locations{argv[2], argv[3]};
}

int firstOpen(char** argv) {
    if (!waitForByte()) {
        return 2;
    }
    vk::OfflineDataController store(where(argv));
    store.managedObjectContext();
    say("opened");
    if (!waitForByte()) {
        return 2;
    }
    auto [decoder, context] = store.getManagedObjectDecoder();
    const std::string id = argv[4];
    auto item = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(R"({"Id":")" + id +
                                                                 R"(","ServerId":"s1"})");
    auto local = store.insertNewLocalItem();
    local->itemId = id;
    local->serverId = "s1";
    local->setSyncJobStatus(vk::SyncJobStatus::Completed);
    local->item = item ? *item : nullptr;
    store.saveChanges();
    say("saved");
    return 0;
}

int saveRecords(char** argv) {
    std::string itemJson;
    std::string actionJson;
    if (!std::getline(std::cin, itemJson) || !std::getline(std::cin, actionJson)) {
        return 2;
    }
    vk::OfflineDataController store(where(argv));
    auto [decoder, context] = store.getManagedObjectDecoder();
    auto item = decoder.decode<std::shared_ptr<vk::BaseItemDto>>(itemJson);
    auto action = decoder.decode<std::shared_ptr<vk::OfflineAction>>(actionJson);
    if (!item || !action) {
        std::fprintf(stderr, "decode failed\n");
        return 1;
    }
    auto local = store.insertNewLocalItem();
    local->itemId = "rt";
    local->serverId = "s1";
    local->setSyncJobStatus(vk::SyncJobStatus::Completed);
    local->item = *item;
    store.saveChanges();
    return 0;
}

int loadRecords(char** argv) {
    vk::OfflineDataController store(where(argv));
    auto local = store.getLocalItemWith("s1", "rt");
    if (!local || !local->item) {
        return 1;
    }
    vk::JsonEncoder encoder;
    auto item = encoder.encode(local->item);
    std::printf("%s\n", item ? item->c_str() : "encode failed");
    for (const auto& action : store.getAllOfflineActions()) {
        auto json = encoder.encode(action);
        std::printf("%s\n", json ? json->c_str() : "encode failed");
    }
    return 0;
}

int holdWriteLock(const char* file) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file, &db) != SQLITE_OK ||
        sqlite3_exec(db,
                     "BEGIN IMMEDIATE; INSERT INTO \"OfflineAction\" (\"positionTicks\", \"type\") "
                     "VALUES (1, 0);",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", sqlite3_errmsg(db));
        return 1;
    }
    say("locked");
    while (waitForByte()) {
    }
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.tests.helper";
    vk::Bundle::setMain(bundle);
    vk::Log::setSink(std::make_shared<vk::CaptureLogSink>());
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "first-open" && argc == 5) {
        return firstOpen(argv);
    }
    if (command == "save-records" && argc == 4) {
        return saveRecords(argv);
    }
    if (command == "load-records" && argc == 4) {
        return loadRecords(argv);
    }
    if (command == "hold-write-lock" && argc == 3) {
        return holdWriteLock(argv[2]);
    }
    std::fprintf(stderr, "usage: see the comment at the top of OfflineStoreHelper.cpp\n");
    return 2;
}
