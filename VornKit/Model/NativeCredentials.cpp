#include "VornKit/Model/NativeCredentials.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

const FieldTable<NativeCredentials>& NativeCredentials::fieldTable() {
    static const Immortal<FieldTable<NativeCredentials>> table(
        "NativeCredentials",
        {
            field<&NativeCredentials::Servers>("Servers", Presence::Required),
            field<&NativeCredentials::ConnectAccessToken>("ConnectAccessToken", Presence::Optional),
            field<&NativeCredentials::ConnectUserId>("ConnectUserId", Presence::Optional),
        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::NativeCredentials)
