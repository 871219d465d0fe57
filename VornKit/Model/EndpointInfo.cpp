#include "VornKit/Model/EndpointInfo.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

const FieldTable<EndpointInfo>& EndpointInfo::fieldTable() {
    static const Immortal<FieldTable<EndpointInfo>> table(
        "EndpointInfo", {
                            field<&EndpointInfo::IsInNetwork>("IsInNetwork", Presence::Required),
                            field<&EndpointInfo::IsLocal>("IsLocal", Presence::Required),
                        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::EndpointInfo)
