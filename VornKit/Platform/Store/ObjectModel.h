// The description of what an object store holds: entities, their attributes and to-one
// relationships. The store turns each entity into one SQLite table named after the entity, with
// the primary key "Z_PK" and one column per attribute named after the attribute (a to-one
// relationship is an integer column holding the destination's Z_PK). Queries written by the
// store's users refer to those names.
//
// Thread rule: immutable once built; share freely (std::shared_ptr<const ...>).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

class ManagedObject;

/// What an attribute holds; decides its column type (sqlColumnType()).
enum class AttributeKind {
    Integer16,
    Integer32,
    Integer64,
    Float,
    Double,
    Boolean,
    String,
    Date,           ///< seconds since 1970 as a double
    Transformable,  ///< bytes produced by a value transformer (keyed archives)
    ToOne,          ///< a relationship to one object of `destinationEntity`
};

/// The SQLite column type of an attribute kind.
VK_EXPORT const char* sqlColumnType(AttributeKind kind);

/// One attribute (column) of an entity. Build it with scalar(), transformable() or toOne().
struct VK_EXPORT AttributeDescription {
    /// The attribute name, also the column name.
    std::string name;
    /// What the column holds.
    AttributeKind kind = AttributeKind::String;
    /// Whether the column may hold NULL.
    bool optional = true;
    /// Transformable attributes: the name of the value transformer that makes the bytes.
    std::string valueTransformerName;
    /// ToOne: the entity the relationship points to.
    std::string destinationEntity;
    /// Give the column an index (every column a query filters on should have one).
    bool indexed = false;
    /// ToOne: deleting the object also deletes the destination (at the next save).
    bool cascadeDelete = false;

    /// A scalar column of `kind` (neither Transformable nor ToOne), optional, indexed when asked.
    static AttributeDescription scalar(std::string name, AttributeKind kind, bool indexed = false) {
        AttributeDescription a;
        a.name = std::move(name);
        a.kind = kind;
        a.indexed = indexed;
        return a;
    }
    /// A column of keyed-archive bytes read back through the value transformer `transformerName`.
    static AttributeDescription transformable(std::string name, std::string transformerName) {
        AttributeDescription a;
        a.name = std::move(name);
        a.kind = AttributeKind::Transformable;
        a.valueTransformerName = std::move(transformerName);
        return a;
    }
    /// An indexed relationship to one object of the entity `destination`; with `cascade`, deleting
    /// the object also deletes the destination at the next save.
    static AttributeDescription toOne(std::string name, std::string destination, bool cascade) {
        AttributeDescription a;
        a.name = std::move(name);
        a.kind = AttributeKind::ToOne;
        a.destinationEntity = std::move(destination);
        a.indexed = true;
        a.cascadeDelete = cascade;
        return a;
    }
};

/// One entity: a table of objects of one ManagedObject subclass.
struct VK_EXPORT EntityDescription {
    /// The entity name, also the table name.
    std::string name;
    /// The attributes in column order.
    std::vector<AttributeDescription> attributes;
    /// Makes an empty object of this entity (used when fetching and inserting).
    std::function<std::shared_ptr<ManagedObject>()> make;

    /// Index of the attribute named `name`, if any.
    std::optional<size_t> attributeIndex(const std::string& name) const;
};

/// The entities an object store holds, looked up by name. Immutable; share it as
/// std::shared_ptr<const ManagedObjectModel>.
class VK_EXPORT ManagedObjectModel {
  public:
    /// A model of `entities` (names unique) at schema `version` (see version()).
    ManagedObjectModel(std::vector<EntityDescription> entities, int version);

    /// The entity named `name`, or nullptr; valid while the model lives.
    const EntityDescription* entity(const std::string& name) const;
    /// Every entity in the order given.
    const std::vector<std::shared_ptr<const EntityDescription>>& entities() const {
        return entities_;
    }
    /// The entity named `name` as a shared pointer that may outlive the model, or nullptr.
    std::shared_ptr<const EntityDescription> sharedEntity(const std::string& name) const;
    /// Increases whenever attributes are added; stores at an older version get the new columns.
    int version() const { return version_; }

  private:
    std::vector<std::shared_ptr<const EntityDescription>> entities_;
    std::map<std::string, size_t> byName_;
    int version_;
};

}  // namespace vk
