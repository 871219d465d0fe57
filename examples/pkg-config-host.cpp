// A one-file host built with pkg-config alone:
//   c++ -std=c++20 pkg-config-host.cpp $(pkg-config --cflags --libs vornkit)
// It builds a request URL the way a host does before handing it to a player, and exits 0 when the
// installed library answers as expected.
#include <VornKit/Platform/Http/Url.h>

#include <cstdio>

int main() {
    auto base = vk::Url::parse("http://127.0.0.1:8096/vorn/Items");
    if (!base)
        return 1;
    std::string query =
        "searchTerm=" + vk::percentEncode("a b&c", vk::UrlCharacterSet::unreserved());
    auto url = vk::Url::parse(base->absoluteString() + "?" + query);
    if (!url || url->absoluteString() != "http://127.0.0.1:8096/vorn/Items?searchTerm=a%20b%26c")
        return 1;
    std::printf("pkg-config host: %s\n", url->absoluteString().c_str());
    return 0;
}
