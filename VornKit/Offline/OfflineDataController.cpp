#include "VornKit/Offline/OfflineDataController.h"

#include <algorithm>
#include <map>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/ValueTransformer.h"
#include "VornKit/Offline/OfflineStoreModel.h"
#include "VornKit/Offline/StoreDecoding.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/FatalError.h"
#include "VornKit/Platform/Runtime/Immortal.h"
#include "VornKit/Platform/Runtime/Log.h"
#include "VornKit/Platform/Store/StoreMoveLock.h"

namespace vk {

namespace {

constexpr const char* kSourcePath = "VornKit/OfflineDataController";

const Logger& logger() {
    static const Immortal<Logger> log("OfflineDataController");
    return *log;
}

std::vector<StoreValue> downloadedStatuses() {
    return {StoreValue(std::int64_t{static_cast<std::int16_t>(SyncJobStatus::Completed)}),
            StoreValue(std::int64_t{static_cast<std::int16_t>(SyncJobStatus::CompletedWithError)})};
}

std::vector<StoreValue> statusValues(const std::vector<SyncJobStatus>& statuses) {
    std::vector<StoreValue> values;
    for (auto s : statuses) {
        values.emplace_back(std::int64_t{static_cast<std::int16_t>(s)});
    }
    return values;
}

std::vector<StoreValue> textValues(const std::vector<std::string>& texts) {
    return std::vector<StoreValue>(texts.begin(), texts.end());
}

/// The server's local items.
FetchRequest localItems(const std::string& serverId) {
    return LocalItem::fetchRequest().where("serverId", serverId);
}

void installStoreFactory() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerModelValueTransformers();
        BaseItemDto::setStoreObjectFactory([](const std::any& value) {
            JsonDecoder probe;
            probe.userInfo[BaseItemDto::kContextKey] = value;
            return insertForDecoding<BaseItemDto>(probe, BaseItemDto::kEntityName);
        });
    });
}

}  // namespace

std::shared_ptr<OfflineDataController> OfflineDataController::sharedInstance() {
    static const Immortal<std::shared_ptr<OfflineDataController>> instance(
        std::make_shared<OfflineDataController>());
    return *instance;
}

OfflineDataController::OfflineDataController(std::optional<Locations> locations,
                                             std::shared_ptr<DispatchQueue> queue)
    : locations_(std::move(locations)), queue_(std::move(queue)) {}

std::shared_ptr<ObjectContext> OfflineDataController::managedObjectContext() {
    std::call_once(opened_, [this] { openStore(); });
    return context_;
}

void OfflineDataController::openStore() {
    installStoreFactory();
    const auto group =
        locations_ ? locations_->groupContainer : Directories::applicationGroupContainer();
    if (!group) {
        fatalError("Error getting group URL for persistent store", kSourcePath);
    }
    const auto sharedLocation = *group / kStoreFileName;
    std::error_code ec;
    const bool sharedExists = std::filesystem::exists(sharedLocation, ec);

    auto coordinator = std::make_shared<PersistentStoreCoordinator>(OfflineStoreModel::shared());
    context_ = ObjectContext::make(queue_);
    context_->setPersistentStoreCoordinator(coordinator);

    std::string error;
    if (sharedExists) {
        if (!coordinator->addSqliteStore(sharedLocation, &error)) {
            logger().log("Error loading shared store: " + error);
        }
        return;
    }
    // The one-time move runs under a lock beside the shared store: when the application and an
    // extension start together, the second waits and then opens the store the first moved.
    std::filesystem::create_directories(*group, ec);
    StoreMoveLock lock(sharedLocation);
    if (!lock.held()) {
        logger().log("Error locking the shared store for its move: " + lock.error());
    }
    if (std::filesystem::exists(sharedLocation, ec)) {
        if (!coordinator->addSqliteStore(sharedLocation, &error)) {
            logger().log("Error loading shared store: " + error);
        }
        return;
    }
    const auto documents = locations_ ? locations_->documents : Directories::documents();
    if (!documents) {
        fatalError("Unable to resolve document directory", kSourcePath);
    }
    const auto oldLocation = *documents / kStoreFileName;
    if (!coordinator->addSqliteStore(oldLocation, &error)) {
        logger().log("Error loading old store: " + error);
    }
    if (auto old = coordinator->store(oldLocation)) {
        if (!coordinator->migrateStore(old, sharedLocation, &error)) {
            logger().log("Error migrating store from " + oldLocation.string() + " to " +
                         sharedLocation.string() + ": " + error);
        }
    }
}

