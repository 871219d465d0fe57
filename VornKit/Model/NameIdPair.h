// NameIdPair: a name with the server id it belongs to (an item's album artists and artist items).
// JSON and archive keys "Name" and "Id", both optional, left out / archived as null when absent.
// Its value transformer ("NameIdPair") allows a NameIdPair or an array of them at the top level.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/Text.h"

namespace vk {

class ValueTransformer;

/// A name and the server id it belongs to (a plain value).
struct VK_EXPORT NameIdPair {
    NameIdPair() = default;  // for decoding; callers use the two-value constructor
    /// A pair with both values present.
    NameIdPair(std::string_view name, std::string_view id) : Name(name), Id(id) {}

    /// The name and id, both optional.
    /// @{
    Text Name;
    Text Id;
    /// @}

    /// A flag callers may read: this record's keyed archives are always read with their classes
    /// checked, whatever it holds (nothing in the framework reads or changes it).
    static inline std::atomic<bool> supportsSecureCoding{true};
    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<NameIdPair>& fieldTable();
    /// The transformer registered as "NameIdPair".
    static std::shared_ptr<const ValueTransformer> valueTransformer();
    /// Field-by-field equality.
    friend bool operator==(const NameIdPair&, const NameIdPair&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::NameIdPair)
