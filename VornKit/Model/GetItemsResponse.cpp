#include "VornKit/Model/GetItemsResponse.h"

#include "VornKit/Model/FieldCoding.h"

namespace vk {

const FieldTable<GetItemsResponse>& GetItemsResponse::fieldTable() {
    static const Immortal<FieldTable<GetItemsResponse>> table(
        "GetItemsResponse",
        {
            field<&GetItemsResponse::Items>("Items", Presence::Required),
            field<&GetItemsResponse::TotalRecordCount>("TotalRecordCount", Presence::Required),
        });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::GetItemsResponse)
