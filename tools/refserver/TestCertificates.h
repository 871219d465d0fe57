// Throw-away certificates for the reference server and the trust tests, made with OpenSSL at run
// time: a self-signed server certificate, or a test CA (optionally with an intermediate) that
// issues server certificates for DNS names and IP addresses. Keys are RSA 2048, EC P-256 or
// Ed25519 (a key type without an external representation on the client side).
// Certificates are valid from an hour ago for two days.
//
// Thread rule: values and pure functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "refserver/RefServer.h"

namespace refserver {

enum class KeyKind { rsa, ec, ed25519 };

/// One certificate and its private key, PEM.
struct CertifiedKey {
    std::string certificatePem;
    std::string privateKeyPem;
};

class TestCertificateAuthority {
  public:
    /// A new self-signed root CA.
    static TestCertificateAuthority create(KeyKind kind, const std::string& commonName);

    /// A CA certificate issued by this one, able to issue server certificates itself.
    TestCertificateAuthority issueIntermediate(KeyKind kind, const std::string& commonName) const;
    /// A server certificate for `hosts` (DNS names or IP addresses, in the subjectAltName);
    /// the first host is also the common name.
    CertifiedKey issueServer(KeyKind kind, const std::vector<std::string>& hosts) const;

    const CertifiedKey& certified() const { return certified_; }

  private:
    explicit TestCertificateAuthority(CertifiedKey certified) : certified_(std::move(certified)) {}
    CertifiedKey certified_;
};

/// A self-signed server certificate (not a CA) for `hosts`.
CertifiedKey makeSelfSigned(KeyKind kind, const std::vector<std::string>& hosts);

/// The identity a listener presents: `leaf`, followed by `sentAlong` (for example an
/// intermediate) in that order.
TlsIdentity makeIdentity(const CertifiedKey& leaf, const std::vector<CertifiedKey>& sentAlong = {});

}  // namespace refserver
