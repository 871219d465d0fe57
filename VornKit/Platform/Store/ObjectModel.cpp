#include "VornKit/Platform/Store/ObjectModel.h"

namespace vk {

const char* sqlColumnType(AttributeKind kind) {
    switch (kind) {
        case AttributeKind::Integer16:
        case AttributeKind::Integer32:
        case AttributeKind::Integer64:
        case AttributeKind::Boolean:
        case AttributeKind::ToOne:
            return "INTEGER";
        case AttributeKind::Float:
        case AttributeKind::Double:
        case AttributeKind::Date:
            return "REAL";
        case AttributeKind::String:
            return "TEXT";
        case AttributeKind::Transformable:
            return "BLOB";
    }
    return "BLOB";
}

std::optional<size_t> EntityDescription::attributeIndex(const std::string& attribute) const {
    for (size_t i = 0; i < attributes.size(); ++i) {
        if (attributes[i].name == attribute) {
            return i;
        }
    }
    return std::nullopt;
}

ManagedObjectModel::ManagedObjectModel(std::vector<EntityDescription> entities, int version)
    : version_(version) {
    for (auto& e : entities) {
        byName_[e.name] = entities_.size();
        entities_.push_back(std::make_shared<const EntityDescription>(std::move(e)));
    }
}

const EntityDescription* ManagedObjectModel::entity(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : entities_[it->second].get();
}

std::shared_ptr<const EntityDescription> ManagedObjectModel::sharedEntity(
    const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : entities_[it->second];
}

}  // namespace vk
