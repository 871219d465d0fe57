// The reference server's error answer: a status and a JSON body {"Status": n, "Error": "..."}, as
// its routes send whenever a request cannot be served.
#pragma once

#include <string_view>

#include "refserver/RefServer.h"

namespace refserver {

/// Replaces `response` with the error answer for `status` and `message`.
void fail(Response& response, int status, std::string_view message);

}  // namespace refserver
