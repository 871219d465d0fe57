#include "VornKit/Model/NameIdPair.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Model/ValueTransformer.h"

namespace vk {

const FieldTable<NameIdPair>& NameIdPair::fieldTable() {
    static const Immortal<FieldTable<NameIdPair>> table(
        "NameIdPair", {
                          field<&NameIdPair::Name>("Name", Presence::Optional),
                          field<&NameIdPair::Id>("Id", Presence::Optional),
                      });
    return *table;
}

std::shared_ptr<const ValueTransformer> NameIdPair::valueTransformer() {
    static const Immortal<std::shared_ptr<const ValueTransformer>> transformer(
        std::make_shared<const ValueTransformer>(
            "NameIdPair", std::vector<std::string>{"NameIdPair", "NSArray"}));
    return *transformer;
}

}  // namespace vk

VK_RECORD_CODING(vk::NameIdPair)
