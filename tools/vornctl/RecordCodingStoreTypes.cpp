// `vornctl inspect json` for the offline store's records (LocalItem, OfflineAction): they only
// decode with a store decoder, so each run decodes into a throw-away store in a temporary
// directory, which is removed afterwards.
#include <stdlib.h>

#include <filesystem>

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Offline/OfflineDataController.h"
#include "tools/vornctl/RecordCodingTypes.h"

namespace {

template <class T>
bool decodeInThrowAwayStore(const std::string& in, std::string& out) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vornctl-store-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        out = "cannot create a temporary store";
        return false;
    }
    const std::filesystem::path root(pattern);
    bool ok = false;
    {
        vk::OfflineDataController store(
            vk::OfflineDataController::Locations{root / "group", root / "documents"});
        auto [decoder, context] = store.getManagedObjectDecoder();
        decoder.dateDecodingStrategy = vk::DateCodingStrategy::MillisecondsSince1970;
        auto value = decoder.decode<std::shared_ptr<T>>(in);
        if (!value) {
            out = value.error().description();
        } else {
            vk::JsonEncoder encoder;
            encoder.dateEncodingStrategy = vk::DateCodingStrategy::MillisecondsSince1970;
            auto json = encoder.encode(*value);
            ok = json.has_value();
            out = ok ? *json : "the record holds a value JSON cannot represent";
        }
        store.reset();
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return ok;
}

const vornctl::InspectTypeRegistration localItem(
    "LocalItem", vornctl::InspectType{decodeInThrowAwayStore<vk::LocalItem>, {}, {}});
const vornctl::InspectTypeRegistration offlineAction(
    "OfflineAction", vornctl::InspectType{decodeInThrowAwayStore<vk::OfflineAction>, {}, {}});

}  // namespace
