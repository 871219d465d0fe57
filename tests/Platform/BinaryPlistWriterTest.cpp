#include "VornKit/Platform/Coding/BinaryPlistWriter.h"

#include <cstdio>
#include <fstream>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"

namespace {

/// What Python's plistlib reads from the bytes, as JSON (UIDs as {"uid": n}).
std::string readWithPlistlib(const std::vector<std::uint8_t>& bytes) {
    auto file = vk::test::makeTempDir("plist") / "out.plist";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    const std::string command =
        "python3 -c \"import json,plistlib,sys\n"
        "def j(o):\n"
        "  if isinstance(o, plistlib.UID): return {'uid': o.data}\n"
        "  if isinstance(o, dict): return {k: j(v) for k, v in o.items()}\n"
        "  if isinstance(o, list): return [j(v) for v in o]\n"
        "  return o\n"
        "print(json.dumps(j(plistlib.load(open(sys.argv[1],'rb'))), sort_keys=True, "
        "ensure_ascii=False))\" " +
        file.string() + " 2>&1";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

TEST(BinaryPlistWriter, ScalarsOfEverySizeReadBackExactly) {
    vk::BinaryPlistWriter w;
    std::vector<vk::BinaryPlistWriter::Ref> list = {w.integer(0),
                                                    w.integer(255),
                                                    w.integer(256),
                                                    w.integer(70000),
                                                    w.integer(1LL << 40),
                                                    w.integer(-1),
                                                    w.integer(INT64_MIN),
                                                    w.real(2.5),
                                                    w.real(-0.1),
                                                    w.boolean(true),
                                                    w.boolean(false),
                                                    w.string(""),
                                                    w.string("fifteen chars!!"),
                                                    w.string("h\u00e9llo \u65e5\u672c"),
                                                    w.string("\U0001F3B5 note"),
                                                    w.uid(0),
                                                    w.uid(300)};
    EXPECT_EQ(
        readWithPlistlib(w.finish(w.array(list))),
        R"([0, 255, 256, 70000, 1099511627776, -1, -9223372036854775808, 2.5, -0.1, true, false, "", )"
        R"("fifteen chars!!", "héllo 日本", "🎵 note", {"uid": 0}, {"uid": 300}])");
}

TEST(BinaryPlistWriter, LargeContainersAndSharedValues) {
    vk::BinaryPlistWriter w;
    std::vector<vk::BinaryPlistWriter::Ref> many;
    for (int i = 0; i < 400; ++i) {  // more than 255 objects: two-byte references
        many.push_back(w.string("s" + std::to_string(i % 20)));
        many.push_back(w.integer(i));
    }
    EXPECT_EQ(w.string("s3"), w.string("s3")) << "strings are stored once";
    const std::pair<vk::BinaryPlistWriter::Ref, vk::BinaryPlistWriter::Ref> entries[] = {
        {w.string("list"), w.array(many)}, {w.string("empty"), w.dictionary(nullptr, 0)}};
    auto text = readWithPlistlib(w.finish(w.dictionary(entries, 2)));
    ASSERT_EQ(text.rfind(R"({"empty": {}, "list": ["s0", 0, "s1", 1,)", 0), 0u)
        << text.substr(0, 200);
    EXPECT_NE(text.find(R"("s19", 399])"), std::string::npos);
}

}  // namespace
