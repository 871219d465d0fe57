#include "VornKit/Platform/Store/StoreQuery.h"

#include <algorithm>

#include "VornKit/Platform/Coding/JsonWriter.h"

namespace vk {

namespace {

std::string quoted(const std::string& name) {
    return SqliteDatabase::quoteIdentifier(name);
}

/// A list as the JSON array json_each reads back; absent for values a list cannot hold.
std::optional<std::string> listJson(const std::vector<StoreValue>& list, std::string* error) {
    std::string json;
    JsonWriter writer(json);
    writer.beginArray();
    for (const auto& value : list) {
        if (std::holds_alternative<std::monostate>(value)) {
            writer.null();
        } else if (const auto* n = std::get_if<std::int64_t>(&value)) {
            writer.integer(*n);
        } else if (const auto* d = std::get_if<double>(&value)) {
            writer.number(*d);
        } else if (const auto* s = std::get_if<std::string>(&value)) {
            writer.string(*s);
        } else {
            setStoreError(error, "a list argument holds only integers, doubles, texts and nulls");
            return std::nullopt;
        }
    }
    writer.endArray();
    return json;
}

constexpr const char* kListSource = "SELECT value FROM json_each(?)";

/// The SQL test of one term on `column`, its value appended to `values`.
std::optional<std::string> termTest(const FetchRequest::Term& term, const std::string& column,
                                    std::vector<StoreValue>& values, std::string* error) {
    switch (term.test) {
        case FetchRequest::Term::Test::NotNull:
            return column + " IS NOT NULL";
        case FetchRequest::Term::Test::Equal: {
            const auto* value = std::get_if<StoreValue>(&term.value);
            if (value == nullptr) {
                setStoreError(error, "where() on " + term.keyPath + " needs a single value");
                return std::nullopt;
            }
            if (std::holds_alternative<std::monostate>(*value)) {
                return column + " IS NULL";
            }
            values.push_back(*value);
            return column + " = ?";
        }
        case FetchRequest::Term::Test::In: {
            const auto* list = std::get_if<std::vector<StoreValue>>(&term.value);
            auto json = list ? listJson(*list, error) : std::nullopt;
            if (!json) {
                if (!list) {
                    setStoreError(error, "whereIn() on " + term.keyPath + " needs a list");
                }
                return std::nullopt;
            }
            values.emplace_back(std::move(*json));
            return column + " IN (" + kListSource + ")";
        }
    }
    return std::nullopt;
}

std::optional<std::string> compileTerm(const FetchRequest::Term& term,
                                       const ManagedObjectModel& model,
                                       const EntityDescription& entity,
                                       std::vector<StoreValue>& values, std::string* error) {
    const auto dot = term.keyPath.find('.');
    const std::string first = term.keyPath.substr(0, dot);
    auto index = entity.attributeIndex(first);
    if (!index) {
        setStoreError(error, "unknown attribute " + first + " of " + entity.name);
        return std::nullopt;
    }
    if (dot == std::string::npos) {
        return termTest(term, quoted(first), values, error);
    }
    const auto& relationship = entity.attributes[*index];
    const EntityDescription* destination = relationship.kind == AttributeKind::ToOne
                                               ? model.entity(relationship.destinationEntity)
                                               : nullptr;
    const std::string rest = term.keyPath.substr(dot + 1);
    if (destination == nullptr || rest.find('.') != std::string::npos) {
        setStoreError(error, term.keyPath + ": only one to-one relationship may lead a key path");
        return std::nullopt;
    }
    if (!destination->attributeIndex(rest)) {
        setStoreError(error, "unknown attribute " + rest + " of " + destination->name);
        return std::nullopt;
    }
    auto test = termTest(term, quoted(rest), values, error);
    if (!test) {
        return std::nullopt;
    }
    return quoted(first) + " IN (SELECT \"Z_PK\" FROM " + quoted(destination->name) + " WHERE " +
           *test + ")";
}

struct ReadCollector {
    const ManagedObjectModel* model;
    std::vector<std::pair<std::string, size_t>> found;
};

int collectReads(void* data, int action, const char* table, const char* column, const char*,
                 const char*) {
    auto* collector = static_cast<ReadCollector*>(data);
    if (action != SQLITE_READ || table == nullptr || column == nullptr) {
        return SQLITE_OK;
    }
    const EntityDescription* entity = collector->model->entity(table);
    auto index = entity ? entity->attributeIndex(column) : std::nullopt;
    if (index) {
        std::pair<std::string, size_t> read{entity->name, *index};
        if (std::find(collector->found.begin(), collector->found.end(), read) ==
            collector->found.end()) {
            collector->found.push_back(std::move(read));
        }
    }
    return SQLITE_OK;
}

}  // namespace

std::optional<CompiledCondition> compileCondition(const FetchRequest& request,
                                                  const ManagedObjectModel& model,
                                                  const EntityDescription& entity,
                                                  std::string* error) {
    CompiledCondition out;
    std::vector<std::string> parts;
    for (const auto& term : request.terms) {
        auto part = compileTerm(term, model, entity, out.values, error);
        if (!part) {
            return std::nullopt;
        }
        parts.push_back(std::move(*part));
    }
    if (!request.condition.empty()) {
        std::string sql;
        size_t argument = 0;
        for (char c : request.condition) {
            if (c != '?') {
                sql.push_back(c);
                continue;
            }
            if (argument >= request.arguments.size()) {
                setStoreError(error, "too few arguments for the condition: " + request.condition);
                return std::nullopt;
            }
            const auto& a = request.arguments[argument++];
            if (const auto* single = std::get_if<StoreValue>(&a)) {
                sql.push_back('?');
                out.values.push_back(*single);
                continue;
            }
            auto json = listJson(std::get<std::vector<StoreValue>>(a), error);
            if (!json) {
                return std::nullopt;
            }
            sql += kListSource;
            out.values.emplace_back(std::move(*json));
        }
        if (argument != request.arguments.size()) {
            setStoreError(error, "too many arguments for the condition: " + request.condition);
            return std::nullopt;
        }
        parts.push_back(parts.empty() ? std::move(sql) : "(" + sql + ")");
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        out.sql += (i ? " AND " : " WHERE ") + parts[i];
    }
    return out;
}

int bindStoreValue(sqlite3_stmt* statement, int index, const StoreValue& value,
                   const RelationKey& key) {
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
                auto k = v && key ? key(*v) : std::nullopt;
                return k ? sqlite3_bind_int64(statement, index, *k)
                         : sqlite3_bind_null(statement, index);
            }
        },
        value);
}

