// How the reference server reads a request: parameters by name whatever their case (as media
// servers read them), comma lists, counts and flags, texts compared in lower case.
//
// Thread rule: values and pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "refserver/RefServer.h"

namespace refserver {

/// `text` in lower case (ASCII).
std::string lower(std::string_view text);

/// The entries of a comma list, trimmed of spaces, in lower case; empty entries left out.
std::vector<std::string> splitList(std::string_view text);

/// A decimal count (0 and up); absent for anything else.
std::optional<std::int64_t> parseCount(const std::string& text);

/// "true" or "false" in any case; absent for anything else.
std::optional<bool> parseFlag(const std::string& text);

/// Query parameters by name, ignoring case (as media servers read them).
class QueryParameters {
  public:
    explicit QueryParameters(const Fields& query);
    /// The value of the parameter `name` (in any case); absent when the query has none.
    std::optional<std::string> get(std::string_view name) const;

  private:
    std::map<std::string, std::string> values_;
};

}  // namespace refserver
