#include "VornKit/Net/DefaultURLSessionDelegate.h"

#include "VornKit/Net/CertificateManager.h"

namespace vk {

void DefaultURLSessionDelegate::didReceiveChallenge(UrlSession&,
                                                    const AuthenticationChallenge& challenge,
                                                    ChallengeCompletionHandler completionHandler) {
    const ProtectionSpace& space = challenge.protectionSpace;
    if (space.authenticationMethod == AuthenticationMethod::serverTrust && space.serverTrust &&
        checkValidityOfServerTrust(*space.serverTrust)) {
        completionHandler(AuthChallengeDisposition::useCredential,
                          UrlCredential::forTrust(space.serverTrust));
        return;
    }
    completionHandler(AuthChallengeDisposition::performDefaultHandling, std::nullopt);
}

bool DefaultURLSessionDelegate::checkValidityOfServerTrust(const ServerTrust& trust) const {
    ServerTrust::Evaluation evaluation = trust.evaluate();
    switch (evaluation.result) {
        case TrustResultType::proceed:
        case TrustResultType::confirm:
        case TrustResultType::unspecified:
            return true;
        default:
            break;
    }
    if (trust.certificateCount() == 0)
        return false;
    // The last certificate is public (the genuine server sends it in every handshake), so the
    // user's trust in it covers only a chain it signed, down to the leaf whose key the handshake
    // proved.
    const Certificate& last = trust.certificateAtIndex(trust.certificateCount() - 1);
    return CertificateManager::defaultManager()->getTrustStatusForCertificate(last, &trust) ==
               CertificateManager::kTrusted &&
           trust.chainsTo(last);
}

}  // namespace vk
