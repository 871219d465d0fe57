// dbusSafeText: text fit for a D-Bus string. The bus accepts only valid UTF-8 without NUL and drops
// a connection that sends anything else, so text from outside (a server's titles) goes through
// this first: each invalid byte sequence and each NUL becomes U+FFFD; valid text is unchanged.
//
// Thread rule: a pure function.
#pragma once

#include "VornKit/Export.h"

#include <string>
#include <string_view>

namespace vk {

VK_EXPORT std::string dbusSafeText(std::string_view text);

}  // namespace vk
