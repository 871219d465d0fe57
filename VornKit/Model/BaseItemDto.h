// BaseItemDto: the one record for every library item the server returns (songs, albums, artists,
// movies, episodes, folders, photos, channels, recordings), with the item's 121 fields in table
// order, a few derived values, and its place in the offline store (entity "BaseItemDto", the
// persistent attributes named in lower camel case: "runTimeTicks").
//
// An object with identity: always held by std::shared_ptr. Decoding creates a free-standing
// object unless the decoder's user information holds a store context under
// "managedObjectContext" and the store has installed a factory (setStoreObjectFactory), which then
// makes an object inserted into that context.
//
// JSON (keys are the member names): "Id" and "ServerId" are required; scalars (integers, floats,
// Booleans) read absent or null as 0/false and are always written; "ImageTags" reads absent as {}
// and "AlbumArtists"/"ArtistItems" as [], all three always written; every other text, list and
// map is optional and left out when absent. Dates are held as the server's text, unparsed.
//
// Thread rule: a free-standing record belongs to whoever holds it; a stored one is read and
// written only on its store context's queue.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Model/MediaStream.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/Text.h"
#include "VornKit/Model/TextMap.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Platform/Store/FetchRequest.h"
#include "VornKit/Platform/Store/ManagedObject.h"

namespace vk {

/// A library item as the server describes it; shared (std::shared_ptr), externally synchronised.
class VK_EXPORT BaseItemDto : public ManagedObject {
  public:
    /// The store entity's name, also the archived class name.
    static constexpr const char* kEntityName = "BaseItemDto";
    /// The decoder user-information key under which the offline store passes its context.
    static constexpr const char* kContextKey = "managedObjectContext";

    BaseItemDto() : ManagedObject(kEntityName) {}

    /// The item's fields, named and typed as the server's JSON keys, in table order (see the top of
    /// this file for required keys and how absent values read). Ticks are 100 ns; dates are the
    /// server's text, unparsed; image tags are the cache keys of the item's images by image type.
    /// @{
    std::optional<std::vector<MediaSourceInfo>> MediaSources;
    /// The signed-in user's state for the item: played, position, favourite.
    std::optional<UserItemDataDto> UserData;
    std::optional<std::vector<MediaStream>> MediaStreams;
    /// The item's image tags by image type ("Primary", "Logo", ...): the cache keys of its images.
    TextMap ImageTags;
    std::vector<NameIdPair> AlbumArtists;
    std::vector<NameIdPair> ArtistItems;
    Text Name;
    Text OriginalTitle;
    /// The id of the server the item belongs to (required).
    Text ServerId;
    /// The item's id on its server (required); a downloaded item's begins with "local:".
    Text Id;
    Text Etag;
    Text PlaylistItemId;
    Text DateCreated;
    Text ExtraType;
    std::int32_t AirsBeforeSeasonNumber = 0;
    std::int32_t AirsAfterSeasonNumber = 0;
    std::int32_t AirsBeforeEpisodeNumber = 0;
    bool DisplaySpecialsWithSeasons = false;
    bool CanDelete = false;
    bool CanDownload = false;
    bool SupportsResume = false;
    Text PresentationUniqueKey;
    Text PreferredMetadataLanguage;
    Text PreferredMetadataCountryCode;
    bool SupportsSync = false;
    Text Container;
    Text SortName;
    Text ForcedSortName;
    Text PremiereDate;
    float CriticRating = 0.0f;
    std::int64_t GameSystemId = 0;
    Text GameSystem;
    std::optional<std::vector<Text>> ProductionLocations;
    Text Path;
    Text OfficialRating;
    Text CustomRating;
    Text ChannelId;
    Text ChannelName;
    Text Overview;
    std::optional<std::vector<Text>> Taglines;
    std::optional<std::vector<Text>> Genres;
    float CommunityRating = 0.0f;
    /// The item's length in ticks of 100 ns; 0 when unknown.
    std::int64_t RunTimeTicks = 0;
    std::int32_t ProductionYear = 0;
    Text Number;
    Text ChannelNumber;
    std::int32_t IndexNumber = 0;
    std::int32_t IndexNumberEnd = 0;
    std::int32_t ParentIndexNumber = 0;
    std::optional<TextMap> ProviderIds;
    bool IsFolder = false;
    Text ParentId;
    /// What kind of item it is ("Audio", "MusicAlbum", "MusicArtist", ...).
    Text Type;
    Text ParentLogoItemId;
    Text ParentBackdropItemId;
    std::optional<std::vector<Text>> ParentBackdropImageTags;
    std::int32_t LocalTrailerCount = 0;
    std::int32_t RecursiveItemCount = 0;
    std::int32_t ChildCount = 0;
    Text SeriesName;
    Text SeriesId;
    Text SeasonId;
    std::int32_t SpecialFeatureCount = 0;
    Text DisplayPreferencesId;
    Text Status;
    Text AirTime;
    std::optional<std::vector<Text>> AirDays;
    std::optional<std::vector<Text>> Tags;
    double PrimaryImageAspectRatio = 0.0;
    std::optional<std::vector<Text>> Artists;
    Text Album;
    Text CollectionType;
    Text DisplayOrder;
    Text AlbumId;
    Text AlbumPrimaryImageTag;
    Text SeriesPrimaryImageTag;
    Text AlbumArtist;
    Text SeasonName;
    std::int32_t PartCount = 0;
    std::optional<std::vector<Text>> BackdropImageTags;
    Text ParentLogoImageTag;
    Text SeriesStudio;
    Text ParentThumbItemId;
    Text ParentThumbImageTag;
    Text ParentPrimaryImageItemId;
    Text ParentPrimaryImageTag;
    Text MediaType;
    Text EndDate;
    bool LockData = false;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    Text CameraMake;
    Text CameraModel;
    Text Software;
    double ExposureTime = 0.0;
    double FocalLength = 0.0;
    double Aperture = 0.0;
    double ShutterSpeed = 0.0;
    double Latitude = 0.0;
    double Altitude = 0.0;
    std::int32_t IsoSpeedRating = 0;
    Text SeriesTimerId;
    Text ChannelPrimaryImageTag;
    Text StartDate;
    double CompletionPercentage = 0.0;
    bool IsRepeat = false;
    bool IsNew = false;
    Text EpisodeTitle;
    bool IsMovie = false;
    bool IsSports = false;
    bool IsSeries = false;
    bool IsLive = false;
    bool IsNews = false;
    bool IsKids = false;
    bool IsPremiere = false;
    Text TimerId;
    std::int32_t MovieCount = 0;
    std::int32_t SeriesCount = 0;
    std::int32_t AlbumCount = 0;
    std::int32_t SongCount = 0;
    std::int32_t MusicVideoCount = 0;
    /// @}

