#include "VornKit/Watch/WCCredentialsData.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

const FieldTable<WCCredentialsData>& WCCredentialsData::fieldTable() {
    static const FieldTable<WCCredentialsData> table(
        "WCCredentialsData",
        {
            field<&WCCredentialsData::credentials>("credentials", Presence::Required),
        });
    return table;
}

}  // namespace vk

VK_RECORD_CODING(vk::WCCredentialsData)