bool OfflineDataController::hasStore() const {
    auto coordinator = context_ ? context_->persistentStoreCoordinator() : nullptr;
    return coordinator && coordinator->hasStores();
}

std::pair<JsonDecoder, std::shared_ptr<ObjectContext>>
OfflineDataController::getManagedObjectDecoder() {
    auto context = managedObjectContext();
    JsonDecoder decoder;
    decoder.userInfo[BaseItemDto::kContextKey] = context;
    return {std::move(decoder), context};
}

void OfflineDataController::perform(Block block) {
    managedObjectContext()->perform(std::move(block));
}

void OfflineDataController::performAndWait(const Block& block) {
    managedObjectContext()->performAndWait(block);
}

void OfflineDataController::reset() {
    auto context = managedObjectContext();
    context->performAndWait([&] { context->reset(); });
}

void OfflineDataController::resetObject(std::shared_ptr<ManagedObject> object) {
    auto context = managedObjectContext();
    context->perform([context, object = std::move(object)] { context->refresh(object); });
}

void OfflineDataController::deleteObject(const std::shared_ptr<ManagedObject>& object) {
    auto context = managedObjectContext();
    context->performAndWait([&] { context->deleteObject(object); });
}

void OfflineDataController::insert(const std::shared_ptr<ManagedObject>& object) {
    auto context = managedObjectContext();
    context->performAndWait([&] { context->insert(object); });
}

void OfflineDataController::saveChanges() {
    auto context = managedObjectContext();
    if (!hasStore()) {
        logger().log(
            "Failed to save changes. This NSPersistentStoreCoordinator has no persistent stores.");
        return;
    }
    context->performAndWait([&] {
        std::string error;
        if (!context->save(&error)) {
            logger().log("Error saving context " + error);
        }
    });
}

std::shared_ptr<OfflineAction> OfflineDataController::insertNewUserAction() {
    auto context = managedObjectContext();
    std::shared_ptr<OfflineAction> action;
    context->performAndWait([&] {
        action = std::dynamic_pointer_cast<OfflineAction>(
            context->insertNewObject(OfflineActionEntityName));
    });
    if (!action) {
        fatalError("could not insert a new OfflineAction", kSourcePath);
    }
    return action;
}

std::shared_ptr<LocalItem> OfflineDataController::insertNewLocalItem() {
    auto context = managedObjectContext();
    std::shared_ptr<LocalItem> item;
    context->performAndWait([&] {
        item = std::dynamic_pointer_cast<LocalItem>(context->insertNewObject(LocalItemEntityName));
    });
    if (!item) {
        fatalError("could not insert a new LocalItem", kSourcePath);
    }
    return item;
}

template <class T>
std::vector<std::shared_ptr<T>> OfflineDataController::fetchObjects(const FetchRequest& request) {
    auto context = managedObjectContext();
    std::vector<std::shared_ptr<T>> result;
    context->performAndWait([&] {
        auto objects = context->fetch(request, nullptr);
        if (!objects) {
            return;
        }
        for (auto& o : *objects) {
            if (auto typed = std::dynamic_pointer_cast<T>(o)) {
                result.push_back(std::move(typed));
            }
        }
    });
    return result;
}

std::optional<std::vector<StoreRow>> OfflineDataController::fetchRows(
    const FetchRequest& request, const std::vector<std::string>& properties, bool distinct) {
    auto context = managedObjectContext();
    std::optional<std::vector<StoreRow>> rows;
    context->performAndWait(
        [&] { rows = context->fetchDictionaries(request, properties, distinct, nullptr); });
    return rows;
}

