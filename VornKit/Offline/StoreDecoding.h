// How store-backed decoding finds its context: a JsonDecoder made by
// OfflineDataController::getManagedObjectDecoder() holds the store context under
// "managedObjectContext"; records of the store's entities decoded with it are created inside that
// context. Call such decodes on the context's queue.
//
// Thread rule: stateless; the returned object is inserted into the context and belongs to its
// queue.
#pragma once

#include <memory>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Platform/Store/ObjectContext.h"

namespace vk {

/// The decoder's store context when it holds one whose model has `entityName`, else nullptr.
VK_EXPORT std::shared_ptr<ObjectContext> storeContextForDecoding(const JsonDecoder& decoder,
                                                                 const std::string& entityName);

/// A new object of `entityName` inserted into the decoder's store context, or nullptr.
template <class T>
std::shared_ptr<T> insertForDecoding(const JsonDecoder& decoder, const std::string& entityName) {
    auto context = storeContextForDecoding(decoder, entityName);
    if (!context) {
        return nullptr;
    }
    auto object = std::make_shared<T>();
    return context->insert(object) ? object : nullptr;
}

}  // namespace vk
