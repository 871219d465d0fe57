// MediaSourceInfo: one playable source of a library item (a file or a live stream) with its
// streams. JSON: "MediaStreams" is required (an empty list is fine) and always written; the other
// 21 keys are optional and left out when absent. Archives hold every field under its key, absent
// ones as null; reading an archive never fails (unsuitable entries read as absent, an unsuitable
// "MediaStreams" as the empty list). `Id`, `Path` and `RunTimeTicks` are the fields callers change
// after construction; the others are fixed once built (by convention).
//
// Its value transformer ("MediaSourceInfo") allows MediaSourceInfo, NSArray and MediaStream at
// the top level, so it also reads back lists of streams.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/MediaStream.h"

namespace vk {

/// One playable source of an item and its streams (a plain value).
struct VK_EXPORT MediaSourceInfo {
    MediaSourceInfo() = default;
    /// `Id` and `RunTimeTicks` set, `MediaStreams` empty, everything else absent.
    MediaSourceInfo(std::string_view withId, std::optional<std::int64_t> runtimeTicks)
        : Id(withId), RunTimeTicks(runtimeTicks) {}

    /// The source's fields, named and typed as the server's JSON keys; `MediaStreams` are its
    /// tracks, the Supports... flags say how the player may play it, ticks are 100 ns.
    /// @{
    Text Type;
    std::vector<MediaStream> MediaStreams;
    Text Id;    ///< writable
    Text Path;  ///< writable
    Text Container;
    Text Name;
    Text ETag;
    Text OpenToken;
    Text LiveStreamId;
    Text StreamUrl;
    std::optional<bool> IsRemote;
    std::optional<bool> ReadAtNativeFramerate;
    std::optional<bool> SupportsTranscoding;
    std::optional<bool> SupportsDirectStream;
    std::optional<bool> SupportsDirectPlay;
    std::optional<bool> IsInfiniteStream;
    std::optional<bool> RequiresOpening;
    std::optional<bool> RequiresClosing;
    std::optional<std::int64_t> RunTimeTicks;  ///< writable
    std::optional<std::int64_t> BufferMs;
    std::optional<std::int64_t> DefaultAudioStreamIndex;
    std::optional<std::int64_t> DefaultSubtitleStreamIndex;
    /// @}

    /// A source from JSON text, or absent; a decoding failure logs "Error deserializing
    /// MediaSourceInfo " and the error's description (category "MediaSourceInfo").
    static std::optional<MediaSourceInfo> initWithJson(std::string_view json);
    /// An independent copy made by encoding to JSON and decoding again; absent when either step
    /// fails. The copy shares no storage with this record.
    std::optional<MediaSourceInfo> deepCopy() const;
    /// True only when `IsInfiniteStream` is present and true.
    bool isInfiniteStream() const { return IsInfiniteStream.value_or(false); }
    /// The source's length in ticks (100 ns), absent when the server did not say.
    std::optional<std::int64_t> runTimeTicks() const { return RunTimeTicks; }

    /// A flag callers may read: this record's keyed archives are always read with their classes
    /// checked, whatever it holds (nothing in the framework reads or changes it).
    static inline std::atomic<bool> supportsSecureCoding{true};
    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<MediaSourceInfo>& fieldTable();
    /// The transformer registered as "MediaSourceInfo".
    static std::shared_ptr<const ValueTransformer> valueTransformer();
    /// Field-by-field equality.
    friend bool operator==(const MediaSourceInfo&, const MediaSourceInfo&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::MediaSourceInfo)
