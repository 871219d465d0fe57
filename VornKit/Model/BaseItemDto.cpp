#include "VornKit/Model/BaseItemDto.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

const FieldTable<BaseItemDto>& BaseItemDto::fieldTable() {
    using B = BaseItemDto;
    static const Immortal<FieldTable<B>> table(
        "BaseItemDto",
        {
            field<&B::MediaSources>("MediaSources", Presence::Optional, "mediaSources",
                                    "MediaSourceInfo"),
            field<&B::UserData>("UserData", Presence::Optional, "userData", "UserItemDataDto"),
            field<&B::MediaStreams>("MediaStreams", Presence::Optional, "mediaStreams",
                                    "MediaSourceInfo"),
            field<&B::ImageTags>("ImageTags", Presence::Defaulted, "imageTags"),
            field<&B::AlbumArtists>("AlbumArtists", Presence::Defaulted, "albumArtists",
                                    "NameIdPair"),
            field<&B::ArtistItems>("ArtistItems", Presence::Defaulted, "artistItems", "NameIdPair"),
            field<&B::Name>("Name", Presence::Optional, "name"),
            field<&B::OriginalTitle>("OriginalTitle", Presence::Optional, "originalTitle"),
            field<&B::ServerId>("ServerId", Presence::Required, "serverId"),
            field<&B::Id>("Id", Presence::Required, "id"),
            field<&B::Etag>("Etag", Presence::Optional, "etag"),
            field<&B::PlaylistItemId>("PlaylistItemId", Presence::Optional, "playlistItemId"),
            field<&B::DateCreated>("DateCreated", Presence::Optional, "dateCreated"),
            field<&B::ExtraType>("ExtraType", Presence::Optional, "extraType"),
            field<&B::AirsBeforeSeasonNumber>("AirsBeforeSeasonNumber", Presence::Defaulted,
                                              "airsBeforeSeasonNumber"),
            field<&B::AirsAfterSeasonNumber>("AirsAfterSeasonNumber", Presence::Defaulted,
                                             "airsAfterSeasonNumber"),
            field<&B::AirsBeforeEpisodeNumber>("AirsBeforeEpisodeNumber", Presence::Defaulted,
                                               "airsBeforeEpisodeNumber"),
            field<&B::DisplaySpecialsWithSeasons>("DisplaySpecialsWithSeasons", Presence::Defaulted,
                                                  "displaySpecialsWithSeasons"),
            field<&B::CanDelete>("CanDelete", Presence::Defaulted, "canDelete"),
            field<&B::CanDownload>("CanDownload", Presence::Defaulted, "canDownload"),
            field<&B::SupportsResume>("SupportsResume", Presence::Defaulted, "supportsResume"),
            field<&B::PresentationUniqueKey>("PresentationUniqueKey", Presence::Optional,
                                             "presentationUniqueKey"),
            field<&B::PreferredMetadataLanguage>("PreferredMetadataLanguage", Presence::Optional,
                                                 "preferredMetadataLanguage"),
            field<&B::PreferredMetadataCountryCode>(
                "PreferredMetadataCountryCode", Presence::Optional, "preferredMetadataCountryCode"),
            field<&B::SupportsSync>("SupportsSync", Presence::Defaulted, "supportsSync"),
            field<&B::Container>("Container", Presence::Optional, "container"),
            field<&B::SortName>("SortName", Presence::Optional, "sortName"),
            field<&B::ForcedSortName>("ForcedSortName", Presence::Optional, "forcedSortName"),
            field<&B::PremiereDate>("PremiereDate", Presence::Optional, "premiereDate"),
            field<&B::CriticRating>("CriticRating", Presence::Defaulted, "criticRating"),
            field<&B::GameSystemId>("GameSystemId", Presence::Defaulted, "gameSystemId"),
            field<&B::GameSystem>("GameSystem", Presence::Optional, "gameSystem"),
            field<&B::ProductionLocations>("ProductionLocations", Presence::Optional,
                                           "productionLocations"),
            field<&B::Path>("Path", Presence::Optional, "path"),
            field<&B::OfficialRating>("OfficialRating", Presence::Optional, "officialRating"),
            field<&B::CustomRating>("CustomRating", Presence::Optional, "customRating"),
            field<&B::ChannelId>("ChannelId", Presence::Optional, "channelId"),
            field<&B::ChannelName>("ChannelName", Presence::Optional, "channelName"),
            field<&B::Overview>("Overview", Presence::Optional, "overview"),
            field<&B::Taglines>("Taglines", Presence::Optional, "taglines"),
            field<&B::Genres>("Genres", Presence::Optional, "genres"),
            field<&B::CommunityRating>("CommunityRating", Presence::Defaulted, "communityRating"),
            field<&B::RunTimeTicks>("RunTimeTicks", Presence::Defaulted, "runTimeTicks"),
            field<&B::ProductionYear>("ProductionYear", Presence::Defaulted, "productionYear"),
            field<&B::Number>("Number", Presence::Optional, "number"),
            field<&B::ChannelNumber>("ChannelNumber", Presence::Optional, "channelNumber"),
            field<&B::IndexNumber>("IndexNumber", Presence::Defaulted, "indexNumber"),
            field<&B::IndexNumberEnd>("IndexNumberEnd", Presence::Defaulted, "indexNumberEnd"),
            field<&B::ParentIndexNumber>("ParentIndexNumber", Presence::Defaulted,
                                         "parentIndexNumber"),
            field<&B::ProviderIds>("ProviderIds", Presence::Optional, "providerIds"),
            field<&B::IsFolder>("IsFolder", Presence::Defaulted, "isFolder"),
            field<&B::ParentId>("ParentId", Presence::Optional, "parentId"),
            field<&B::Type>("Type", Presence::Optional, "type"),
            field<&B::ParentLogoItemId>("ParentLogoItemId", Presence::Optional, "parentLogoItemId"),
            field<&B::ParentBackdropItemId>("ParentBackdropItemId", Presence::Optional,
                                            "parentBackdropItemId"),
            field<&B::ParentBackdropImageTags>("ParentBackdropImageTags", Presence::Optional,
                                               "parentBackdropImageTags"),
            field<&B::LocalTrailerCount>("LocalTrailerCount", Presence::Defaulted,
                                         "localTrailerCount"),
            field<&B::RecursiveItemCount>("RecursiveItemCount", Presence::Defaulted,
                                          "recursiveItemCount"),
            field<&B::ChildCount>("ChildCount", Presence::Defaulted, "childCount"),
            field<&B::SeriesName>("SeriesName", Presence::Optional, "seriesName"),
            field<&B::SeriesId>("SeriesId", Presence::Optional, "seriesId"),
            field<&B::SeasonId>("SeasonId", Presence::Optional, "seasonId"),
            field<&B::SpecialFeatureCount>("SpecialFeatureCount", Presence::Defaulted,
                                           "specialFeatureCount"),
            field<&B::DisplayPreferencesId>("DisplayPreferencesId", Presence::Optional,
                                            "displayPreferencesId"),
            field<&B::Status>("Status", Presence::Optional, "status"),
            field<&B::AirTime>("AirTime", Presence::Optional, "airTime"),
            field<&B::AirDays>("AirDays", Presence::Optional, "airDays"),
            field<&B::Tags>("Tags", Presence::Optional, "tags"),
            field<&B::PrimaryImageAspectRatio>("PrimaryImageAspectRatio", Presence::Defaulted,
                                               "primaryImageAspectRatio"),
            field<&B::Artists>("Artists", Presence::Optional, "artists"),
            field<&B::Album>("Album", Presence::Optional, "album"),
            field<&B::CollectionType>("CollectionType", Presence::Optional, "collectionType"),
            field<&B::DisplayOrder>("DisplayOrder", Presence::Optional, "displayOrder"),
            field<&B::AlbumId>("AlbumId", Presence::Optional, "albumId"),
            field<&B::AlbumPrimaryImageTag>("AlbumPrimaryImageTag", Presence::Optional,
                                            "albumPrimaryImageTag"),
            field<&B::SeriesPrimaryImageTag>("SeriesPrimaryImageTag", Presence::Optional,
                                             "seriesPrimaryImageTag"),
            field<&B::AlbumArtist>("AlbumArtist", Presence::Optional, "albumArtist"),
            field<&B::SeasonName>("SeasonName", Presence::Optional, "seasonName"),
            field<&B::PartCount>("PartCount", Presence::Defaulted, "partCount"),
            field<&B::BackdropImageTags>("BackdropImageTags", Presence::Optional,
                                         "backdropImageTags"),
            field<&B::ParentLogoImageTag>("ParentLogoImageTag", Presence::Optional,
                                          "parentLogoImageTag"),
            field<&B::SeriesStudio>("SeriesStudio", Presence::Optional, "seriesStudio"),
            field<&B::ParentThumbItemId>("ParentThumbItemId", Presence::Optional,
                                         "parentThumbItemId"),
            field<&B::ParentThumbImageTag>("ParentThumbImageTag", Presence::Optional,
                                           "parentThumbImageTag"),
            field<&B::ParentPrimaryImageItemId>("ParentPrimaryImageItemId", Presence::Optional,
                                                "parentPrimaryImageItemId"),
            field<&B::ParentPrimaryImageTag>("ParentPrimaryImageTag", Presence::Optional,
                                             "parentPrimaryImageTag"),
            field<&B::MediaType>("MediaType", Presence::Optional, "mediaType"),
            field<&B::EndDate>("EndDate", Presence::Optional, "endDate"),
            field<&B::LockData>("LockData", Presence::Defaulted, "lockData"),
            field<&B::Width>("Width", Presence::Defaulted, "width"),
            field<&B::Height>("Height", Presence::Defaulted, "height"),
            field<&B::CameraMake>("CameraMake", Presence::Optional, "cameraMake"),
            field<&B::CameraModel>("CameraModel", Presence::Optional, "cameraModel"),
            field<&B::Software>("Software", Presence::Optional, "software"),
            field<&B::ExposureTime>("ExposureTime", Presence::Defaulted, "exposureTime"),
            field<&B::FocalLength>("FocalLength", Presence::Defaulted, "focalLength"),
            field<&B::Aperture>("Aperture", Presence::Defaulted, "aperture"),
            field<&B::ShutterSpeed>("ShutterSpeed", Presence::Defaulted, "shutterSpeed"),
            field<&B::Latitude>("Latitude", Presence::Defaulted, "latitude"),
            field<&B::Altitude>("Altitude", Presence::Defaulted, "altitude"),
            field<&B::IsoSpeedRating>("IsoSpeedRating", Presence::Defaulted, "isoSpeedRating"),
            field<&B::SeriesTimerId>("SeriesTimerId", Presence::Optional, "seriesTimerId"),
            field<&B::ChannelPrimaryImageTag>("ChannelPrimaryImageTag", Presence::Optional,
                                              "channelPrimaryImageTag"),
            field<&B::StartDate>("StartDate", Presence::Optional, "startDate"),
            field<&B::CompletionPercentage>("CompletionPercentage", Presence::Defaulted,
                                            "completionPercentage"),
            field<&B::IsRepeat>("IsRepeat", Presence::Defaulted, "isRepeat"),
            field<&B::IsNew>("IsNew", Presence::Defaulted, "isNew"),
            field<&B::EpisodeTitle>("EpisodeTitle", Presence::Optional, "episodeTitle"),
            field<&B::IsMovie>("IsMovie", Presence::Defaulted, "isMovie"),
            field<&B::IsSports>("IsSports", Presence::Defaulted, "isSports"),
            field<&B::IsSeries>("IsSeries", Presence::Defaulted, "isSeries"),
            field<&B::IsLive>("IsLive", Presence::Defaulted, "isLive"),
            field<&B::IsNews>("IsNews", Presence::Defaulted, "isNews"),
            field<&B::IsKids>("IsKids", Presence::Defaulted, "isKids"),
            field<&B::IsPremiere>("IsPremiere", Presence::Defaulted, "isPremiere"),
            field<&B::TimerId>("TimerId", Presence::Optional, "timerId"),
            field<&B::MovieCount>("MovieCount", Presence::Defaulted, "movieCount"),
            field<&B::SeriesCount>("SeriesCount", Presence::Defaulted, "seriesCount"),
            field<&B::AlbumCount>("AlbumCount", Presence::Defaulted, "albumCount"),
            field<&B::SongCount>("SongCount", Presence::Defaulted, "songCount"),
            field<&B::MusicVideoCount>("MusicVideoCount", Presence::Defaulted, "musicVideoCount"),
        });
    return *table;
}

