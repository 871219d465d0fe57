// DefaultURLSessionDelegate: the trust rule of the framework's sessions. A server is accepted
// when the system trusts its chain (anchors, dates, host name), or else when the user has trusted
// the public key of the last certificate the server sent (CertificateManager status 1); nothing
// else in the chain is examined on that second path.
//
// Challenges other than server trust (a password challenge, for example) get default handling.
//
// Thread rule: stateless and thread-safe; the session calls it on its delegate queue.
#pragma once

#include "VornKit/Export.h"
#include "VornKit/Platform/UrlSession.h"

namespace vk {

class VK_EXPORT DefaultURLSessionDelegate : public UrlSessionDelegate {
  public:
    /// Server trust that checkValidityOfServerTrust accepts: useCredential with that trust.
    /// Anything else: performDefaultHandling, no credential. Answers before returning.
    void didReceiveChallenge(UrlSession& session, const AuthenticationChallenge& challenge,
                             ChallengeCompletionHandler completionHandler) override;

    bool checkValidityOfServerTrust(const ServerTrust& trust) const;
};

}  // namespace vk