std::vector<std::shared_ptr<OfflineAction>> OfflineDataController::getAllOfflineActions() {
    return fetchObjects<OfflineAction>(OfflineAction::fetchRequest());
}

void OfflineDataController::deleteOfflineActions(
    const std::vector<std::shared_ptr<OfflineAction>>& actions) {
    auto context = managedObjectContext();
    context->performAndWait([&] {
        for (const auto& action : actions) {
            context->deleteObject(action);
        }
        if (!hasStore()) {
            logger().log(
                "Failed to deleteOfflineActions. This NSPersistentStoreCoordinator has no "
                "persistent stores.");
            return;
        }
        context->save(nullptr);
    });
}

bool OfflineDataController::localItemExists(const std::string& serverId,
                                            const std::string& itemId) {
    auto context = managedObjectContext();
    std::optional<std::int64_t> count;
    context->performAndWait([&] {
        count = context->count(localItems(serverId).where("itemId", itemId).limit(1), nullptr);
    });
    return count.value_or(0) != 0;
}

std::vector<std::shared_ptr<LocalItem>> OfflineDataController::getAllLocalItemsForServer(
    const std::string& serverId) {
    return fetchObjects<LocalItem>(localItems(serverId).whereIn("status", downloadedStatuses()));
}

std::vector<std::shared_ptr<LocalItem>> OfflineDataController::getLocalItemsByIds(
    const std::string& serverId, const std::vector<std::string>& ids) {
    std::map<std::string, size_t> position;
    for (size_t i = 0; i < ids.size(); ++i) {
        position[ids[i]] = i;  // a later duplicate wins
    }
    auto items = fetchObjects<LocalItem>(localItems(serverId).whereIn("itemId", textValues(ids)));
    std::stable_sort(items.begin(), items.end(), [&](const auto& a, const auto& b) {
        return position[a->itemId] < position[b->itemId];
    });
    return items;
}

std::vector<std::shared_ptr<LocalItem>> OfflineDataController::getLocalItemsByType(
    const std::string& serverId, const std::vector<std::string>& types) {
    return fetchObjects<LocalItem>(localItems(serverId)
                                       .whereIn("item.type", textValues(types))
                                       .whereIn("status", downloadedStatuses()));
}

std::vector<std::string> OfflineDataController::getDistinctLocalItemTypes(
    const std::string& serverId) {
    std::vector<std::string> types;
    auto rows = fetchRows(BaseItemDto::fetchRequest().where("serverId", serverId), {"type"}, true);
    for (const auto& row : rows.value_or(std::vector<StoreRow>{})) {
        if (const auto* text = std::get_if<std::string>(&row.at("type"))) {
            types.push_back(*text);
        }
    }
    return types;
}

std::shared_ptr<LocalItem> OfflineDataController::getDownloadedItemWith(const std::string& serverId,
                                                                        const std::string& itemId) {
    auto items = fetchObjects<LocalItem>(
        localItems(serverId).where("itemId", itemId).whereIn("status", downloadedStatuses()));
    return items.empty() ? nullptr : items.front();
}

std::shared_ptr<LocalItem> OfflineDataController::getLocalItemWith(const std::string& serverId,
                                                                   const std::string& itemId) {
    auto items = fetchObjects<LocalItem>(localItems(serverId).where("itemId", itemId));
    return items.empty() ? nullptr : items.front();
}

std::shared_ptr<LocalItem> OfflineDataController::getLocalItemWith(const std::string& path) {
    auto items = fetchObjects<LocalItem>(LocalItem::fetchRequest().where("localPath", path));
    return items.empty() ? nullptr : items.front();
}

std::optional<SyncJobStatus> OfflineDataController::getSyncStatusForLibraryItemId(
    const std::string& itemId, const std::string& serverId) {
    auto rows =
        fetchRows(LocalItem::fetchRequest().where("itemId", itemId).where("serverId", serverId),
                  {"status"}, false);
    if (!rows || rows->empty()) {
        return std::nullopt;
    }
    const auto* raw = std::get_if<std::int64_t>(&rows->front().at("status"));
    if (raw == nullptr || *raw < 0 || *raw > 6) {
        return std::nullopt;
    }
    return syncJobStatusFromRaw(*raw);
}

