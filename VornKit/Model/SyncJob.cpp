#include "VornKit/Model/SyncJob.h"

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

bool decodeSyncJobStatus(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    if (tokenType(h) == JsonTokenType::String) {
        std::string_view text;
        if (!decodeJsonString(h, text, ctx))
            return false;
        auto status = syncJobStatusFromName(text);
        if (!status) {
            // Not a case name; read as an integer, which a text never is.
            return ctx.fail(DecodingErrorKind::TypeMismatch,
                            "Expected to decode Int16 but found a string instead (\"" +
                                std::string(text.substr(0, 40)) + "\" is no SyncJobStatus).");
        }
        value = static_cast<std::int64_t>(*status);
        return true;
    }
    std::int64_t raw = 0;
    if (!decodeJsonInteger(h, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max(), "SyncJobStatus", raw, ctx)) {
        return false;
    }
    value = static_cast<std::int64_t>(syncJobStatusFromRaw(raw).value_or(SyncJobStatus::Queued));
    return true;
}

bool decodeSyncCategory(JsonValueHandle& h, std::int64_t& value, JsonReadContext& ctx) {
    std::int64_t raw = 0;
    if (!decodeJsonInteger(h, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max(), "SyncCategory", raw, ctx)) {
        return false;
    }
    if (raw < 0 || raw > 2) {
        return ctx.fail(
            DecodingErrorKind::DataCorrupted,
            "Cannot initialize SyncCategory from invalid Int8 value " + std::to_string(raw));
    }
    value = raw;
    return true;
}

/// The embedded item: required and an object; failures inside its fields are only logged.
bool decodeEmbeddedItem(SyncJobItem& record, JsonValueHandle& h, JsonReadContext& ctx) {
    if (tokenType(h) != JsonTokenType::Object) {
        return ctx.fail(DecodingErrorKind::TypeMismatch,
                        "Expected to decode a BaseItemDto object but found another value.");
    }
    std::string_view text;
    if (!rawJsonValue(h, ctx, text))
        return false;
    auto item = std::make_shared<BaseItemDto>();
    if (auto failure = item->decodeFields(text, *ctx.decoder)) {
        static const Immortal<Logger> logger("SyncJobItem");
        logger->log("Failed to initialize BaseItemDto properties " + failure->description());
    }
    record.Item = std::move(item);
    return true;
}

}  // namespace

std::optional<SyncJobStatus> syncJobStatusFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 6)
        return std::nullopt;
    return static_cast<SyncJobStatus>(raw);
}

std::optional<SyncJobStatus> syncJobStatusFromName(std::string_view name) {
    auto value = enumCoding(SyncJobStatus{}).fromName(name);
    if (!value)
        return std::nullopt;
    return static_cast<SyncJobStatus>(*value);
}

const EnumCoding& enumCoding(SyncJobStatus) {
    static const Immortal<EnumCoding> coding(EnumCoding{"SyncJobStatus",
                                                        false,
                                                        {
                                                            {0, "Queued", {}},
                                                            {1, "Converting", {}},
                                                            {2, "ReadyToTransfer", {}},
                                                            {3, "Transferring", {}},
                                                            {4, "Completed", {}},
                                                            {5, "CompletedWithError", {}},
                                                            {6, "Failed", {}},
                                                        },
                                                        decodeSyncJobStatus});
    return *coding;
}

const EnumCoding& enumCoding(SyncCategory) {
    static const Immortal<EnumCoding> coding(
        EnumCoding{"SyncCategory",
                   false,
                   {{0, "Latest", {}}, {1, "NextUp", {}}, {2, "Resume", {}}},
                   decodeSyncCategory});
    return *coding;
}

const FieldTable<SyncJobRequest>& SyncJobRequest::fieldTable() {
    using S = SyncJobRequest;
    static const Immortal<FieldTable<S>> table(
        "SyncJobRequest", {
                              field<&S::TargetId>("TargetId", Presence::Required),
                              field<&S::ItemIds>("ItemIds", Presence::Required),
                              field<&S::Category>("Category", Presence::Optional),
                              field<&S::ParentId>("ParentId", Presence::Required),
                              field<&S::Quality>("Quality", Presence::Optional),
                              field<&S::Profile>("Profile", Presence::Optional),
                              field<&S::Container>("Container", Presence::Optional),
                              field<&S::VideoCodec>("VideoCodec", Presence::Optional),
                              field<&S::AudioCodec>("AudioCodec", Presence::Optional),
                              field<&S::Name>("Name", Presence::Optional),
                              field<&S::UserId>("UserId", Presence::Required),
                              field<&S::UnwatchedOnly>("UnwatchedOnly", Presence::Required),
                              field<&S::SyncNewContent>("SyncNewContent", Presence::Required),
                              field<&S::ItemLimit>("ItemLimit", Presence::Optional),
                              field<&S::Bitrate>("Bitrate", Presence::Optional),
                              field<&S::Downloaded>("Downloaded", Presence::Required),
                          });
    return *table;
}

