#include "VornKit/Platform/ObjectContext.h"

#include <algorithm>

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

void setError(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
}

bool sameValue(const StoreValue& a, const StoreValue& b) {
    return a == b;
}

StoreValue readColumn(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return StoreValue(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return StoreValue(sqlite3_column_double(statement, column));
        case SQLITE_TEXT: {
            const auto* text =
                reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            return StoreValue(
                std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column))));
        }
        case SQLITE_BLOB: {
            const auto* data =
                static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
            const auto size = static_cast<size_t>(sqlite3_column_bytes(statement, column));
            return StoreValue(StoreBytes(data, data + size));
        }
        default:
            return StoreValue();
    }
}

/// Binds one value; a related object binds as its key, or null when it has none or is deleted.
int bindValue(sqlite3_stmt* statement, int index, const StoreValue& value) {
    return std::visit(
        [&](const auto& v) -> int {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return sqlite3_bind_null(statement, index);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return sqlite3_bind_int64(statement, index, v);
            } else if constexpr (std::is_same_v<T, double>) {
                return sqlite3_bind_double(statement, index, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return sqlite3_bind_text(statement, index, v.data(), static_cast<int>(v.size()),
                                         SQLITE_TRANSIENT);
            } else if constexpr (std::is_same_v<T, StoreBytes>) {
                return sqlite3_bind_blob(statement, index, v.data(), static_cast<int>(v.size()),
                                         SQLITE_TRANSIENT);
            } else {
                if (!v || v->primaryKey() == 0 || v->isDeleted()) {
                    return sqlite3_bind_null(statement, index);
                }
                return sqlite3_bind_int64(statement, index, v->primaryKey());
            }
        },
        value);
}

/// Expands `?` for list arguments and binds every argument in order.
struct BoundQuery {
    std::string sql;
    std::vector<const StoreValue*> values;
};

std::optional<BoundQuery> expand(const std::string& prefix, const FetchRequest& request,
                                 const std::string& suffix, std::string* error) {
    BoundQuery query;
    query.sql = prefix;
    if (!request.condition.empty()) {
        query.sql += " WHERE ";
        size_t argument = 0;
        for (char c : request.condition) {
            if (c != '?') {
                query.sql.push_back(c);
                continue;
            }
            if (argument >= request.arguments.size()) {
                setError(error, "too few arguments for the condition: " + request.condition);
                return std::nullopt;
            }
            const auto& a = request.arguments[argument++];
            if (const auto* single = std::get_if<StoreValue>(&a)) {
                query.sql.push_back('?');
                query.values.push_back(single);
                continue;
            }
            const auto& list = std::get<std::vector<StoreValue>>(a);
            if (list.empty()) {
                query.sql += "NULL";  // `IN (NULL)` matches nothing
            }
            for (size_t i = 0; i < list.size(); ++i) {
                query.sql += i ? ",?" : "?";
                query.values.push_back(&list[i]);
            }
        }
        if (argument != request.arguments.size()) {
            setError(error, "too many arguments for the condition: " + request.condition);
            return std::nullopt;
        }
    }
    query.sql += suffix;
    return query;
}

/// The request's query, prepared (cached) and bound; nullptr with `error` on failure.
SqliteStatement* prepareQuery(SqliteDatabase& db, const std::string& prefix,
                              const FetchRequest& request, const std::string& suffix,
                              std::string* error) {
    auto query = expand(prefix, request, suffix, error);
    if (!query) {
        return nullptr;
    }
    auto* statement = db.prepare(query->sql, error);
    if (!statement) {
        return nullptr;
    }
    for (size_t i = 0; i < query->values.size(); ++i) {
        bindValue(statement->get(), static_cast<int>(i + 1), *query->values[i]);
    }
    return statement;
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
        setError(error, "the context has no persistent store");
        return nullptr;
    }
    return stores.front();
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

std::shared_ptr<ManagedObject> ObjectContext::insertNewObject(const std::string& entityName) {
    auto coordinator = persistentStoreCoordinator();
    const EntityDescription* entity =
        coordinator ? coordinator->model()->entity(entityName) : nullptr;
    if (entity == nullptr || !entity->make) {
        return nullptr;
    }
    auto object = entity->make();
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
    auto coordinator = persistentStoreCoordinator();
    if (owner || !coordinator || coordinator->model()->entity(object->entityName()) == nullptr) {
        return false;
    }
    object->context_ = weak_from_this();
    object->inserted_ = true;
    object->deleted_ = false;
    object->primaryKey_ = 0;
    object->savedValues_.clear();
    inserted_.push_back(object);
    return true;
}

