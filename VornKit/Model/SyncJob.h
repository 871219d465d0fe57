// The records of the server's sync-job exchange (downloads for offline use): SyncJobStatus and
// SyncCategory, the job request and data request the client sends, and the job, job items,
// creation result and data response it receives. JSON keys are the member names; optional members
// may be missing on decode and are left out on encode; every other member is required.
//
// SyncJobStatus reads its case name (exact) or an integer (outside 0-6: Queued) and writes the
// integer. SyncCategory reads and writes the integer 0-2; anything else fails.
//
// SyncJobItem decodes its embedded "Item" (which must be an object) into a free-standing
// BaseItemDto; a failure inside the item's own fields is logged under "SyncJobItem" as "Failed to
// initialize BaseItemDto properties <error>" and the job item keeps the fields read so far.
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/ItemFileInfo.h"

namespace vk {

enum class SyncJobStatus : std::int16_t {
    Queued = 0,
    Converting = 1,
    ReadyToTransfer = 2,
    Transferring = 3,
    Completed = 4,
    CompletedWithError = 5,
    Failed = 6,
};

enum class SyncCategory : std::int8_t { Latest = 0, NextUp = 1, Resume = 2 };

VK_EXPORT const EnumCoding& enumCoding(SyncJobStatus);
VK_EXPORT const EnumCoding& enumCoding(SyncCategory);
VK_EXPORT std::optional<SyncJobStatus> syncJobStatusFromRaw(std::int64_t raw);
VK_EXPORT std::optional<SyncJobStatus> syncJobStatusFromName(std::string_view name);

/// What the client asks the server to prepare for download to this device.
struct VK_EXPORT SyncJobRequest {
    /// The request's fields, named as the server's JSON keys; `TargetId` is this device's id,
    /// `ItemIds` the items to download, the rest narrows or converts what the job prepares.
    /// @{
    std::string TargetId;
    std::vector<std::string> ItemIds;
    std::optional<SyncCategory> Category;
    std::string ParentId;
    std::optional<std::string> Quality;
    std::optional<std::string> Profile;
    std::optional<std::string> Container;
    std::optional<std::string> VideoCodec;
    std::optional<std::string> AudioCodec;
    std::optional<std::string> Name;
    std::string UserId;
    bool UnwatchedOnly = false;
    bool SyncNewContent = false;
    std::optional<std::int64_t> ItemLimit;
    std::optional<std::int64_t> Bitrate;
    bool Downloaded = false;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<SyncJobRequest>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const SyncJobRequest&, const SyncJobRequest&) = default;
};

/// A sync job as the server describes it.
struct VK_EXPORT SyncJob {
    /// The job's fields, named as the server's JSON keys; `Status` is where the job stands.
    /// @{
    std::int64_t Id = 0;
    std::optional<std::string> TargetId;
    std::optional<std::string> TargetName;
    std::optional<std::string> Quality;
    std::optional<std::int64_t> Bitrate;
    std::optional<std::string> Container;
    std::optional<std::string> VideoCodec;
    std::optional<std::string> AudioCodec;
    std::optional<std::string> Profile;
    std::optional<SyncCategory> Category;
    std::optional<std::int64_t> ParentId;
    std::optional<double> Progress;
    std::optional<std::string> Name;
    SyncJobStatus Status = SyncJobStatus::Queued;
    std::int64_t UserId = 0;
    std::optional<bool> UnwatchedOnly;
    std::optional<bool> SyncNewContent;
    std::optional<std::int64_t> ItemLimit;
    std::vector<std::int64_t> RequestedItemIds;
    std::optional<std::string> DateCreated;
    std::optional<std::string> DateLastModified;
    std::int64_t ItemCount = 0;
    std::optional<std::string> ParentName;
    std::optional<std::string> PrimaryImageItemId;
    std::optional<std::string> PrimaryImageTag;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<SyncJob>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const SyncJob&, const SyncJob&) = default;
};

/// One item of a sync job: the library item and the files it brings.
struct VK_EXPORT SyncJobItem {
    /// The job item's fields, named as the server's JSON keys: the job it belongs to, the item to
    /// download (`Item`, free-standing) and its further files.
    /// @{
    std::string ServerId;
    std::int64_t SyncJobId = 0;
    std::string SyncJobName;
    std::string SyncJobDateCreated;
    std::int64_t SyncJobItemId = 0;
    std::optional<std::string> OriginalFileName;
    std::shared_ptr<BaseItemDto> Item;
    std::string UserId;
    std::vector<ItemFileInfo> AdditionalFiles;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<SyncJobItem>& fieldTable();
};

/// The server's answer to a job request: the job and its items.
struct VK_EXPORT SyncJobCreationResult {
    /// The job created and its items.
    /// @{
    SyncJob Job;
    std::vector<SyncJobItem> JobItems;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<SyncJobCreationResult>& fieldTable();
};

/// The ids of the items downloaded on this device, sent to reconcile them with the server.
struct VK_EXPORT SyncDataRequest {
    /// This device's id and the ids of the items downloaded on it.
    /// @{
    std::string TargetId;
    std::vector<std::string> LocalItemIds;
    /// @}

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<SyncDataRequest>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const SyncDataRequest&, const SyncDataRequest&) = default;
};

/// The server's answer to a reconciliation: the local items to remove.
struct VK_EXPORT SyncDataResponse {
    /// The ids of the local items the server no longer wants on this device.
    std::vector<std::string> ItemIdsToRemove;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<SyncDataResponse>& fieldTable();
    /// Field-by-field equality.
    friend bool operator==(const SyncDataResponse&, const SyncDataResponse&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::SyncJobRequest)
VK_DECLARE_RECORD_CODING(vk::SyncJob)
VK_DECLARE_RECORD_CODING(vk::SyncJobItem)
VK_DECLARE_RECORD_CODING(vk::SyncJobCreationResult)
VK_DECLARE_RECORD_CODING(vk::SyncDataRequest)
VK_DECLARE_RECORD_CODING(vk::SyncDataResponse)
