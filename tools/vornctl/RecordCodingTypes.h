// The record types `vornctl inspect` knows. RecordCodingCommand.cpp registers the model's records;
// other files add theirs (the offline store's records, which need a store decoder) with
// VORNCTL_INSPECT_TYPE. Modes a type does not support are left empty.
//
// Thread rule: registration happens during static initialisation; lookups run on the main thread.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace vornctl {

struct InspectType {
    /// JSON text to the re-encoded JSON; false with `out` holding an error description.
    std::function<bool(const std::string& in, std::string& out)> json;
    std::function<bool(const std::string& in, std::string& out)> archive;
    std::function<bool(const std::string& in, std::string& out)> unarchive;
};

/// Types registered from other files.
std::map<std::string, InspectType>& extraInspectTypes();

struct InspectTypeRegistration {
    InspectTypeRegistration(const std::string& name, InspectType type) {
        extraInspectTypes()[name] = std::move(type);
    }
};

}  // namespace vornctl