void ObjectContext::deleteObject(const std::shared_ptr<ManagedObject>& object) {
    if (!object || object->context_.lock().get() != this || object->deleted_) {
        return;
    }
    auto it = std::find(inserted_.begin(), inserted_.end(), object);
    const bool wasInserted = it != inserted_.end();
    if (wasInserted) {
        if (viewDepth_ > 0 && object->primaryKey_ != 0) {
            applyDeletion(*object, nullptr);  // its provisional row leaves the open view
            provisional_[object->entityName()].erase(object->primaryKey_);
            object->primaryKey_ = 0;
        }
        inserted_.erase(it);
        object->inserted_ = false;
        object->context_.reset();
    } else {
        object->deleted_ = true;
        deleted_.push_back(object);
        if (viewDepth_ > 0) {
            applyDeletion(*object, nullptr);
        }
    }
    // Cascading relationships take their destinations along.
    const EntitySql* sql = entitySql(object->entityName());
    for (size_t i : sql ? sql->cascades : std::vector<size_t>{}) {
        auto value = object->storeValue(i);
        if (auto* dest = std::get_if<std::shared_ptr<ManagedObject>>(&value); dest && *dest) {
            deleteObject(*dest);
        }
    }
}

std::vector<StoreValue> ObjectContext::currentValues(const ManagedObject& object) const {
    const EntitySql* sql = entitySql(object.entityName());
    std::vector<StoreValue> values;
    values.reserve(sql->entity->attributes.size());
    for (size_t i = 0; i < sql->entity->attributes.size(); ++i) {
        values.push_back(object.storeValue(i));
    }
    return values;
}

const ObjectContext::EntitySql* ObjectContext::entitySql(const std::string& entityName) const {
    if (auto it = entitySql_.find(entityName); it != entitySql_.end()) {
        return &it->second;
    }
    auto coordinator = persistentStoreCoordinator();
    const EntityDescription* entity =
        coordinator ? coordinator->model()->entity(entityName) : nullptr;
    if (entity == nullptr) {
        return nullptr;
    }
    EntitySql sql;
    sql.entity = entity;
    const std::string table = quoted(entity->name);
    std::string columns;
    std::string placeholders;
    for (size_t i = 0; i < entity->attributes.size(); ++i) {
        columns += (i ? "," : "") + quoted(entity->attributes[i].name);
        placeholders += i ? ",?" : "?";
        if (entity->attributes[i].cascadeDelete) {
            sql.cascades.push_back(i);
        }
    }
    sql.insert = entity->attributes.empty()
                     ? "INSERT INTO " + table + " DEFAULT VALUES;"
                     : "INSERT INTO " + table + " (" + columns + ") VALUES (" + placeholders + ");";
    sql.selectColumns = "\"Z_PK\"" + std::string(columns.empty() ? "" : ",") + columns;
    sql.remove = "DELETE FROM " + table + " WHERE \"Z_PK\"=?;";
    // Relationships that point at a deleted row are set to point nowhere.
    for (const auto& other : coordinator->model()->entities()) {
        for (const auto& a : other->attributes) {
            if (a.kind == AttributeKind::ToOne && a.destinationEntity == entity->name) {
                sql.nullify.push_back("UPDATE " + quoted(other->name) + " SET " + quoted(a.name) +
                                      "=NULL WHERE " + quoted(a.name) + "=?;");
            }
        }
    }
    return &entitySql_.emplace(entityName, std::move(sql)).first->second;
}

bool ObjectContext::applyDeletion(const ManagedObject& object, std::string* error) {
    if (object.primaryKey_ == 0) {
        return true;
    }
    auto store = activeStore(error);
    if (!store) {
        return false;
    }
    auto& db = *store->database;
    const EntitySql* sql = entitySql(object.entityName());
    std::vector<const std::string*> statements{&sql->remove};
    for (const auto& n : sql->nullify) {
        statements.push_back(&n);
    }
    for (const auto* text : statements) {
        auto* statement = db.prepare(*text, error);
        if (!statement) {
            return false;
        }
        sqlite3_bind_int64(statement->get(), 1, object.primaryKey_);
        const int rc = sqlite3_step(statement->get());
        statement->reset();
        if (rc != SQLITE_DONE) {
            setError(error, db.lastError());
            return false;
        }
    }
    return true;
}

