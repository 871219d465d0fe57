#include "VornKit/Platform/Store/ObjectContext.h"

#include <algorithm>

#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Platform/Store/ChangeTracker.h"

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

/// How a related object binds in the store file: its key once saved, else null.
std::optional<std::int64_t> savedKey(const ManagedObject& object) {
    if (object.isDeleted() || object.primaryKey() == 0) {
        return std::nullopt;
    }
    return object.primaryKey();
}

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

// ---- unsaved changes seen by queries -----------------------------------------------------------

std::vector<ManagedObject*> ObjectContext::changedObjects(const AttributeList* attributes) {
    std::vector<ManagedObject*> changed;
    for (auto& [entityName, objects] : registered_) {
        const auto& entity = table(entityName)->entity();
        std::vector<size_t> indexes;
        for (size_t i = 0; i < entity.attributes.size(); ++i) {
            const bool read = attributes
                                  ? std::find(attributes->begin(), attributes->end(),
                                              std::pair(entityName, i)) != attributes->end()
                                  : entity.attributes[i].kind != AttributeKind::Transformable;
            if (read) {
                indexes.push_back(i);
            }
        }
        if (indexes.empty()) {
            continue;
        }
        ChangeTracker tracker(entity);
        for (auto& [key, object] : objects) {
            if (object->deleted_) {
                continue;
            }
            for (size_t i : indexes) {
                if (tracker.changed(*object, i, object->storeValue(i))) {
                    changed.push_back(object.get());
                    break;
                }
            }
        }
    }
    return changed;
}

bool ObjectContext::openView(SqliteDatabase& db, const std::vector<ManagedObject*>& changed,
                             std::string* error) {
    const PendingView::Source source{[this](const ManagedObject& o) -> const EntityDescription& {
                                         return table(o.entityName())->entity();
                                     },
                                     [this](const ManagedObject& o) { return currentValues(o); }};
    return view_.open(db, inserted_, deleted_, changed, source, error);
}

const ObjectContext::AttributeList* ObjectContext::attributesRead(SqliteDatabase& db,
                                                                  const EntityDescription& entity,
                                                                  const std::string& whereClause) {
    const std::string cacheKey = entity.name + '\n' + whereClause;
    if (auto found = readsByQuery_.find(cacheKey); found != readsByQuery_.end()) {
        return &found->second;
    }
    auto reads = vk::attributesRead(db, *persistentStoreCoordinator()->model(), entity, whereClause,
                                    nullptr);
    if (!reads) {
        return nullptr;
    }
    if (readsByQuery_.size() >= 256) {
        readsByQuery_.clear();  // conditions written with literals; keep the cache bounded
    }
    return &readsByQuery_.emplace(cacheKey, std::move(*reads)).first->second;
}

template <class F>
auto ObjectContext::withPendingChanges(SqliteDatabase& db, const EntityDescription& entity,
                                       const std::string& whereClause,
                                       const AttributeList& alsoRead, std::string* error, F run)
    -> decltype(run()) {
    if (viewDepth_ > 0) {
        return run();
    }
    std::vector<ManagedObject*> changed;
    if (!registered_.empty()) {
        AttributeList reads = alsoRead;
        if (const auto* condition = attributesRead(db, entity, whereClause)) {
            reads.insert(reads.end(), condition->begin(), condition->end());
        }
        changed = changedObjects(&reads);
    }
    if (inserted_.empty() && deleted_.empty() && changed.empty()) {
        return run();
    }
    if (!openView(db, changed, error)) {
        return std::nullopt;
    }
    auto result = run();
    view_.close(db);
    return result;
}

void ObjectContext::withPendingView(const Block& block) {
    auto store = activeStore(nullptr);
    if (viewDepth_ > 0 || !store) {
        block();
        return;
    }
    auto& db = *store->database;
    if (!openView(db, changedObjects(nullptr), nullptr)) {
        block();  // each query opens the view for itself
        return;
    }
    ++viewDepth_;
    block();
    --viewDepth_;
    view_.close(db);
}

// ---- queries -----------------------------------------------------------------------------------

std::optional<ObjectContext::PreparedRequest> ObjectContext::prepareRequest(
    const FetchRequest& request, std::string* error) const {
    PreparedRequest prepared;
    prepared.store = activeStore(error);
    if (!prepared.store) {
        return std::nullopt;
    }
    auto model = persistentStoreCoordinator()->model();
    prepared.entity = model->entity(request.entityName);
    if (prepared.entity == nullptr) {
        setStoreError(error, "unknown entity " + request.entityName);
        return std::nullopt;
    }
    auto condition = compileCondition(request, *model, *prepared.entity, error);
    if (!condition) {
        return std::nullopt;
    }
    prepared.condition = std::move(*condition);
    if (request.fetchLimit) {
        prepared.limit = " LIMIT " + std::to_string(*request.fetchLimit);
    }
    return prepared;
}

