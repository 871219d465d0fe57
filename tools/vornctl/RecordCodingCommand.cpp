// `vornctl inspect`: the record coders for people debugging a server.
//   inspect json <Type>       JSON on stdin, the record re-encoded (compact, table order) on stdout
//   inspect archive <Type>    JSON on stdin, the record as a keyed archive on stdout
//   inspect unarchive <Type>  keyed archive on stdin, the record as JSON on stdout; the top-level
//                             class must be one the type's value transformer allows
//   inspect --list            the type names
// Dates are milliseconds since 1970 both ways. Failures print "error: <description>" on stderr
// and exit with status 1.
#include <cstdio>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VornKit/Model/BaseItemDto.h"
#include "VornKit/Model/EndpointInfo.h"
#include "VornKit/Model/GetItemsResponse.h"
#include "VornKit/Model/ImageOptions.h"
#include "VornKit/Model/ItemFileInfo.h"
#include "VornKit/Model/KeyedArchive.h"
#include "VornKit/Model/MediaSourceInfo.h"
#include "VornKit/Model/MediaStream.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/NativeCredentials.h"
#include "VornKit/Model/PlaybackProgressInfo.h"
#include "VornKit/Model/ServerInfo.h"
#include "VornKit/Model/SyncJob.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Model/ValueTransformer.h"
#include "tools/vornctl/Command.h"
#include "tools/vornctl/RecordCodingTypes.h"

namespace {

using vornctl::InspectType;

vk::JsonDecoder decoder() {
    vk::JsonDecoder d;
    d.dateDecodingStrategy = vk::DateCodingStrategy::MillisecondsSince1970;
    return d;
}

vk::JsonEncoder encoder() {
    vk::JsonEncoder e;
    e.dateEncodingStrategy = vk::DateCodingStrategy::MillisecondsSince1970;
    return e;
}

template <class T>
bool encodeTo(const T& value, std::string& out) {
    auto json = encoder().encode(value);
    if (!json) {
        out = "the record holds a value JSON cannot represent";
        return false;
    }
    out = *json;
    return true;
}

template <class T>
InspectType makeType(std::string transformer) {
    InspectType type;
    type.json = [](const std::string& in, std::string& out) {
        auto value = decoder().decode<T>(in);
        if (!value) {
            out = value.error().description();
            return false;
        }
        return encodeTo(*value, out);
    };
    type.archive = [](const std::string& in, std::string& out) {
        auto value = decoder().decode<T>(in);
        if (!value) {
            out = value.error().description();
            return false;
        }
        auto bytes = vk::archivedData(*value);
        out.assign(bytes.begin(), bytes.end());
        return true;
    };
    type.unarchive = [transformer](const std::string& in, std::string& out) {
        std::vector<std::string> allowed;
        if (auto named = vk::ValueTransformer::forName(transformer)) {
            allowed = named->allowedTopLevelClasses();
        } else {
            allowed = {std::string(vk::typeCoding<T>().className)};
        }
        vk::ArchiveBytes bytes(in.begin(), in.end());
        if (vk::archivedRootClassName(bytes.data(), bytes.size()) == "NSArray") {
            auto list = vk::unarchivedObject<std::vector<T>>(bytes, allowed);
            if (!list) {
                out = list.error().description();
                return false;
            }
            return encodeTo(*list, out);
        }
        auto value = vk::unarchivedObject<T>(bytes, allowed);
        if (!value) {
            out = value.error().description();
            return false;
        }
        return encodeTo(*value, out);
    };
    return type;
}

const std::map<std::string, InspectType>& types() {
    static const std::map<std::string, InspectType> map = [] {
        vk::registerModelValueTransformers();
        std::map<std::string, InspectType> m;
        m["BaseItemDto"] = makeType<std::shared_ptr<vk::BaseItemDto>>("");
        m["MediaSourceInfo"] = makeType<vk::MediaSourceInfo>("MediaSourceInfo");
        m["MediaStream"] = makeType<vk::MediaStream>("MediaStream");
        m["UserItemDataDto"] = makeType<vk::UserItemDataDto>("UserItemDataDto");
        m["NameIdPair"] = makeType<vk::NameIdPair>("NameIdPair");
        m["EndpointInfo"] = makeType<vk::EndpointInfo>("");
        m["GetItemsResponse"] = makeType<vk::GetItemsResponse>("");
        m["ImageOptions"] = makeType<vk::ImageOptions>("");
        m["PlaybackProgressInfo"] = makeType<vk::PlaybackProgressInfo>("");
        m["PlaybackStopInfo"] = makeType<vk::PlaybackStopInfo>("");
        m["QueueItem"] = makeType<vk::QueueItem>("");
        m["SyncJobRequest"] = makeType<vk::SyncJobRequest>("");
        m["SyncJob"] = makeType<vk::SyncJob>("");
        m["SyncJobItem"] = makeType<vk::SyncJobItem>("");
        m["SyncJobCreationResult"] = makeType<vk::SyncJobCreationResult>("");
        m["SyncDataRequest"] = makeType<vk::SyncDataRequest>("");
        m["SyncDataResponse"] = makeType<vk::SyncDataResponse>("");
        m["ItemFileInfo"] = makeType<vk::ItemFileInfo>("");
        m["NativeCredentials"] = makeType<vk::NativeCredentials>("");
        m["ServerInfo"] = makeType<vk::ServerInfo>("");
        for (const auto& [name, type] : vornctl::extraInspectTypes())
            m[name] = type;
        return m;
    }();
    return map;
}

std::string readStdin() {
    std::string data;
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        data.append(buffer, n);
    return data;
}

int usage() {
    std::fprintf(stderr,
                 "usage: vornctl inspect json|archive|unarchive <Type>\n"
                 "       vornctl inspect --list\n");
    return 2;
}

int inspect(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "--list") {
        for (const auto& [name, type] : types())
            std::printf("%s\n", name.c_str());
        return 0;
    }
    if (args.size() != 2)
        return usage();
    const std::string& mode = args[0];
    auto it = types().find(args[1]);
    if (it == types().end()) {
        std::fprintf(stderr, "error: unknown type \"%s\" (see vornctl inspect --list)\n",
                     args[1].c_str());
        return 1;
    }
    std::function<bool(const std::string&, std::string&)> run;
    const bool knownMode = mode == "json" || mode == "archive" || mode == "unarchive";
    if (knownMode && !(mode == "json"      ? it->second.json
                       : mode == "archive" ? it->second.archive
                                           : it->second.unarchive)) {
        std::fprintf(stderr, "error: %s does not support %s\n", args[1].c_str(), mode.c_str());
        return 1;
    }
    if (mode == "json") {
        run = it->second.json;
    } else if (mode == "archive") {
        run = it->second.archive;
    } else if (mode == "unarchive") {
        run = it->second.unarchive;
    } else {
        return usage();
    }
    std::string out;
    if (!run(readStdin(), out)) {
        std::fprintf(stderr, "error: %s\n", out.c_str());
        return 1;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (mode != "archive")
        std::fputc('\n', stdout);
    return 0;
}

}  // namespace

std::map<std::string, InspectType>& vornctl::extraInspectTypes() {
    static std::map<std::string, InspectType> extra;
    return extra;
}

VORNCTL_COMMAND("inspect",
                "inspect json|archive|unarchive <Type> | --list  "
                "decode, re-encode, archive and unarchive records",
                inspect);