bool ObjectContext::writeInsertsAndDeletes(SqliteDatabase& db,
                                           std::vector<ManagedObject*>& assigned,
                                           std::vector<std::vector<StoreValue>>* insertedValues,
                                           std::string* error) {
    for (const auto& object : deleted_) {
        if (!applyDeletion(*object, error)) {
            return false;
        }
    }
    // Inserts; relationships to objects inserted later in the same pass are filled in after.
    std::vector<std::pair<ManagedObject*, size_t>> pendingLinks;
    for (const auto& object : inserted_) {
        const EntitySql* sql = entitySql(object->entityName());
        auto* insert = db.prepare(sql->insert, error);
        if (!insert) {
            return false;
        }
        auto values = currentValues(*object);
        for (size_t i = 0; i < values.size(); ++i) {
            if (auto* dest = std::get_if<std::shared_ptr<ManagedObject>>(&values[i]);
                dest && *dest && (*dest)->primaryKey_ == 0 && (*dest)->inserted_) {
                pendingLinks.emplace_back(object.get(), i);
            }
            bindValue(insert->get(), static_cast<int>(i + 1), values[i]);
        }
        const int rc = sqlite3_step(insert->get());
        insert->reset();
        if (rc != SQLITE_DONE) {
            setError(error, db.lastError());
            return false;
        }
        object->primaryKey_ = sqlite3_last_insert_rowid(db.handle());
        assigned.push_back(object.get());
        if (insertedValues) {
            insertedValues->push_back(std::move(values));
        }
    }
    for (auto [object, index] : pendingLinks) {
        const EntitySql* sql = entitySql(object->entityName());
        auto* link =
            db.prepare("UPDATE " + quoted(sql->entity->name) + " SET " +
                           quoted(sql->entity->attributes[index].name) + "=? WHERE \"Z_PK\"=?;",
                       error);
        if (!link) {
            return false;
        }
        bindValue(link->get(), 1, object->storeValue(index));
        sqlite3_bind_int64(link->get(), 2, object->primaryKey_);
        const int rc = sqlite3_step(link->get());
        link->reset();
        if (rc != SQLITE_DONE) {
            setError(error, db.lastError());
            return false;
        }
    }
    return true;
}

bool ObjectContext::openView(const std::shared_ptr<PersistentStore>& store, const char* name,
                             std::vector<ManagedObject*>& assigned, std::string* error) {
    auto& db = *store->database;
    if (!db.exec(std::string("SAVEPOINT ") + name + ";", error)) {
        return false;
    }
    if (!writeInsertsAndDeletes(db, assigned, nullptr, error)) {
        closeView(store, name, assigned);
        return false;
    }
    for (auto* object : assigned) {
        provisional_[object->entityName()][object->primaryKey_] = object;
    }
    return true;
}

void ObjectContext::closeView(const std::shared_ptr<PersistentStore>& store, const char* name,
                              std::vector<ManagedObject*>& assigned) {
    store->database->exec(std::string("ROLLBACK TO ") + name + "; RELEASE " + name + ";", nullptr);
    for (auto* object : assigned) {
        object->primaryKey_ = 0;
    }
    provisional_.clear();
}

template <class F>
auto ObjectContext::withPendingChanges(const std::shared_ptr<PersistentStore>& store,
                                       std::string* error, F run) -> decltype(run()) {
    if (viewDepth_ > 0 || (inserted_.empty() && deleted_.empty())) {
        return run();
    }
    // Apply the pending insertions and deletions inside a savepoint, query, and roll back: the
    // query sees the context's view without anything reaching the file.
    std::vector<ManagedObject*> assigned;
    if (!openView(store, "vk_pending", assigned, error)) {
        return std::nullopt;
    }
    auto result = run();
    closeView(store, "vk_pending", assigned);
    return result;
}

