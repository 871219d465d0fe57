// Certificate trust evaluation: Certificate and PublicKey (shared, immutable OpenSSL objects) and
// ServerTrust, the chain a TLS server presented together with the host name it was reached under.
//
// ServerTrust::evaluate() asks whether "the system" trusts the chain: it builds a path from the
// chain to an anchor of the system's CA store (OpenSSL's default paths, which honour SSL_CERT_FILE
// and SSL_CERT_DIR) plus the certificates of the additional anchors file, if the host set one,
// and checks dates, purpose (TLS server) and the host name (DNS name or IP address).
// ServerTrust::chainsTo() asks a narrower question for certificates the user trusted by hand: is
// the chain signed up to that one certificate.
//
// Thread rule: Certificate, PublicKey and ServerTrust are immutable and thread-safe; they share
// their OpenSSL objects by reference count. setAdditionalAnchorsFile() is thread-safe and applies
// to evaluations that start after it returns.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// The outcome of a trust evaluation, numbered like the platform's trust result type.
enum class TrustResultType : int {
    invalid = 0,
    proceed = 1,      ///< trusted because the user said so
    confirm = 2,      ///< (not produced here)
    deny = 3,         ///< (not produced here)
    unspecified = 4,  ///< trusted by the system's anchors, with no user setting involved
    recoverableTrustFailure = 5,
    fatalTrustFailure = 6,
    otherError = 7,
};

/// A certificate's public key (shared, immutable OpenSSL object).
class VK_EXPORT PublicKey {
  public:
    /// The key's algorithm.
    enum class Type { rsa, ec, other };

    /// Shares `key` (its reference count is raised).
    static PublicKey fromNative(EVP_PKEY* key);

    /// The key's algorithm: RSA, EC or another.
    Type type() const;
    /// The platform's external form of the key: an RSA key as a PKCS#1 RSAPublicKey in DER, an EC
    /// key as its uncompressed point (0x04 || X || Y). Absent for other key types or on failure.
    std::optional<std::string> externalRepresentation() const;
    /// The OpenSSL key, owned by this object (and its copies): do not free it.
    EVP_PKEY* native() const { return key_.get(); }

  private:
    explicit PublicKey(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)) {}
    std::shared_ptr<EVP_PKEY> key_;
};

/// An X.509 certificate (shared, immutable OpenSSL object).
class VK_EXPORT Certificate {
  public:
    /// Shares `certificate` (its reference count is raised).
    static Certificate fromNative(X509* certificate);
    /// The certificate encoded in `der`; absent when it is not one.
    static std::optional<Certificate> fromDer(std::string_view der);
    /// Every certificate in a PEM text, in order (empty when there is none).
    static std::vector<Certificate> fromPem(std::string_view pem);

    /// The certificate's DER encoding.
    std::string derData() const;
    /// The certificate as a PEM text block.
    std::string pemData() const;
    /// The subject's common name, or the whole subject line when it has none.
    std::string subjectSummary() const;
    /// The certificate's public key; absent when OpenSSL cannot read it.
    std::optional<PublicKey> publicKey() const;
    /// The OpenSSL certificate, owned by this object (and its copies): do not free it.
    X509* native() const { return certificate_.get(); }

    /// Same certificate (equal DER encoding).
    friend bool operator==(const Certificate& a, const Certificate& b);

  private:
    explicit Certificate(std::shared_ptr<X509> certificate)
        : certificate_(std::move(certificate)) {}
    std::shared_ptr<X509> certificate_;
};

/// A server's certificate chain and the host it was reached under (see the file comment).
class VK_EXPORT ServerTrust {
  public:
    /// The outcome of evaluate().
    struct Evaluation {
        /// The trust result (see trusted()).
        TrustResultType result = TrustResultType::invalid;
        int verifyError = 0;    ///< OpenSSL's X509_V_ERR_* code, 0 when trusted
        std::string errorText;  ///< OpenSSL's text for verifyError, empty when trusted
        /// Whether the chain is trusted (proceed or unspecified).
        bool trusted() const {
            return result == TrustResultType::proceed || result == TrustResultType::unspecified;
        }
    };

    /// `chain` is what the server sent, leaf first. An empty `host` skips the host-name check.
    ServerTrust(std::string host, std::vector<Certificate> chain);

    /// The host name the chain is checked against (empty: not checked).
    const std::string& host() const { return host_; }
    /// The number of certificates in the chain.
    std::size_t certificateCount() const { return chain_.size(); }
    /// Precondition: index < certificateCount().
    const Certificate& certificateAtIndex(std::size_t index) const { return chain_[index]; }
    /// The chain as the server sent it, leaf first.
    const std::vector<Certificate>& certificates() const { return chain_; }

    /// Evaluates the chain against the system's anchors (see the file comment). Never throws; an
    /// evaluation that cannot run reports otherError.
    Evaluation evaluate() const;

    /// Whether the chain, starting at its leaf, is signed certificate by certificate up to
    /// `anchor`, the only certificate trusted for this check (it may be one the chain itself
    /// carries, the leaf included). Issuers must be CAs; dates, purpose and the host name are not
    /// checked. For accepting a server whose certificate the user trusted by hand: the handshake
    /// proves that the server holds the leaf's key, this proves that `anchor` vouches for it.
    /// Thread-safe; never throws (false when the check cannot run).
    bool chainsTo(const Certificate& anchor) const;

    /// A PEM file whose certificates count as system anchors in addition to the CA store (a host
    /// setting; tests use it for their throw-away CA). Absent removes it.
    static void setAdditionalAnchorsFile(std::optional<std::filesystem::path> file);
    /// The additional anchors file set, absent when none.
    static std::optional<std::filesystem::path> additionalAnchorsFile();

  private:
    std::string host_;
    std::vector<Certificate> chain_;
};

}  // namespace vk