namespace {

std::string lowerCased(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

BaseItemDto::StoreObjectFactory& storeFactory() {
    static Immortal<BaseItemDto::StoreObjectFactory> factory;
    return *factory;
}

}  // namespace

std::string BaseItemDto::remoteItemId() const {
    std::string_view id = Id.view();
    constexpr std::string_view kLocal = "local:";
    auto position = id.find(kLocal);
    if (position == std::string_view::npos)
        return std::string(id);
    return std::string(id.substr(position + kLocal.size()));
}

std::string BaseItemDto::mediaId() const {
    return std::string(ServerId.view()) + "/" + remoteItemId();
}

bool BaseItemDto::isArtistItem() const {
    return Type && lowerCased(Type.view()) == "musicartist";
}

Text BaseItemDto::fullName() const {
    if (Type && Artists && !Artists->empty()) {
        std::string type = lowerCased(Type.view());
        if (type == "audio" || type == "musicalbum") {
            return Text(std::string((*Artists)[0].view()) + " - " + std::string(Name.view()));
        }
    }
    return Name;
}

std::optional<DecodingError> BaseItemDto::decodeFields(std::string_view objectJson,
                                                       const JsonDecoder& decoder) {
    struct Target {
        BaseItemDto* item;
    };
    static const TypeCoding coding{"BaseItemDto",
                                   "BaseItemDto",
                                   FieldKind::Record,
                                   false,
                                   [](void* out, JsonValueHandle& h, JsonReadContext& ctx) {
                                       return static_cast<Target*>(out)->item->decodeFields(h, ctx);
                                   },
                                   nullptr,
                                   nullptr,
                                   nullptr};
    Target target{this};
    DecodingError error;
    if (decoder.decodeInto(objectJson, 0, coding, &target, error))
        return std::nullopt;
    return error;
}

bool BaseItemDto::decodeFields(JsonValueHandle& object, JsonReadContext& ctx) {
    return decodeRecordObject(object, *this, ctx, true);
}

std::shared_ptr<BaseItemDto> BaseItemDto::copy() const {
    auto item = std::make_shared<BaseItemDto>();
    for (const auto& info : fieldTable().fields())
        info.setStoreValue(*item, info.storeValue(*this));
    return item;
}

StoreValue BaseItemDto::storeValue(size_t index) const {
    const auto& fields = fieldTable().fields();
    if (index >= fields.size())
        return std::monostate{};
    return fields[index].storeValue(*this);
}

void BaseItemDto::setStoreValue(size_t index, const StoreValue& value) {
    const auto& fields = fieldTable().fields();
    if (index < fields.size())
        fields[index].setStoreValue(*this, value);
}

std::shared_ptr<BaseItemDto> BaseItemDto::makeForDecoding(const JsonDecoder& decoder) {
    if (decoder.userInfo.empty())
        return std::make_shared<BaseItemDto>();
    auto context = decoder.userInfo.find(kContextKey);
    if (context != decoder.userInfo.end()) {
        StoreObjectFactory factory;
        {
            std::lock_guard lock(factoryMutex());
            factory = storeFactory();
        }
        if (factory) {
            if (auto item = factory(context->second))
                return item;
        }
    }
    return std::make_shared<BaseItemDto>();
}

void BaseItemDto::setStoreObjectFactory(StoreObjectFactory factory) {
    std::lock_guard lock(factoryMutex());
    storeFactory() = std::move(factory);
}

FetchRequest BaseItemDto::fetchRequest() {
    return FetchRequest(kEntityName);
}

}  // namespace vk

template const ::vk::TypeCoding& ::vk::typeCoding<vk::BaseItemDto>();
template const ::vk::TypeCoding& ::vk::typeCoding<std::shared_ptr<vk::BaseItemDto>>();
template const ::vk::TypeCoding& ::vk::typeCoding<std::vector<std::shared_ptr<vk::BaseItemDto>>>();