void ObjectContext::withPendingView(const Block& block) {
    auto store = activeStore(nullptr);
    if (viewDepth_ > 0 || !store) {
        block();
        return;
    }
    std::vector<ManagedObject*> assigned;
    if (!openView(store, "vk_view", assigned, nullptr)) {
        block();  // queries fall back to applying the changes each time
        return;
    }
    ++viewDepth_;
    block();
    --viewDepth_;
    closeView(store, "vk_view", assigned);
}

std::shared_ptr<ManagedObject> ObjectContext::objectForRow(
    const EntityDescription& entity, std::int64_t key, std::vector<StoreValue> values,
    std::vector<std::pair<ManagedObject*, size_t>>& links, std::vector<std::int64_t>& linkKeys) {
    if (auto existing = registered(entity.name, key)) {
        return existing;
    }
    if (auto p = provisional_.find(entity.name); p != provisional_.end()) {
        if (auto o = p->second.find(key); o != p->second.end()) {
            return o->second->shared_from_this();
        }
    }
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
    auto model = persistentStoreCoordinator()->model();
    while (!links.empty()) {
        auto batch = std::move(links);
        auto keys = std::move(linkKeys);
        links.clear();
        linkKeys.clear();
        // Load every destination row not yet registered, one query per entity and chunk.
        std::map<std::string, std::vector<std::int64_t>> missing;
        for (size_t n = 0; n < batch.size(); ++n) {
            const auto* entity = model->entity(batch[n].first->entityName());
            const auto& dest = entity->attributes[batch[n].second].destinationEntity;
            bool provisional = provisional_.count(dest) && provisional_[dest].count(keys[n]);
            if (!registered(dest, keys[n]) && !provisional) {
                missing[dest].push_back(keys[n]);
            }
        }
        for (auto& [destName, destKeys] : missing) {
            const EntityDescription* dest = model->entity(destName);
            if (dest == nullptr) {
                continue;
            }
            std::sort(destKeys.begin(), destKeys.end());
            destKeys.erase(std::unique(destKeys.begin(), destKeys.end()), destKeys.end());
            std::string columns = "\"Z_PK\"";
            for (const auto& a : dest->attributes) {
                columns += "," + quoted(a.name);
            }
            constexpr size_t kChunk = 500;
            for (size_t start = 0; start < destKeys.size(); start += kChunk) {
                const size_t end = std::min(destKeys.size(), start + kChunk);
                std::string sql =
                    "SELECT " + columns + " FROM " + quoted(dest->name) + " WHERE \"Z_PK\" IN (";
                for (size_t k = start; k < end; ++k) {
                    sql += k == start ? "?" : ",?";
                }
                sql += ");";
                auto* select = db.prepare(sql, error);
                if (!select) {
                    return false;
                }
                for (size_t k = start; k < end; ++k) {
                    sqlite3_bind_int64(select->get(), static_cast<int>(k - start + 1), destKeys[k]);
                }
                int rc;
                while ((rc = sqlite3_step(select->get())) == SQLITE_ROW) {
                    std::vector<StoreValue> values;
                    for (size_t i = 0; i < dest->attributes.size(); ++i) {
                        values.push_back(readColumn(select->get(), static_cast<int>(i + 1)));
                    }
                    objectForRow(*dest, sqlite3_column_int64(select->get(), 0), std::move(values),
                                 links, linkKeys);
                }
                select->reset();
                if (rc != SQLITE_DONE) {
                    setError(error, db.lastError());
                    return false;
                }
            }
        }
        for (size_t n = 0; n < batch.size(); ++n) {
            auto* object = batch[n].first;
            const size_t index = batch[n].second;
            const auto* entity = model->entity(object->entityName());
            const auto& destName = entity->attributes[index].destinationEntity;
            std::shared_ptr<ManagedObject> dest = registered(destName, keys[n]);
            if (!dest && provisional_.count(destName) && provisional_[destName].count(keys[n])) {
                dest = provisional_[destName][keys[n]]->shared_from_this();
            }
            if (dest) {
                object->setStoreValue(index, StoreValue(dest));
                if (index < object->savedValues_.size()) {
                    object->savedValues_[index] = StoreValue(dest);
                }
            }
        }
    }
    return true;
}