std::vector<std::string> OfflineDataController::getItemIdsBySyncStatus(
    const std::string& serverId, const std::vector<SyncJobStatus>& status) {
    return itemIdsOf(
        localItems(serverId).whereIn("status", statusValues(status)).whereNotNull("localPath"));
}

std::vector<std::string> OfflineDataController::getItemIds(const std::string& serverId) {
    return itemIdsOf(localItems(serverId));
}

std::vector<std::string> OfflineDataController::itemIdsOf(const FetchRequest& localItemRequest) {
    std::vector<std::string> ids;
    auto rows = fetchRows(localItemRequest, {"itemId"}, false);
    for (const auto& row : rows.value_or(std::vector<StoreRow>{})) {
        if (const auto* text = std::get_if<std::string>(&row.at("itemId"))) {
            ids.push_back(*text);
        }
    }
    return ids;
}

std::vector<std::shared_ptr<LocalItem>> OfflineDataController::getItemsBySyncStatus(
    const std::string& serverId, const std::vector<SyncJobStatus>& status) {
    return fetchObjects<LocalItem>(localItems(serverId).whereIn("status", statusValues(status)));
}

std::optional<bool> OfflineDataController::itemHasChildren(const std::string& serverId,
                                                           const std::string& itemId,
                                                           std::string* error) {
    auto context = managedObjectContext();
    std::optional<std::int64_t> count;
    std::string failure;
    context->performAndWait([&] {
        count = context->count(
            FetchRequest(LocalItemEntityName,
                         // The unary plus keeps SQLite off the serverId index: the related-item
                         // lookup is the selective one.
                         "+\"serverId\" = ? AND \"item\" IN (SELECT \"Z_PK\" FROM \"BaseItemDto\" "
                         "WHERE \"parentId\" = ? OR \"seasonId\" = ? OR \"seriesId\" = ? OR "
                         "\"albumId\" = ?)",
                         {StoreValue(serverId), StoreValue(itemId), StoreValue(itemId),
                          StoreValue(itemId), StoreValue(itemId)},
                         1),
            &failure);
    });
    if (!count) {
        if (error) {
            *error = failure;
        }
        return std::nullopt;
    }
    return *count != 0;
}

void OfflineDataController::deleteEmptyContainers(const std::string& serverId) {
    auto context = managedObjectContext();
    context->performAndWait(
        [&] { context->withPendingView([&] { deleteEmptyContainersInView(serverId); }); });
}

void OfflineDataController::deleteEmptyContainersInView(const std::string& serverId) {
    auto context = managedObjectContext();
    {
        auto candidates =
            context->fetch(localItems(serverId).where("item.isFolder", std::int64_t{1}), nullptr);
        if (!candidates) {
            return;
        }
        for (const auto& object : *candidates) {
            auto local = std::dynamic_pointer_cast<LocalItem>(object);
            if (!local) {
                continue;
            }
            std::string error;
            auto hasChildren = itemHasChildren(serverId, local->itemId, &error);
            if (!hasChildren) {
                logger().log("Error finding empty container item " + error);
                continue;
            }
            if (*hasChildren) {
                continue;
            }
            context->deleteObject(local);
            const bool named = local->item && local->item->Name;
            logger().log("deleting empty container item " +
                         (named ? local->item->Name.str() : local->itemId));
        }
    }
}

std::shared_ptr<LocalItem> OfflineDataController::deleteLocalItem(const std::string& serverId,
                                                                  const std::string& itemId) {
    auto context = managedObjectContext();
    std::shared_ptr<LocalItem> deleted;
    context->performAndWait([&] {
        auto found = context->fetch(localItems(serverId).where("itemId", itemId), nullptr);
        if (found && !found->empty()) {
            deleted = std::dynamic_pointer_cast<LocalItem>(found->front());
            context->deleteObject(found->front());
        }
    });
    deleteEmptyContainers(serverId);
    return deleted;
}

void OfflineDataController::deleteLocalItem(const std::shared_ptr<LocalItem>& item) {
    deleteObject(item);
}

}  // namespace vk
