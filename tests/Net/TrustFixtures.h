// Certificates shared by the Net tests, made once per test run: an anchored test CA (its PEM file
// installed as the additional anchors file while a test runs) with a server certificate for
// 127.0.0.1, an unanchored CA whose intermediate issues another one, a look-alike of that
// intermediate (same name, another key) that issues a third, and self-signed RSA, EC and Ed25519
// certificates. RAII pins store trust decisions and remove them again.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "VornKit/Net/CertificateManager.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Http/ServerTrust.h"
#include "refserver/TestCertificates.h"

namespace vk::test {

struct TrustFixtures {
    refserver::CertifiedKey anchoredLeaf;      // issued by the anchored CA for 127.0.0.1
    refserver::CertifiedKey intermediate;      // issued by an unanchored CA
    refserver::CertifiedKey intermediateLeaf;  // issued by `intermediate` for 127.0.0.1
    refserver::CertifiedKey
        lookalikeLeaf;  // 127.0.0.1, issuer named like `intermediate`, other key
    refserver::CertifiedKey selfSignedRsa;      // 127.0.0.1
    refserver::CertifiedKey selfSignedEc;       // 127.0.0.1
    refserver::CertifiedKey selfSignedEd25519;  // 127.0.0.1
    std::filesystem::path anchorsFile;

    static const TrustFixtures& get();

    static Certificate certificate(const refserver::CertifiedKey& key) {
        return Certificate::fromPem(key.certificatePem).front();
    }
    /// The trust a server sending `chain` (leaf first) presents for `host`.
    static ServerTrust trust(const std::string& host,
                             const std::vector<refserver::CertifiedKey>& chain) {
        std::vector<Certificate> certificates;
        for (const auto& key : chain)
            certificates.push_back(certificate(key));
        return ServerTrust(host, certificates);
    }
};

/// Stores a trust status for a certificate's key for the lifetime of the object.
class ScopedTrustStatus {
  public:
    ScopedTrustStatus(const refserver::CertifiedKey& key, int status)
        : certificate_(TrustFixtures::certificate(key)) {
        CertificateManager::defaultManager()->setTrustStatus(status, certificate_, nullptr);
    }
    ~ScopedTrustStatus() {
        if (auto text = CertificateManager::defaultManager()->publicKeyforCertificate(certificate_,
                                                                                      nullptr)) {
            UserDefaults::standard()->remove(*text);
        }
    }
    ScopedTrustStatus(const ScopedTrustStatus&) = delete;
    ScopedTrustStatus& operator=(const ScopedTrustStatus&) = delete;

  private:
    Certificate certificate_;
};

/// Installs the fixtures' anchors file for the lifetime of the object.
class ScopedAnchors {
  public:
    ScopedAnchors() { ServerTrust::setAdditionalAnchorsFile(TrustFixtures::get().anchorsFile); }
    ~ScopedAnchors() { ServerTrust::setAdditionalAnchorsFile(std::nullopt); }
};

}  // namespace vk::test