std::optional<std::vector<std::shared_ptr<ManagedObject>>> ObjectContext::fetch(
    const FetchRequest& request, std::string* error) {
    auto store = activeStore(error);
    if (!store) {
        return std::nullopt;
    }
    const EntityDescription* entity =
        store ? persistentStoreCoordinator()->model()->entity(request.entityName) : nullptr;
    if (entity == nullptr) {
        setError(error, "unknown entity " + request.entityName);
        return std::nullopt;
    }
    return withPendingChanges(
        store, error, [&]() -> std::optional<std::vector<std::shared_ptr<ManagedObject>>> {
            std::string columns = "\"Z_PK\"";
            for (const auto& a : entity->attributes) {
                columns += "," + quoted(a.name);
            }
            std::string suffix =
                request.fetchLimit ? " LIMIT " + std::to_string(*request.fetchLimit) + ";" : ";";
            auto& db = *store->database;
            auto* select = prepareQuery(db, "SELECT " + columns + " FROM " + quoted(entity->name),
                                        request, suffix, error);
            if (!select) {
                return std::nullopt;
            }
            std::vector<std::shared_ptr<ManagedObject>> objects;
            std::vector<std::pair<ManagedObject*, size_t>> links;
            std::vector<std::int64_t> linkKeys;
            int rc;
            while ((rc = sqlite3_step(select->get())) == SQLITE_ROW) {
                std::vector<StoreValue> values;
                values.reserve(entity->attributes.size());
                for (size_t i = 0; i < entity->attributes.size(); ++i) {
                    values.push_back(readColumn(select->get(), static_cast<int>(i + 1)));
                }
                objects.push_back(objectForRow(*entity, sqlite3_column_int64(select->get(), 0),
                                               std::move(values), links, linkKeys));
            }
            select->reset();
            if (rc != SQLITE_DONE) {
                setError(error, db.lastError());
                return std::nullopt;
            }
            if (!resolveLinks(db, links, linkKeys, error)) {
                return std::nullopt;
            }
            return objects;
        });
}

