// ObjectContext, its queries: fetch(), count() and fetchDictionaries(), and the pending view that
// lets them see the context's unsaved changes.
#include "VornKit/Platform/Store/ObjectContext.h"

#include <algorithm>

#include "VornKit/Platform/Store/ChangeTracker.h"

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

}  // namespace

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

}  // namespace vk