std::optional<std::vector<std::shared_ptr<ManagedObject>>> ObjectContext::fetch(
    const FetchRequest& request, std::string* error) {
    auto p = prepareRequest(request, error);
    if (!p) {
        return std::nullopt;
    }
    auto& db = *p->store->database;
    const EntityTable* t = table(p->entity->name);
    return withPendingChanges(
        db, *p->entity, p->condition.sql, {}, error,
        [&]() -> std::optional<std::vector<std::shared_ptr<ManagedObject>>> {
            auto* select =
                db.prepare("SELECT " + t->selectColumns() + " FROM " + quoted(p->entity->name) +
                               p->condition.sql + p->limit + ";",
                           error);
            if (!select) {
                return std::nullopt;
            }
            bindStoreValues(select->get(), p->condition.values);
            std::vector<std::shared_ptr<ManagedObject>> objects;
            std::vector<std::pair<ManagedObject*, size_t>> links;
            std::vector<std::int64_t> linkKeys;
            int rc;
            while ((rc = sqlite3_step(select->get())) == SQLITE_ROW) {
                if (auto object = objectForRow(*p->entity, *select, links, linkKeys)) {
                    objects.push_back(std::move(object));
                }
            }
            select->reset();
            if (rc != SQLITE_DONE) {
                setStoreError(error, db.lastError());
                return std::nullopt;
            }
            if (!resolveLinks(db, links, linkKeys, error)) {
                return std::nullopt;
            }
            return objects;
        });
}

std::optional<std::int64_t> ObjectContext::count(const FetchRequest& request, std::string* error) {
    auto p = prepareRequest(request, error);
    if (!p) {
        return std::nullopt;
    }
    auto& db = *p->store->database;
    return withPendingChanges(
        db, *p->entity, p->condition.sql, {}, error, [&]() -> std::optional<std::int64_t> {
            auto* select =
                db.prepare("SELECT COUNT(*) FROM (SELECT 1 FROM " + quoted(p->entity->name) +
                               p->condition.sql + p->limit + ");",
                           error);
            if (!select) {
                return std::nullopt;
            }
            bindStoreValues(select->get(), p->condition.values);
            if (sqlite3_step(select->get()) != SQLITE_ROW) {
                setStoreError(error, db.lastError());
                select->reset();
                return std::nullopt;
            }
            std::int64_t n = sqlite3_column_int64(select->get(), 0);
            select->reset();
            return n;
        });
}

std::optional<std::vector<StoreRow>> ObjectContext::fetchDictionaries(
    const FetchRequest& request, const std::vector<std::string>& properties, bool distinct,
    std::string* error) {
    auto p = prepareRequest(request, error);
    if (!p) {
        return std::nullopt;
    }
    AttributeList read;
    std::string columns;
    for (const auto& property : properties) {
        auto index = p->entity->attributeIndex(property);
        if (!index) {
            setStoreError(error, "unknown attribute " + property + " of " + p->entity->name);
            return std::nullopt;
        }
        read.emplace_back(p->entity->name, *index);
        columns += (columns.empty() ? "" : ",") + quoted(property);
    }
    auto& db = *p->store->database;
    return withPendingChanges(
        db, *p->entity, p->condition.sql, read, error,
        [&]() -> std::optional<std::vector<StoreRow>> {
            auto* select = db.prepare(std::string("SELECT ") + (distinct ? "DISTINCT " : "") +
                                          columns + " FROM " + quoted(p->entity->name) +
                                          p->condition.sql + p->limit + ";",
                                      error);
            if (!select) {
                return std::nullopt;
            }
            bindStoreValues(select->get(), p->condition.values);
            std::vector<StoreRow> rows;
            int rc;
            while ((rc = sqlite3_step(select->get())) == SQLITE_ROW) {
                StoreRow row;
                for (size_t i = 0; i < properties.size(); ++i) {
                    row[properties[i]] = readStoreValue(select->get(), static_cast<int>(i));
                }
                rows.push_back(std::move(row));
            }
            select->reset();
            if (rc != SQLITE_DONE) {
                setStoreError(error, db.lastError());
                return std::nullopt;
            }
            return rows;
        });
}

// ---- saving ------------------------------------------------------------------------------------

bool ObjectContext::hasChanges() {
    if (!inserted_.empty() || !deleted_.empty()) {
        return true;
    }
    for (const auto& [entityName, objects] : registered_) {
        ChangeTracker tracker(table(entityName)->entity());
        for (const auto& [key, object] : objects) {
            auto values = currentValues(*object);
            for (size_t i = 0; i < values.size(); ++i) {
                if (tracker.changed(*object, i, values[i])) {
                    return true;
                }
            }
        }
    }
    return false;
}

