// CertificateManager: the user's trust decisions for server public keys, kept in the standard
// user defaults (one integer per key, under the key's text form as the defaults key).
//
// Statuses: 1 trusted by the user; 0 no decision (nothing stored); 2 the certificate has no
// public key that can be put in text form. Any other stored value counts as not trusted.
//
// Public key text form: the key in the platform's external representation (RSA: PKCS#1
// RSAPublicKey DER; EC: the uncompressed point), Base64 without line breaks.
//
// Thread rule: thread-safe (the user defaults are). The single instance is created once, on first
// use, and lives for the process.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "VornKit/Export.h"
#include "VornKit/Platform/Http/ServerTrust.h"

namespace vk {

/// The user's trust decisions for server public keys, kept in the standard user defaults (see the
/// top of this file). Thread-safe.
class VK_EXPORT CertificateManager {
  public:
    /// The trust statuses (see the top of this file).
    /// @{
    static constexpr int kTrusted = 1;
    static constexpr int kUndecided = 0;
    static constexpr int kNoPublicKey = 2;
    /// @}

    /// The single instance, created on first use; lives for the process.
    static std::shared_ptr<CertificateManager> defaultManager();

    /// The stored status for the certificate's public key (0 when none is stored), or 2 when the
    /// key has no text form. `trust` is not used.
    int getTrustStatusForCertificate(const Certificate& certificate,
                                     const ServerTrust* trust) const;
    /// Stores `status` for the certificate's public key; stores nothing when the key has no text
    /// form. `trust` is not used.
    void setTrustStatus(int status, const Certificate& certificate, const ServerTrust* trust);
    /// The text form of the certificate's public key, or absent. `trust` is not used.
    std::optional<std::string> publicKeyforCertificate(const Certificate& certificate,
                                                       const ServerTrust* trust) const;
    /// The key's raw bytes in the external representation. The key is exported directly: there
    /// is no keychain here to read it back through, and no keychain item is added or removed.
    std::optional<std::string> getPublicKeyDataFromKeyRef(const PublicKey& key) const;
};

}  // namespace vk
