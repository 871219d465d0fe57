// DefaultURLSessionDelegate: the trust rule of the framework's sessions. A server is accepted
// when the system trusts its chain (anchors, dates, host name), or else when the user has trusted
// the public key of the last certificate the server sent (CertificateManager status 1) and the
// chain is signed up to that certificate (a self-signed server, or a private CA's chain). On that
// second path neither the host name nor the dates are examined.
//
// Challenges other than server trust (a password challenge, for example) get default handling.
//
// Thread rule: stateless and thread-safe; the session calls it on its delegate queue.
#pragma once

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/UrlSession.h"

namespace vk {

/// The trust rule of the framework's sessions: the system's trust, else the user's trust in the
/// server's public key (see the top of this file). Stateless and thread-safe.
class VK_EXPORT DefaultURLSessionDelegate : public UrlSessionDelegate {
  public:
    /// Server trust that checkValidityOfServerTrust accepts: useCredential with that trust.
    /// Anything else: performDefaultHandling, no credential. Answers before returning.
    void didReceiveChallenge(UrlSession& session, const AuthenticationChallenge& challenge,
                             ChallengeCompletionHandler completionHandler) override;

    /// Whether the server is accepted: the system trusts the chain of `trust` (anchors, dates,
    /// host name), or the user has trusted the public key of its last certificate and that
    /// certificate signed the chain down to the leaf.
    bool checkValidityOfServerTrust(const ServerTrust& trust) const;
};

}  // namespace vk