bool ObjectContext::applyDeletes(SqliteDatabase& db, std::string* error) {
    for (const auto& object : deleted_) {
        if (object->primaryKey_ != 0 &&
            !table(object->entityName())->remove(db, object->primaryKey_, error)) {
            return false;
        }
    }
    return true;
}

bool ObjectContext::applyInserts(SqliteDatabase& db, std::vector<ManagedObject*>& assigned,
                                 std::vector<std::vector<StoreValue>>& insertedValues,
                                 std::string* error) {
    // Relationships to objects inserted later in the same pass are filled in afterwards.
    std::vector<std::pair<ManagedObject*, size_t>> pendingLinks;
    for (const auto& object : inserted_) {
        const EntityTable* t = table(object->entityName());
        auto values = currentValues(*object);
        for (size_t i = 0; i < values.size(); ++i) {
            if (auto* dest = std::get_if<std::shared_ptr<ManagedObject>>(&values[i]);
                dest && *dest && (*dest)->primaryKey_ == 0 && (*dest)->inserted_) {
                pendingLinks.emplace_back(object.get(), i);
            }
        }
        auto key = t->insert(db, values, savedKey, error);
        if (!key) {
            return false;
        }
        object->primaryKey_ = *key;
        assigned.push_back(object.get());
        insertedValues.push_back(std::move(values));
    }
    for (auto [object, index] : pendingLinks) {
        if (!table(object->entityName())
                 ->update(db, object->primaryKey_, {index}, currentValues(*object), savedKey,
                          error)) {
            return false;
        }
    }
    return true;
}

bool ObjectContext::save(std::string* error) {
    if (viewDepth_ > 0) {
        setStoreError(error, "cannot save inside withPendingView");
        return false;
    }
    auto store = activeStore(error);
    if (!store) {
        return false;
    }
    // Attribute changes of saved objects.
    struct Update {
        ManagedObject* object;
        std::vector<StoreValue> values;
        std::vector<size_t> changed;
    };
    // Once a save has succeeded every registered object equals its row, so one that nobody else
    // holds has nothing to keep: the context's memory, and the work of its later saves and
    // queries, follow what the program holds rather than everything it ever fetched. Releasing an
    // object can leave its to-one destinations unheld in turn, hence the passes.
    auto releaseUnheldObjects = [this] {
        for (bool released = true; released;) {
            released = false;
            for (auto& [entityName, objects] : registered_) {
                released |= std::erase_if(objects, [](const auto& entry) {
                                return entry.second.use_count() == 1;
                            }) > 0;
            }
        }
    };
    std::vector<Update> updates;
    for (const auto& [entityName, objects] : registered_) {
        ChangeTracker tracker(table(entityName)->entity());
        for (const auto& [key, object] : objects) {
            if (object->deleted_) {
                continue;
            }
            Update update{object.get(), currentValues(*object), {}};
            for (size_t i = 0; i < update.values.size(); ++i) {
                if (tracker.changed(*object, i, update.values[i])) {
                    update.changed.push_back(i);
                }
            }
            if (!update.changed.empty()) {
                updates.push_back(std::move(update));
            }
        }
    }
    if (inserted_.empty() && deleted_.empty() && updates.empty()) {
        releaseUnheldObjects();
        return true;
    }
    auto& db = *store->database;
    if (!db.exec("BEGIN IMMEDIATE;", error)) {
        return false;
    }
    std::vector<ManagedObject*> assigned;
    std::vector<std::vector<StoreValue>> insertedValues;
    bool ok = applyDeletes(db, error) && applyInserts(db, assigned, insertedValues, error);
    for (size_t u = 0; ok && u < updates.size(); ++u) {
        const auto& update = updates[u];
        ok = table(update.object->entityName())
                 ->update(db, update.object->primaryKey_, update.changed, update.values, savedKey,
                          error);
    }
    if (!ok || !db.exec("COMMIT;", error)) {
        db.exec("ROLLBACK;", nullptr);
        for (auto* object : assigned) {
            object->primaryKey_ = 0;
        }
        return false;
    }
    for (size_t i = 0; i < inserted_.size(); ++i) {
        const auto& object = inserted_[i];
        object->inserted_ = false;
        object->savedValues_ = std::move(insertedValues[i]);
        registered_[object->entityName()][object->primaryKey_] = object;
    }
    inserted_.clear();
    for (const auto& object : deleted_) {
        if (auto e = registered_.find(object->entityName()); e != registered_.end()) {
            e->second.erase(object->primaryKey_);
        }
        object->context_.reset();
    }
    deleted_.clear();
    for (auto& update : updates) {
        for (size_t c : update.changed) {
            update.object->savedValues_[c] = std::move(update.values[c]);
            ChangeTracker::forgetFetchedForm(*update.object, c);
        }
    }
    updates.clear();
    releaseUnheldObjects();
    return true;
}

}  // namespace vk
