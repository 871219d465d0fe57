// MediaStream: one stream (video, audio, subtitle track) of a media source. All 38 fields are
// optional in JSON and archives; absent fields are left out of JSON and archived as null.
// `DeliveryMethod` and `Path` are the fields callers change after construction; the others are
// fixed once built (by convention: a shared stream is only read). `NalLengthSize` is text, as the
// server sends it. Its value transformer ("MediaStream") allows a single MediaStream only.
//
// Thread rule: plain value; externally synchronised.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/Text.h"

namespace vk {

class ValueTransformer;

/// One stream of a media source (a plain value).
struct VK_EXPORT MediaStream {
    /// The stream's fields, named and typed as the server's JSON keys, all optional; `Type` says
    /// what kind of track it is, `Index` is the stream's number within its source.
    /// @{
    Text Type;
    Text DeliveryMethod;  ///< writable
    Text Codec;
    Text CodecTag;
    Text Language;
    Text Comment;
    Text TimeBase;
    Text CodecTimeBase;
    Text Title;
    Text DisplayTitle;
    Text NalLengthSize;
    Text ChannelLayout;
    Text Profile;
    Text AspectRatio;
    Text Path;  ///< writable
    Text ExternalId;
    Text PixelFormat;
    Text DeliveryUrl;
    Text Extradata;
    std::optional<bool> IsInterlaced;
    std::optional<bool> IsAVC;
    std::optional<bool> IsDefault;
    std::optional<bool> IsForced;
    std::optional<bool> IsExternal;
    std::optional<bool> SupportsExternalStream;
    std::optional<bool> IsAnamorphic;
    std::optional<std::int64_t> BitDepth;
    std::optional<std::int64_t> RefFrames;
    std::optional<std::int64_t> PacketLength;
    std::optional<std::int64_t> Channels;
    std::optional<std::int64_t> SampleRate;
    std::optional<std::int64_t> Height;
    std::optional<std::int64_t> Width;
    std::optional<std::int64_t> Index;
    std::optional<std::int64_t> Score;
    std::optional<float> AverageFrameRate;
    std::optional<float> RealFrameRate;
    std::optional<double> Level;
    /// @}

    /// A stream from JSON text, or absent when the text does not decode (nothing is logged).
    static std::optional<MediaStream> initWithJson(std::string_view json);
    /// True only when `IsInterlaced` is present and true.
    bool isInterlaced() const { return IsInterlaced.value_or(false); }
    /// True only when `IsExternal` is present and true.
    bool isExternal() const { return IsExternal.value_or(false); }
    /// `Index`, or 0 when absent.
    std::int64_t index() const { return Index.value_or(0); }

    /// A flag callers may read: this record's keyed archives are always read with their classes
    /// checked, whatever it holds (nothing in the framework reads or changes it).
    static inline std::atomic<bool> supportsSecureCoding{true};
    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<MediaStream>& fieldTable();
    /// The transformer registered as "MediaStream".
    static std::shared_ptr<const ValueTransformer> valueTransformer();
    /// Field-by-field equality.
    friend bool operator==(const MediaStream&, const MediaStream&) = default;
};

}  // namespace vk

VK_DECLARE_RECORD_CODING(vk::MediaStream)