void bindStoreValues(sqlite3_stmt* statement, const std::vector<StoreValue>& values) {
    for (size_t i = 0; i < values.size(); ++i) {
        bindStoreValue(statement, static_cast<int>(i + 1), values[i]);
    }
}

StoreValue readStoreValue(sqlite3_stmt* statement, int column) {
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

std::vector<StoreValue> readStoreValues(sqlite3_stmt* statement, int first, size_t count) {
    std::vector<StoreValue> values;
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        values.push_back(readStoreValue(statement, first + static_cast<int>(i)));
    }
    return values;
}

void setStoreError(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
}

std::optional<std::vector<std::pair<std::string, size_t>>> attributesRead(
    SqliteDatabase& db, const ManagedObjectModel& model, const EntityDescription& entity,
    const std::string& whereClause, std::string* error) {
    ReadCollector collector{&model, {}};
    const std::string sql = "SELECT 1 FROM " + quoted(entity.name) + whereClause;
    sqlite3_set_authorizer(db.handle(), collectReads, &collector);
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(db.handle(), sql.c_str(), static_cast<int>(sql.size()),
                                      &statement, nullptr);
    sqlite3_set_authorizer(db.handle(), nullptr, nullptr);
    sqlite3_finalize(statement);
    if (rc != SQLITE_OK) {
        setStoreError(error, db.lastError());
        return std::nullopt;
    }
    return collector.found;
}

std::string mainTable(const std::string& entityName) {
    return "\"main\"." + quoted(entityName);
}

}  // namespace vk
