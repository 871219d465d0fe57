// ObjectContext: the context's registered objects (one object per stored row), their life cycle
// (insert, delete, refresh, reset) and the objects made from fetched rows. Queries are in
// ObjectContextQueries.cpp, saving in ObjectContextSave.cpp.
#include "VornKit/Platform/Store/ObjectContext.h"

#include <algorithm>

#include "VornKit/Platform/Coding/JsonWriter.h"

namespace vk {

namespace {

std::string keyList(const std::vector<std::int64_t>& keys) {
    std::string json;
    JsonWriter writer(json);
    writer.beginArray();
    for (auto k : keys) {
        writer.integer(k);
    }
    writer.endArray();
    return json;
}

}  // namespace

std::shared_ptr<ObjectContext> ObjectContext::make(std::shared_ptr<DispatchQueue> queue) {
    return std::shared_ptr<ObjectContext>(new ObjectContext(std::move(queue)));
}

void ObjectContext::setPersistentStoreCoordinator(
    std::shared_ptr<PersistentStoreCoordinator> coordinator) {
    std::lock_guard lock(coordinatorMutex_);
    coordinator_ = std::move(coordinator);
}

std::shared_ptr<PersistentStoreCoordinator> ObjectContext::persistentStoreCoordinator() const {
    std::lock_guard lock(coordinatorMutex_);
    return coordinator_;
}

void ObjectContext::performAndWait(const Block& block) {
    queue_->sync(block);
}

void ObjectContext::perform(Block block) {
    queue_->async(std::move(block));
}

std::shared_ptr<PersistentStore> ObjectContext::activeStore(std::string* error) const {
    auto coordinator = persistentStoreCoordinator();
    auto stores = coordinator ? coordinator->persistentStores()
                              : std::vector<std::shared_ptr<PersistentStore>>{};
    if (stores.empty()) {
        setStoreError(error, "the context has no persistent store");
        return nullptr;
    }
    return stores.front();
}

const EntityTable* ObjectContext::table(const std::string& entityName) const {
    if (auto it = tables_.find(entityName); it != tables_.end()) {
        return &it->second;
    }
    auto coordinator = persistentStoreCoordinator();
    const EntityDescription* entity =
        coordinator ? coordinator->model()->entity(entityName) : nullptr;
    if (entity == nullptr) {
        return nullptr;
    }
    return &tables_.emplace(entityName, EntityTable(*coordinator->model(), *entity)).first->second;
}

std::shared_ptr<ManagedObject> ObjectContext::registered(const std::string& entity,
                                                         std::int64_t key) const {
    auto e = registered_.find(entity);
    if (e == registered_.end()) {
        return nullptr;
    }
    auto o = e->second.find(key);
    return o == e->second.end() ? nullptr : o->second;
}

size_t ObjectContext::registeredCount() const {
    size_t n = inserted_.size();
    for (const auto& [_, objects] : registered_) {
        n += objects.size();
    }
    return n;
}

std::vector<StoreValue> ObjectContext::currentValues(const ManagedObject& object) const {
    const auto& entity = table(object.entityName())->entity();
    std::vector<StoreValue> values;
    values.reserve(entity.attributes.size());
    for (size_t i = 0; i < entity.attributes.size(); ++i) {
        values.push_back(object.storeValue(i));
    }
    return values;
}

// ---- life cycle of registered objects ----------------------------------------------------------

std::shared_ptr<ManagedObject> ObjectContext::insertNewObject(const std::string& entityName) {
    const EntityTable* t = table(entityName);
    if (t == nullptr || !t->entity().make) {
        return nullptr;
    }
    auto object = t->entity().make();
    if (!object || !insert(object)) {
        return nullptr;
    }
    return object;
}

bool ObjectContext::insert(const std::shared_ptr<ManagedObject>& object) {
    if (!object) {
        return false;
    }
    auto owner = object->context_.lock();
    if (owner.get() == this) {
        return true;
    }
    if (owner || table(object->entityName()) == nullptr) {
        return false;
    }
    object->context_ = weak_from_this();
    object->inserted_ = true;
    object->deleted_ = false;
    object->primaryKey_ = 0;
    object->savedValues_.clear();
    object->fetchedForms_.clear();
    inserted_.push_back(object);
    return true;
}

void ObjectContext::deleteObject(const std::shared_ptr<ManagedObject>& object) {
    if (!object || object->context_.lock().get() != this || object->deleted_) {
        return;
    }
    const EntityTable* t = table(object->entityName());
    if (auto store = viewDepth_ > 0 ? activeStore(nullptr) : nullptr) {
        view_.remove(*store->database, t->entity(), *object, nullptr);
    }
    auto it = std::find(inserted_.begin(), inserted_.end(), object);
    if (it != inserted_.end()) {
        inserted_.erase(it);
        object->inserted_ = false;
        object->context_.reset();
    } else {
        object->deleted_ = true;
        deleted_.push_back(object);
    }
    // Cascading relationships take their destinations along.
    for (size_t i : t->cascades()) {
        auto value = object->storeValue(i);
        if (auto* dest = std::get_if<std::shared_ptr<ManagedObject>>(&value); dest && *dest) {
            deleteObject(*dest);
        }
    }
}

void ObjectContext::refresh(const std::shared_ptr<ManagedObject>& object) {
    if (!object || object->context_.lock().get() != this || object->primaryKey_ == 0) {
        return;
    }
    auto store = activeStore(nullptr);
    if (!store) {
        return;
    }
    const EntityTable* t = table(object->entityName());
    const auto& entity = t->entity();
    auto& db = *store->database;
    auto* select = db.prepare(
        "SELECT " + t->selectColumns() + " FROM " + mainTable(entity.name) + " WHERE \"Z_PK\"=?;",
        nullptr);
    if (!select) {
        return;
    }
    sqlite3_bind_int64(select->get(), 1, object->primaryKey_);
    if (sqlite3_step(select->get()) != SQLITE_ROW) {
        select->reset();
        return;
    }
    std::vector<StoreValue> values;
    std::vector<std::pair<ManagedObject*, size_t>> links;
    std::vector<std::int64_t> linkKeys;
    for (size_t i = 0; i < entity.attributes.size(); ++i) {
        auto value = readStoreValue(select->get(), static_cast<int>(i + 1));
        if (entity.attributes[i].kind == AttributeKind::ToOne) {
            if (auto* key = std::get_if<std::int64_t>(&value)) {
                links.emplace_back(object.get(), i);
                linkKeys.push_back(*key);
            } else {
                object->setStoreValue(i, StoreValue());
            }
            values.emplace_back();
            continue;
        }
        object->setStoreValue(i, value);
        values.push_back(std::move(value));
    }
    select->reset();
    object->savedValues_ = std::move(values);
    object->fetchedForms_.clear();
    resolveLinks(db, links, linkKeys, nullptr);
}

void ObjectContext::reset() {
    for (auto& [_, objects] : registered_) {
        for (auto& [key, object] : objects) {
            object->context_.reset();
            object->deleted_ = false;
            object->fetchedForms_.clear();
        }
    }
    for (auto& object : inserted_) {
        object->context_.reset();
        object->inserted_ = false;
    }
    registered_.clear();
    inserted_.clear();
    deleted_.clear();
}

// ---- rows into objects -------------------------------------------------------------------------

std::shared_ptr<ManagedObject> ObjectContext::objectForRow(
    const EntityDescription& entity, SqliteStatement& row,
    std::vector<std::pair<ManagedObject*, size_t>>& links, std::vector<std::int64_t>& linkKeys) {
    const std::int64_t key = sqlite3_column_int64(row.get(), 0);
    if (key < 0) {
        auto* pending = view_.insertion(key);
        return pending ? pending->shared_from_this() : nullptr;
    }
    if (auto existing = registered(entity.name, key)) {
        return existing;
    }
    auto values = readStoreValues(row.get(), 1, entity.attributes.size());
    auto object = entity.make();
    object->primaryKey_ = key;
    object->context_ = weak_from_this();
    for (size_t i = 0; i < entity.attributes.size(); ++i) {
        if (entity.attributes[i].kind == AttributeKind::ToOne) {
            if (auto* destKey = std::get_if<std::int64_t>(&values[i])) {
                links.emplace_back(object.get(), i);
                linkKeys.push_back(*destKey);
            }
            values[i] = StoreValue();
            continue;
        }
        object->setStoreValue(i, values[i]);
    }
    object->savedValues_ = std::move(values);
    registered_[entity.name][key] = object;
    return object;
}

bool ObjectContext::resolveLinks(SqliteDatabase& db,
                                 std::vector<std::pair<ManagedObject*, size_t>>& links,
                                 std::vector<std::int64_t>& linkKeys, std::string* error) {
    while (!links.empty()) {
        auto batch = std::move(links);
        auto keys = std::move(linkKeys);
        links.clear();
        linkKeys.clear();
        // Load every destination row not yet registered, one query per entity.
        std::map<std::string, std::vector<std::int64_t>> missing;
        for (size_t n = 0; n < batch.size(); ++n) {
            const auto& entity = table(batch[n].first->entityName())->entity();
            const auto& dest = entity.attributes[batch[n].second].destinationEntity;
            if (!registered(dest, keys[n])) {
                missing[dest].push_back(keys[n]);
            }
        }
        for (auto& [destName, destKeys] : missing) {
            const EntityTable* dest = table(destName);
            if (dest == nullptr) {
                continue;
            }
            std::sort(destKeys.begin(), destKeys.end());
            destKeys.erase(std::unique(destKeys.begin(), destKeys.end()), destKeys.end());
            auto* select =
                db.prepare("SELECT " + dest->selectColumns() + " FROM " + mainTable(destName) +
                               " WHERE \"Z_PK\" IN (SELECT value FROM json_each(?));",
                           error);
            if (!select) {
                return false;
            }
            const std::string json = keyList(destKeys);
            sqlite3_bind_text(select->get(), 1, json.data(), static_cast<int>(json.size()),
                              SQLITE_TRANSIENT);
            int rc;
            while ((rc = sqlite3_step(select->get())) == SQLITE_ROW) {
                objectForRow(dest->entity(), *select, links, linkKeys);
            }
            select->reset();
            if (rc != SQLITE_DONE) {
                setStoreError(error, db.lastError());
                return false;
            }
        }
        for (size_t n = 0; n < batch.size(); ++n) {
            auto* object = batch[n].first;
            const size_t index = batch[n].second;
            const auto& entity = table(object->entityName())->entity();
            if (auto dest = registered(entity.attributes[index].destinationEntity, keys[n])) {
                object->setStoreValue(index, StoreValue(dest));
                if (index < object->savedValues_.size()) {
                    object->savedValues_[index] = StoreValue(dest);
                }
            }
        }
    }
    return true;
}

}  // namespace vk
