#include "VornKit/Model/EndpointInfo.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

const FieldTable<EndpointInfo>& EndpointInfo::fieldTable() {
    // Never destroyed: a completion may still decode an answer while the process exits.
    static const auto* table = new FieldTable<EndpointInfo>(
        "EndpointInfo", {
                            field<&EndpointInfo::IsInNetwork>("IsInNetwork", Presence::Required),
                            field<&EndpointInfo::IsLocal>("IsLocal", Presence::Required),
                        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::EndpointInfo)
