#include "VornKit/Offline/OfflineStoreModel.h"

#include <set>
#include <string>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Offline/LocalItem.h"
#include "VornKit/Offline/OfflineAction.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

namespace {

AttributeKind attributeKind(FieldKind kind) {
    switch (kind) {
        case FieldKind::Boolean:
            return AttributeKind::Boolean;
        case FieldKind::Integer16:
            return AttributeKind::Integer16;
        case FieldKind::Integer32:
            return AttributeKind::Integer32;
        case FieldKind::Integer64:
            return AttributeKind::Integer64;
        case FieldKind::Float:
            return AttributeKind::Float;
        case FieldKind::Double:
            return AttributeKind::Double;
        case FieldKind::Text:
            return AttributeKind::String;
        case FieldKind::Date:
            return AttributeKind::Date;
        case FieldKind::Enumeration:
            return AttributeKind::Integer16;
        case FieldKind::Record:
        case FieldKind::List:
        case FieldKind::Map:
            return AttributeKind::Transformable;
    }
    return AttributeKind::Transformable;
}

/// One attribute per persistent field, in table order (the records' storeValue indexes).
template <class R>
EntityDescription entityFromTable(const std::string& name, const std::set<std::string>& indexed) {
    EntityDescription entity;
    entity.name = name;
    entity.make = [] { return std::make_shared<R>(); };
    for (const auto& field : R::fieldTable().fields()) {
        AttributeDescription a;
        a.name = std::string(field.attribute);
        a.kind = attributeKind(field.kind);
        a.optional = field.presence == Presence::Optional;
        a.valueTransformerName = std::string(field.transformer);
        a.indexed = indexed.count(a.name) > 0;
        entity.attributes.push_back(std::move(a));
    }
    return entity;
}

}  // namespace

std::shared_ptr<const ManagedObjectModel> OfflineStoreModel::shared() {
    static const Immortal<std::shared_ptr<const ManagedObjectModel>> model(std::in_place, [] {
        auto item = entityFromTable<BaseItemDto>(
            BaseItemDto::kEntityName,
            {"serverId", "type", "isFolder", "parentId", "seasonId", "seriesId", "albumId"});
        auto local = entityFromTable<LocalItem>(LocalItem::kEntityName,
                                                {"serverId", "itemId", "status", "localPath"});
        for (auto& a : local.attributes) {
            if (a.name == LocalItem::kItemAttribute) {
                a = AttributeDescription::toOne(a.name, BaseItemDto::kEntityName, true);
            }
        }
        auto action = entityFromTable<OfflineAction>(OfflineAction::kEntityName, {});
        return std::make_shared<const ManagedObjectModel>(
            std::vector<EntityDescription>{std::move(item), std::move(local), std::move(action)},
            kVersion);
    });
    return *model;
}

}  // namespace vk
