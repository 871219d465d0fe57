// Authentication challenges met while loading a URL: the protection space (host, port, protocol,
// method and, for TLS, the server's trust), the credential a delegate may answer with, and the
// disposition it chooses.
//
// A session raises a server-trust challenge for every TLS connection it opens. Other methods (for
// example a password challenge) are modelled so that delegates can treat them, but the session
// raises none of them: an HTTP 401 answer reaches the caller as it is.
//
// Thread rule: values; a const object may be read from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/ServerTrust.h"

namespace vk {

/// How a protection space asks to be authenticated. Sessions raise only serverTrust challenges.
enum class AuthenticationMethod {
    serverTrust,
    httpBasic,
    httpDigest,
    htmlForm,
    negotiate,
    ntlm,
    clientCertificate,
    defaultMethod,
};

/// Where a challenge comes from: the server and the authentication it asks for.
struct VK_EXPORT ProtectionSpace {
    /// The server's host name as in the URL.
    std::string host;
    /// The server's port.
    int port = 0;
    std::string protocol;  ///< "https", "http", ...
    /// The authentication asked for.
    AuthenticationMethod authenticationMethod = AuthenticationMethod::defaultMethod;
    /// The server's chain; present for serverTrust challenges only.
    std::shared_ptr<const ServerTrust> serverTrust;
};

/// One challenge handed to a session delegate. A value.
struct VK_EXPORT AuthenticationChallenge {
    /// Where it comes from.
    ProtectionSpace protectionSpace;
    /// How many earlier answers to this protection space failed; always 0 for the server-trust
    /// challenges sessions raise.
    int previousFailureCount = 0;
};

/// What a delegate answers a challenge with: a trust (for serverTrust) or a user and password.
struct VK_EXPORT UrlCredential {
    /// The trust accepted (serverTrust challenges).
    std::shared_ptr<const ServerTrust> trust;
    /// User and password (password challenges).
    /// @{
    std::string user;
    std::string password;
    /// @}

    /// A credential that accepts `serverTrust`.
    static UrlCredential forTrust(std::shared_ptr<const ServerTrust> serverTrust) {
        UrlCredential credential;
        credential.trust = std::move(serverTrust);
        return credential;
    }
};

/// What a delegate does with a challenge.
enum class AuthChallengeDisposition : int {
    useCredential = 0,  ///< accept with the credential given (for a trust: that very trust)
    performDefaultHandling = 1,         ///< let the system decide, as if there were no delegate
    cancelAuthenticationChallenge = 2,  ///< fail the task with UrlError::cancelled
    rejectProtectionSpace = 3,          ///< treated like performDefaultHandling
};

/// Called exactly once by the delegate, on any thread.
using ChallengeCompletionHandler =
    std::function<void(AuthChallengeDisposition, std::optional<UrlCredential>)>;

}  // namespace vk
