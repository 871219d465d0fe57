#include "refserver/LibraryNaming.h"

#include <ctime>

#include "refserver/QueryParameters.h"
#include "refserver/SampleMedia.h"

namespace refserver {

std::string hex(std::uint64_t value, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out;
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

std::string tag(std::uint64_t seed, std::uint64_t kind) {
    return hex(mix(seed ^ kind), 16) + hex(mix(seed + kind), 16);
}

std::string makeId(std::uint64_t kind, std::uint64_t number) {
    std::uint64_t a = mix((kind << 40) ^ number);
    return hex(a, 16) + hex(mix(a ^ kind), 16);
}

std::string sortNameOf(const std::string& name) {
    std::string_view view = name;
    for (std::string_view article : {"The ", "A ", "An "}) {
        if (view.substr(0, article.size()) == article) {
            view.remove_prefix(article.size());
            break;
        }
    }
    return lower(view);
}

std::string dateText(std::int64_t minutes) {
    std::time_t seconds = 1'704'067'200 + minutes * 60;  // 2024-01-01T00:00:00Z
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S.0000000Z", &parts);
    return buffer;
}

}  // namespace refserver