std::optional<std::int64_t> ObjectContext::count(const FetchRequest& request, std::string* error) {
    auto store = activeStore(error);
    if (!store) {
        return std::nullopt;
    }
    if (persistentStoreCoordinator()->model()->entity(request.entityName) == nullptr) {
        setError(error, "unknown entity " + request.entityName);
        return std::nullopt;
    }
    return withPendingChanges(store, error, [&]() -> std::optional<std::int64_t> {
        std::string suffix =
            request.fetchLimit ? " LIMIT " + std::to_string(*request.fetchLimit) + ");" : ");";
        auto& db = *store->database;
        auto* select =
            prepareQuery(db, "SELECT COUNT(*) FROM (SELECT 1 FROM " + quoted(request.entityName),
                         request, suffix, error);
        if (!select) {
            return std::nullopt;
        }
        if (sqlite3_step(select->get()) != SQLITE_ROW) {
            setError(error, db.lastError());
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
    auto store = activeStore(error);
    if (!store) {
        return std::nullopt;
    }
    const EntityDescription* entity =
        persistentStoreCoordinator()->model()->entity(request.entityName);
    if (entity == nullptr) {
        setError(error, "unknown entity " + request.entityName);
        return std::nullopt;
    }
    for (const auto& p : properties) {
        if (!entity->attributeIndex(p)) {
            setError(error, "unknown attribute " + p + " of " + entity->name);
            return std::nullopt;
        }
    }
    return withPendingChanges(store, error, [&]() -> std::optional<std::vector<StoreRow>> {
        std::string columns;
        for (size_t i = 0; i < properties.size(); ++i) {
            columns += (i ? "," : "") + quoted(properties[i]);
        }
        std::string suffix =
            request.fetchLimit ? " LIMIT " + std::to_string(*request.fetchLimit) + ";" : ";";
        auto& db = *store->database;
        auto* select = prepareQuery(db,
                                    std::string("SELECT ") + (distinct ? "DISTINCT " : "") +
                                        columns + " FROM " + quoted(entity->name),
                                    request, suffix, error);
        if (!select) {
            return std::nullopt;
        }
        std::vector<StoreRow> rows;
        int rc;
        while ((rc = sqlite3_step(select->get())) == SQLITE_ROW) {
            StoreRow row;
            for (size_t i = 0; i < properties.size(); ++i) {
                row[properties[i]] = readColumn(select->get(), static_cast<int>(i));
            }
            rows.push_back(std::move(row));
        }
        select->reset();
        if (rc != SQLITE_DONE) {
            setError(error, db.lastError());
            return std::nullopt;
        }
        return rows;
    });
}

bool ObjectContext::hasChanges() {
    if (!inserted_.empty() || !deleted_.empty()) {
        return true;
    }
    for (const auto& [_, objects] : registered_) {
        for (const auto& [key, object] : objects) {
            auto values = currentValues(*object);
            for (size_t i = 0; i < values.size(); ++i) {
                if (i >= object->savedValues_.size() ||
                    !sameValue(values[i], object->savedValues_[i])) {
                    return true;
                }
            }
        }
    }
    return false;
}

bool ObjectContext::save(std::string* error) {
    if (viewDepth_ > 0) {
        setError(error, "cannot save inside withPendingView");
        return false;
    }
    auto store = activeStore(error);
    if (!store) {
        return false;
    }
    auto model = persistentStoreCoordinator()->model();
    // Attribute changes of saved objects: compare with what was last saved or fetched.
    struct Update {
        ManagedObject* object;
        std::vector<StoreValue> values;
        std::vector<size_t> changed;
    };
    std::vector<Update> updates;
    for (const auto& [_, objects] : registered_) {
        for (const auto& [key, object] : objects) {
            if (object->deleted_) {
                continue;
            }
            Update update{object.get(), currentValues(*object), {}};
            for (size_t i = 0; i < update.values.size(); ++i) {
                if (i >= object->savedValues_.size() ||
                    !sameValue(update.values[i], object->savedValues_[i])) {
                    update.changed.push_back(i);
                }
            }
            if (!update.changed.empty()) {
                updates.push_back(std::move(update));
            }
        }
    }
    if (inserted_.empty() && deleted_.empty() && updates.empty()) {
        return true;
    }
    auto& db = *store->database;
    if (!db.exec("BEGIN IMMEDIATE;", error)) {
        return false;
    }
    std::vector<ManagedObject*> assigned;
    std::vector<std::vector<StoreValue>> insertedValues;
    bool ok = writeInsertsAndDeletes(db, assigned, &insertedValues, error);
    for (size_t u = 0; ok && u < updates.size(); ++u) {
        const auto& update = updates[u];
        const EntityDescription* entity = model->entity(update.object->entityName());
        std::string sql = "UPDATE " + quoted(entity->name) + " SET ";
        for (size_t c = 0; c < update.changed.size(); ++c) {
            sql += (c ? "," : "") + quoted(entity->attributes[update.changed[c]].name) + "=?";
        }
        sql += " WHERE \"Z_PK\"=?;";
        auto* statement = db.prepare(sql, error);
        ok = statement != nullptr;
        if (!ok) {
            break;
        }
        int index = 1;
        for (size_t c : update.changed) {
            bindValue(statement->get(), index++, update.values[c]);
        }
        sqlite3_bind_int64(statement->get(), index, update.object->primaryKey_);
        ok = sqlite3_step(statement->get()) == SQLITE_DONE;
        if (!ok) {
            setError(error, db.lastError());
        }
        statement->reset();
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
        update.object->savedValues_ = std::move(update.values);
    }
    return true;
}

void ObjectContext::refresh(const std::shared_ptr<ManagedObject>& object) {
    if (!object || object->context_.lock().get() != this || object->primaryKey_ == 0) {
        return;
    }
    auto store = activeStore(nullptr);
    if (!store) {
        return;
    }
    const EntityDescription* entity =
        persistentStoreCoordinator()->model()->entity(object->entityName());
    std::string columns;
    for (size_t i = 0; i < entity->attributes.size(); ++i) {
        columns += (i ? "," : "") + quoted(entity->attributes[i].name);
    }
    auto& db = *store->database;
    auto* select = db.prepare(
        "SELECT " + columns + " FROM " + quoted(entity->name) + " WHERE \"Z_PK\"=?;", nullptr);
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
    for (size_t i = 0; i < entity->attributes.size(); ++i) {
        auto value = readColumn(select->get(), static_cast<int>(i));
        if (entity->attributes[i].kind == AttributeKind::ToOne) {
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
    resolveLinks(db, links, linkKeys, nullptr);
}

void ObjectContext::reset() {
    for (auto& [_, objects] : registered_) {
        for (auto& [key, object] : objects) {
            object->context_.reset();
            object->deleted_ = false;
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

}  // namespace vk
