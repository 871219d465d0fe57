#include "VornKit/Model/KeyedArchive.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "Support/TestSupport.h"
#include "VornKit/Model/FieldCoding.h"
#include "VornKit/Model/NameIdPair.h"
#include "VornKit/Model/UserItemDataDto.h"
#include "VornKit/Model/ValueTransformer.h"

namespace vk {
namespace {

/// Runs Python's plistlib on `bytes` with `script` (which sees the archive as `d`), returns stdout.
std::string python(const ArchiveBytes& bytes, const std::string& script) {
    auto dir = test::makeTempDir("plist");
    auto file = dir / "archive.plist";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    std::ofstream(dir / "read.py")
        << "import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
        << script << "\n";
    std::string command = "python3 " + (dir / "read.py").string() + " " + file.string();
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char buffer[4096];
    size_t n = 0;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    return out;
}

/// A hand-built archive: `objects` after "$null", root UID `root`.
ArchiveBytes buildArchive(const std::vector<plist_t>& objects, std::uint64_t root) {
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("$null"));
    for (plist_t o : objects)
        plist_array_append_item(list, o);
    plist_dict_set_item(top, "$objects", list);
    plist_t topDict = plist_new_dict();
    plist_dict_set_item(topDict, "root", plist_new_uid(root));
    plist_dict_set_item(top, "$top", topDict);
    plist_dict_set_item(top, "$version", plist_new_uint(100000));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(top, &bin, &length);
    ArchiveBytes bytes(bin, bin + length);
    plist_to_bin_free(bin);
    plist_free(top);
    return bytes;
}

plist_t classDict(const char* name) {
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "$classname", plist_new_string(name));
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string(name));
    plist_dict_set_item(d, "$classes", classes);
    return d;
}

TEST(KeyedArchiveLayout, PlistlibReadsTheArchive) {
    UserItemDataDto data;
    data.Likes = false;
    data.PlaybackPositionTicks = -42;
    data.Rating = 4.5;
    data.Key = "k\"ey";
    auto bytes = archivedData(data);
    std::string out =
        python(bytes,
               "o=d['$objects']; r=o[d['$top']['root'].data]; "
               "print(d['$archiver'], d['$version'], o[0], o[r['$class'].data]['$classname'], "
               "o[r['Likes'].data], o[r['PlaybackPositionTicks'].data], "
               "o[r['Rating'].data], o[r['Key'].data], r['Played'].data)");
    EXPECT_EQ(out, "NSKeyedArchiver 100000 $null UserItemDataDto False -42 4.5 k\"ey 0\n");
}

TEST(KeyedArchiveLayout, ListsAreNSArraysOfRecords) {
    std::vector<NameIdPair> pairs{{"A", "1"}, {"B", "2"}};
    pairs[1].Id.reset();
    auto bytes = archivedData(pairs);
    std::string out = python(bytes,
                             "o=d['$objects']; r=o[d['$top']['root'].data]; "
                             "print(o[r['$class'].data]['$classname'], "
                             "[o[o[u.data]['Name'].data] for u in r['NS.objects']], "
                             "o[r['NS.objects'][1].data]['Id'].data)");
    EXPECT_EQ(out, "NSArray ['A', 'B'] 0\n");
    auto transformer = ValueTransformer::forName("NameIdPair");
    ASSERT_TRUE(transformer);
    auto back = transformer->reverseTransformedValue<std::vector<NameIdPair>>(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, pairs);
}

TEST(KeyedArchiveLayout, TheSameValueGivesTheSameBytesWhateverWasArchivedBefore) {
    // The store tells an unchanged attribute by its bytes: writers reuse their memory, and that
    // must not show in the output.
    std::vector<NameIdPair> pairs{{"A", "1"}, {"B", "2"}};
    const auto first = archivedData(pairs);
    std::vector<NameIdPair> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back({"Name " + std::to_string(i), std::to_string(i % 7)});
    const auto large = archivedData(many);
    UserItemDataDto data;
    data.PlayCount = 3;
    archivedData(data);
    EXPECT_EQ(archivedData(pairs), first);
    EXPECT_EQ(archivedData(many), large);
    auto back = ValueTransformer::forName("NameIdPair")
                    ->reverseTransformedValue<std::vector<NameIdPair>>(large);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, many);
}