const FieldTable<SyncJob>& SyncJob::fieldTable() {
    using S = SyncJob;
    static const Immortal<FieldTable<S>> table(
        "SyncJob", {
                       field<&S::Id>("Id", Presence::Required),
                       field<&S::TargetId>("TargetId", Presence::Optional),
                       field<&S::TargetName>("TargetName", Presence::Optional),
                       field<&S::Quality>("Quality", Presence::Optional),
                       field<&S::Bitrate>("Bitrate", Presence::Optional),
                       field<&S::Container>("Container", Presence::Optional),
                       field<&S::VideoCodec>("VideoCodec", Presence::Optional),
                       field<&S::AudioCodec>("AudioCodec", Presence::Optional),
                       field<&S::Profile>("Profile", Presence::Optional),
                       field<&S::Category>("Category", Presence::Optional),
                       field<&S::ParentId>("ParentId", Presence::Optional),
                       field<&S::Progress>("Progress", Presence::Optional),
                       field<&S::Name>("Name", Presence::Optional),
                       field<&S::Status>("Status", Presence::Required),
                       field<&S::UserId>("UserId", Presence::Required),
                       field<&S::UnwatchedOnly>("UnwatchedOnly", Presence::Optional),
                       field<&S::SyncNewContent>("SyncNewContent", Presence::Optional),
                       field<&S::ItemLimit>("ItemLimit", Presence::Optional),
                       field<&S::RequestedItemIds>("RequestedItemIds", Presence::Required),
                       field<&S::DateCreated>("DateCreated", Presence::Optional),
                       field<&S::DateLastModified>("DateLastModified", Presence::Optional),
                       field<&S::ItemCount>("ItemCount", Presence::Required),
                       field<&S::ParentName>("ParentName", Presence::Optional),
                       field<&S::PrimaryImageItemId>("PrimaryImageItemId", Presence::Optional),
                       field<&S::PrimaryImageTag>("PrimaryImageTag", Presence::Optional),
                   });
    return *table;
}

const FieldTable<SyncJobItem>& SyncJobItem::fieldTable() {
    using S = SyncJobItem;
    static const Immortal<FieldTable<S>> table(std::in_place, [] {
        auto item = field<&S::Item>("Item", Presence::Required);
        item.decodeJson = decodeEmbeddedItem;
        return FieldTable<S>(
            "SyncJobItem",
            {
                field<&S::ServerId>("ServerId", Presence::Required),
                field<&S::SyncJobId>("SyncJobId", Presence::Required),
                field<&S::SyncJobName>("SyncJobName", Presence::Required),
                field<&S::SyncJobDateCreated>("SyncJobDateCreated", Presence::Required),
                field<&S::SyncJobItemId>("SyncJobItemId", Presence::Required),
                field<&S::OriginalFileName>("OriginalFileName", Presence::Optional),
                item,
                field<&S::UserId>("UserId", Presence::Required),
                field<&S::AdditionalFiles>("AdditionalFiles", Presence::Required),
            });
    });
    return *table;
}

const FieldTable<SyncJobCreationResult>& SyncJobCreationResult::fieldTable() {
    using S = SyncJobCreationResult;
    static const Immortal<FieldTable<S>> table(
        "SyncJobCreationResult", {
                                     field<&S::Job>("Job", Presence::Required),
                                     field<&S::JobItems>("JobItems", Presence::Required),
                                 });
    return *table;
}

const FieldTable<SyncDataRequest>& SyncDataRequest::fieldTable() {
    using S = SyncDataRequest;
    static const Immortal<FieldTable<S>> table(
        "SyncDataRequest", {
                               field<&S::TargetId>("TargetId", Presence::Required),
                               field<&S::LocalItemIds>("LocalItemIds", Presence::Required),
                           });
    return *table;
}

const FieldTable<SyncDataResponse>& SyncDataResponse::fieldTable() {
    using S = SyncDataResponse;
    static const Immortal<FieldTable<S>> table(
        "SyncDataResponse", {
                                field<&S::ItemIdsToRemove>("ItemIdsToRemove", Presence::Required),
                            });
    return *table;
}

}  // namespace vk

VK_RECORD_CODING(vk::SyncJobRequest)
VK_RECORD_CODING(vk::SyncJob)
VK_RECORD_CODING(vk::SyncJobItem)
VK_RECORD_CODING(vk::SyncJobCreationResult)
VK_RECORD_CODING(vk::SyncDataRequest)
VK_RECORD_CODING(vk::SyncDataResponse)