    // Derived values, computed on every read.

    /// `Id` without everything up to and including its first "local:"; `Id` itself otherwise.
    std::string remoteItemId() const;
    /// `ServerId` + "/" + remoteItemId().
    std::string mediaId() const;
    /// True when `Type`, lower-cased, is "musicartist".
    bool isArtistItem() const;
    /// For "audio" and "musicalbum" items with at least one artist: first artist + " - " + name;
    /// `Name` otherwise.
    Text fullName() const;
    /// The tag of the item's Primary image, absent when it has none (the image URL's cache key).
    Text primaryImageTag() const { return ImageTags.find("Primary"); }
    /// The tag of the item's Logo image, absent when it has none.
    Text logoImageTag() const { return ImageTags.find("Logo"); }
    /// The tag of the item's Art image, absent when it has none.
    Text artImageTag() const { return ImageTags.find("Art"); }
    /// The tag of the item's Banner image, absent when it has none.
    Text bannerImageTag() const { return ImageTags.find("Banner"); }
    /// The tag of the item's Thumb image, absent when it has none.
    Text thumbImageTag() const { return ImageTags.find("Thumb"); }
    /// The identity value (`Id`).
    std::string_view id() const { return Id.view(); }

    /// Fills every attribute from one JSON object, as decoding does; stops at the first error and
    /// returns it (fields read so far keep their new values).
    std::optional<DecodingError> decodeFields(std::string_view objectJson,
                                              const JsonDecoder& decoder = {});
    /// The same, inside a running decode (the sync job item reads its embedded item this way).
    bool decodeFields(JsonValueHandle& object, JsonReadContext& ctx);

    /// A free-standing copy of every attribute (shares no storage).
    std::shared_ptr<BaseItemDto> copy() const;

    // The store's view: one attribute per field, in table order.
    StoreValue storeValue(size_t index) const override;
    void setStoreValue(size_t index, const StoreValue& value) override;

    /// The record's fields, in order: the one table its coding runs from (built once, immutable).
    static const FieldTable<BaseItemDto>& fieldTable();

    /// Makes the object a decode fills in (see the class comment).
    static std::shared_ptr<BaseItemDto> makeForDecoding(const JsonDecoder& decoder);
    /// Installed by the offline store: given the value under "managedObjectContext", returns a
    /// new object inserted into that context, or nullptr when the value is no usable context.
    using StoreObjectFactory = std::function<std::shared_ptr<BaseItemDto>(const std::any&)>;
    /// Replaces the factory for every later decode (thread-safe); an empty one makes decodes
    /// free-standing again.
    static void setStoreObjectFactory(StoreObjectFactory factory);
    /// A fetch request for entity "BaseItemDto" (FetchRequest.h), for queries of the host's own.
    static FetchRequest fetchRequest();
};

}  // namespace vk

extern template const ::vk::TypeCoding& ::vk::typeCoding<vk::BaseItemDto>();
extern template const ::vk::TypeCoding& ::vk::typeCoding<std::shared_ptr<vk::BaseItemDto>>();
extern template const ::vk::TypeCoding& ::vk::typeCoding<
    std::vector<std::shared_ptr<vk::BaseItemDto>>>();
