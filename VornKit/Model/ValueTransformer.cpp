#include "VornKit/Model/ValueTransformer.h"

#include <map>
#include <mutex>

#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Model/MediaStream.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

namespace {

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::shared_ptr<const ValueTransformer>>& registry() {
    static Immortal<std::map<std::string, std::shared_ptr<const ValueTransformer>>> map;
    return *map;
}

}  // namespace

void ValueTransformer::setValueTransformer(std::shared_ptr<const ValueTransformer> transformer,
                                           const std::string& name) {
    std::lock_guard lock(registryMutex());
    if (transformer) {
        registry()[name] = std::move(transformer);
    } else {
        registry().erase(name);
    }
}

std::shared_ptr<const ValueTransformer> ValueTransformer::forName(const std::string& name) {
    registerModelValueTransformers();
    std::lock_guard lock(registryMutex());
    auto it = registry().find(name);
    return it == registry().end() ? nullptr : it->second;
}

std::vector<std::string> ValueTransformer::defaultAllowedClasses() {
    return {"NSArray", "NSDictionary", "NSString", "NSNumber", "NSDate"};
}

void registerModelValueTransformers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const auto& transformer :
             {MediaStream::valueTransformer(), MediaSourceInfo::valueTransformer(),
              UserItemDataDto::valueTransformer(), NameIdPair::valueTransformer()}) {
            ValueTransformer::setValueTransformer(transformer, transformer->name());
            setArchivedClassName("Vorn." + transformer->name(), transformer->name());
        }
    });
}

}  // namespace vk
