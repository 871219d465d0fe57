// The reference server's error answer: a status and a JSON body {"Status": n, "Error": "..."}, as
// its routes send whenever a request cannot be served.
#pragma once

#include <string>
#include <string_view>

#include "refserver/RefServer.h"

namespace refserver {

/// The JSON body of the error answer for `status` and `message`.
std::string jsonError(int status, std::string_view message);

/// Replaces `response` with the error answer for `status` and `message`.
void fail(Response& response, int status, std::string_view message);

}  // namespace refserver
