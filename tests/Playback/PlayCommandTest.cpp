// `vornctl play` and `vornctl inspect json MediaItem`, run as the built program.
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PlaybackTestSupport.h"
#include "Support/CommandRun.h"
#include "Support/LibraryServer.h"
#include "Support/TestSupport.h"
#include "VornKit/Model/PlaybackProgressInfo.h"
#include "gtest/gtest.h"

namespace vk::test {
namespace {

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
};

Outcome vornctl(const std::string& arguments, const std::string& input = {}) {
    const CommandOutcome run = runCommand(shellQuoted(VORNCTL_PATH) + " " + arguments, input);
    Outcome outcome{run.status, {}, run.err};
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);)
        outcome.lines.push_back(line);
    return outcome;
}

TEST(PlayCommand, ASimulatedPlayThroughPrintsStatementsThatRunAndReportsTheServerReceived) {
    LibraryServer server({.accessToken = "tok"}, {.tracks = 12, .userId = "u1"});
    const auto& address = server.address;
    const auto& library = server.library;
    const auto tracks = library->ofType("Audio");

    const auto run = vornctl("play --simulate --fast " + tracks[0]->id + " " + tracks[1]->id +
                             " --local " + address + " --token tok --user u1");
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> statements;
    std::vector<std::pair<std::string, std::string>> reports;
    for (const auto& line : run.lines) {
        if (line.rfind("js: ", 0) == 0) {
            statements.push_back(line.substr(4));
        } else if (line.rfind("report: ", 0) == 0) {
            const auto space = line.find(' ', 8);
            ASSERT_NE(space, std::string::npos) << line;
            reports.emplace_back(line.substr(8, space - 8), line.substr(space + 1));
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    for (const auto& result : runInNode(statements))
        EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(std::count(statements.begin(), statements.end(), "MpvAudioPlayer.onEvent('ended');"),
              1);
    EXPECT_EQ(std::count(statements.begin(), statements.end(),
                         "MpvAudioPlayer.onPropertyChange('pause', true);"),
              1);

    // Each printed body is what the server received, for the endpoint the line names.
    const std::map<std::string, std::string> endpoints = {{"start", "Sessions/Playing"},
                                                          {"progress", "Sessions/Playing/Progress"},
                                                          {"stop", "Sessions/Playing/Stopped"}};
    std::vector<std::string> printed;
    for (const auto& [kind, body] : reports) {
        ASSERT_TRUE(endpoints.count(kind)) << kind;
        printed.push_back(endpoints.at(kind) + " " + body);
    }
    std::vector<std::string> received;
    for (const auto& report : library->reports())
        received.push_back(report.endpoint + " " + report.body);
    std::sort(printed.begin(), printed.end());
    std::sort(received.begin(), received.end());
    EXPECT_EQ(printed, received);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const auto& r) { return r.first == "stop"; }),
              2);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().first, "start");
    auto stop = JsonDecoder().decode<PlaybackStopInfo>(reports.back().second);
    ASSERT_TRUE(stop) << reports.back().second;
    EXPECT_EQ(stop->ItemId, tracks[1]->id);
    EXPECT_EQ(stop->PositionTicks, tracks[1]->runTimeTicks);
}

TEST(PlayCommand, RefusesWhatItCannotPlay) {
    auto usage = vornctl("play --simulate --local http://127.0.0.1:1");
    EXPECT_EQ(usage.status, 2);
    auto speed = vornctl("play --speed fast x --local http://127.0.0.1:1");
    EXPECT_EQ(speed.status, 2);

    LibraryServer server({.accessToken = "tok"}, {});
    const auto& address = server.address;
    const auto& library = server.library;
    auto missing =
        vornctl("play --simulate --fast no-such-item --local " + address + " --token tok");
    EXPECT_EQ(missing.status, 1);
    ASSERT_FALSE(missing.lines.empty());
    EXPECT_EQ(missing.lines.back().rfind("error: item no-such-item", 0), 0u)
        << missing.lines.back();

    // An id is one path segment: dot segments in it never lead to another item.
    const std::string escaping = "x/../" + library->ofType("Audio").at(0)->id;
    auto other =
        vornctl("play --simulate --fast " + escaping + " --local " + address + " --token tok");
    EXPECT_EQ(other.status, 1);
    ASSERT_FALSE(other.lines.empty());
    EXPECT_EQ(other.lines.back().rfind("error: item " + escaping, 0), 0u) << other.lines.back();
    EXPECT_TRUE(library->reports().empty());
}

TEST(InspectMediaItem, ReadsNineKeysWritesSevenAndReportsErrors) {
    auto run = vornctl("inspect json MediaItem",
                       R"({"Title":"T \"1\"","PlaylistItemId":"p","ItemJson":"{}","Path":"/a",)"
                       R"("ItemId":"i","Extra":[1]})");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], R"({"Path":"/a","Title":"T \"1\"","ItemId":"i"})");
    auto bad = vornctl("inspect json MediaItem", R"({"Title":7})");
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.lines.empty());
    EXPECT_EQ(bad.err.rfind("error: typeMismatch", 0), 0u) << bad.err;
}

}  // namespace
}  // namespace vk::test
