#include "VornKit/Net/CertificateManager.h"

#include "VornKit/Platform/Coding/Base64.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

std::shared_ptr<CertificateManager> CertificateManager::defaultManager() {
    static const Immortal<std::shared_ptr<CertificateManager>> instance(
        std::make_shared<CertificateManager>());
    return *instance;
}

int CertificateManager::getTrustStatusForCertificate(const Certificate& certificate,
                                                     const ServerTrust* trust) const {
    std::optional<std::string> key = publicKeyforCertificate(certificate, trust);
    if (!key)
        return kNoPublicKey;
    std::optional<std::int64_t> stored = UserDefaults::standard()->integer(*key);
    if (!stored)
        return kUndecided;
    // A value outside int's range cannot be 1, so it stays "not trusted" after narrowing.
    if (*stored < INT32_MIN || *stored > INT32_MAX)
        return -1;
    return static_cast<int>(*stored);
}

void CertificateManager::setTrustStatus(int status, const Certificate& certificate,
                                        const ServerTrust* trust) {
    std::optional<std::string> key = publicKeyforCertificate(certificate, trust);
    if (!key)
        return;
    UserDefaults::standard()->set(*key, DefaultsValue(status));
}

std::optional<std::string> CertificateManager::publicKeyforCertificate(
    const Certificate& certificate, const ServerTrust*) const {
    std::optional<PublicKey> key = certificate.publicKey();
    if (!key)
        return std::nullopt;
    std::optional<std::string> data = getPublicKeyDataFromKeyRef(*key);
    if (!data || data->empty())
        return std::nullopt;
    return Base64::encode(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
}

std::optional<std::string> CertificateManager::getPublicKeyDataFromKeyRef(
    const PublicKey& key) const {
    return key.externalRepresentation();
}

}  // namespace vk
