// WebViewMessageDelegate: the host's web view, seen from the framework. Every JavaScript statement
// the framework has for the web user interface reaches it through respondToWebview().
//
// Contract: each call carries one complete statement (it never holds a raw line break); the host
// evaluates it in its web view and returns nothing. Calls arrive on the thread of the event that
// caused them (the main queue for player events); the host hops to its user-interface thread if it
// must. Implementations are owned by the host; the framework keeps weak references (or, where a
// type says so, a strong one).
#pragma once

#include <string>

#include "VornKit/Export.h"

namespace vk {

/// The host's web view as the framework talks to it (see the file comment).
class VK_EXPORT WebViewMessageDelegate {
  public:
    virtual ~WebViewMessageDelegate() = default;
    /// Evaluates one complete JavaScript statement in the web view; must not throw.
    virtual void respondToWebview(const std::string& javaScript) = 0;
};

}  // namespace vk
