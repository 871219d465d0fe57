// GetItemsResponse: the answer of item queries: the items and the total count on the server.
// Both keys are required.
//
// Thread rule: plain value; the items are shared objects owned by whoever holds the response.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/BaseItemDto.h"

namespace vk {

/// One page of items and the total count on the server.
struct VK_EXPORT GetItemsResponse {
    /// The items of this page and how many the whole query holds.
    /// @{
    std::vector<std::shared_ptr<BaseItemDto>> Items;
    std::int64_t TotalRecordCount = 0;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<GetItemsResponse>& fieldTable();
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::GetItemsResponse)
