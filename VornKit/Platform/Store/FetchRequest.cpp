#include "VornKit/Platform/Store/FetchRequest.h"

namespace vk {

FetchRequest& FetchRequest::where(std::string keyPath, StoreValue value) {
    terms.push_back(Term{std::move(keyPath), Term::Test::Equal, std::move(value)});
    return *this;
}

FetchRequest& FetchRequest::whereIn(std::string keyPath, std::vector<StoreValue> values) {
    terms.push_back(Term{std::move(keyPath), Term::Test::In, std::move(values)});
    return *this;
}

FetchRequest& FetchRequest::whereNotNull(std::string keyPath) {
    terms.push_back(Term{std::move(keyPath), Term::Test::NotNull, StoreValue()});
    return *this;
}

FetchRequest& FetchRequest::limit(std::int64_t count) {
    fetchLimit = count;
    return *this;
}

}  // namespace vk
