// ObjectContext, saving: hasChanges() and save(), which writes the context's insertions, deletions
// and changed attributes in one transaction.
#include "VornKit/Platform/Store/ObjectContext.h"

#include <algorithm>

#include "VornKit/Platform/Store/ChangeTracker.h"

namespace vk {

namespace {

/// How a related object binds in the store file: its key once saved, else null.
std::optional<std::int64_t> savedKey(const ManagedObject& object) {
    if (object.isDeleted() || object.primaryKey() == 0) {
        return std::nullopt;
    }
    return object.primaryKey();
}

}  // namespace

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