TEST(KeyedArchiveRules, LikesFalseSurvivesAndAbsentStaysAbsent) {
    UserItemDataDto data;
    data.Likes = false;
    auto transformer = ValueTransformer::forName("UserItemDataDto");
    auto back = transformer->reverseTransformedValue<UserItemDataDto>(archivedData(data));
    ASSERT_TRUE(back);
    ASSERT_TRUE(back->Likes.has_value());
    EXPECT_FALSE(*back->Likes);
    EXPECT_FALSE(back->Played.has_value());
    EXPECT_EQ(*back, data);
}

TEST(KeyedArchiveRules, NumbersConvertOnlyExactly) {
    // {"PlayCount": 2.5, "Rating": 4, "Played": 1, "IsFavorite": 2, "Key": 7}
    plist_t record = plist_new_dict();
    plist_dict_set_item(record, "$class", plist_new_uid(1));
    plist_dict_set_item(record, "PlayCount", plist_new_uid(3));
    plist_dict_set_item(record, "Rating", plist_new_uid(4));
    plist_dict_set_item(record, "Played", plist_new_uid(4 + 1));
    plist_dict_set_item(record, "IsFavorite", plist_new_uid(6));
    plist_dict_set_item(record, "Key", plist_new_uid(4));
    plist_dict_set_item(record, "ItemId", plist_new_uid(99));  // out of range: absent
    auto bytes = buildArchive({classDict("Vorn.UserItemDataDto"), record, plist_new_real(2.5),
                               plist_new_uint(4), plist_new_uint(1), plist_new_uint(2)},
                              2);
    auto back = ValueTransformer::forName("UserItemDataDto")
                    ->reverseTransformedValue<UserItemDataDto>(bytes);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->PlayCount);
    EXPECT_EQ(back->Rating, 4.0);
    EXPECT_EQ(back->Played, true);
    EXPECT_FALSE(back->IsFavorite);
    EXPECT_FALSE(back->Key);
    EXPECT_FALSE(back->ItemId);
}

TEST(KeyedArchiveRules, TopLevelAllowListsAndNullRoot) {
    NameIdPair pair("A", "1");
    auto pairBytes = archivedData(pair);
    EXPECT_FALSE(ValueTransformer::forName("UserItemDataDto")
                     ->reverseTransformedValue<UserItemDataDto>(pairBytes));
    DecodingError error;
    UserItemDataDto out;
    EXPECT_FALSE(unarchiveRoot(pairBytes.data(), pairBytes.size(), {"UserItemDataDto"},
                               typeCoding<UserItemDataDto>(), &out, error));
    EXPECT_NE(error.description().find("NameIdPair"), std::string::npos);

    auto nullRoot = buildArchive({}, 0);
    EXPECT_FALSE(
        ValueTransformer::forName("NameIdPair")->reverseTransformedValue<NameIdPair>(nullRoot));
    std::vector<UserItemDataDto> wrongElements(1);
    EXPECT_FALSE(
        ValueTransformer::forName("NameIdPair")
            ->reverseTransformedValue<std::vector<NameIdPair>>(archivedData(wrongElements)));
}

TEST(KeyedArchiveRobustness, CyclesAndBadBytesGiveErrors) {
    // An array that contains itself: reading must stop, not recurse forever.
    plist_t array = plist_new_dict();
    plist_dict_set_item(array, "$class", plist_new_uid(1));
    plist_t elements = plist_new_array();
    plist_array_append_item(elements, plist_new_uid(2));
    plist_dict_set_item(array, "NS.objects", elements);
    auto cyclic = buildArchive({classDict("NSArray"), array}, 2);
    auto result = unarchivedObject<std::vector<std::vector<NameIdPair>>>(cyclic, {});
    EXPECT_FALSE(result);

    ArchiveBytes garbage{'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3};
    EXPECT_FALSE(unarchivedObject<NameIdPair>(garbage, {}));
    EXPECT_FALSE(unarchivedObject<NameIdPair>(ArchiveBytes{}, {}));
}

}  // namespace
}  // namespace vk
