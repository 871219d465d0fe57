#include "refserver/TestCertificates.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace refserver {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

// Certificates are test fixtures: failing to make one is a broken environment, not a test result.
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "refserver: cannot make test certificate: %s\n", what);
    ERR_print_errors_fp(stderr);
    std::abort();
}

KeyPtr makeKey(KeyKind kind) {
    EVP_PKEY* key = nullptr;
    switch (kind) {
        case KeyKind::rsa:
            key = EVP_RSA_gen(2048);
            break;
        case KeyKind::ec:
            key = EVP_EC_gen("P-256");
            break;
        case KeyKind::ed25519:
            key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
            break;
    }
    if (key == nullptr)
        fail("key generation");
    return KeyPtr(key, EVP_PKEY_free);
}

std::string toPem(X509* certificate) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return out;
}

std::string toPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return out;
}

CertPtr readCertificate(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (certificate == nullptr)
        fail("reading the issuer certificate");
    return CertPtr(certificate, X509_free);
}

KeyPtr readKey(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (key == nullptr)
        fail("reading the issuer key");
    return KeyPtr(key, EVP_PKEY_free);
}

void addExtension(X509* certificate, X509V3_CTX& context, int nid, const std::string& value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr || X509_add_ext(certificate, extension, -1) != 1)
        fail("extension");
    X509_EXTENSION_free(extension);
}

std::string subjectAltNames(const std::vector<std::string>& hosts) {
    std::string out;
    for (const auto& host : hosts) {
        unsigned char buffer[16];
        bool ip = inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
                  inet_pton(AF_INET6, host.c_str(), buffer) == 1;
        if (!out.empty())
            out += ",";
        out += (ip ? "IP:" : "DNS:") + host;
    }
    return out;
}

// Makes and signs a certificate for `key`. Without an issuer the certificate signs itself.
CertifiedKey makeCertificate(KeyKind kind, const std::string& commonName, bool isAuthority,
                             const std::vector<std::string>& hosts, const CertifiedKey* issuer) {
    KeyPtr key = makeKey(kind);
    CertPtr certificate(X509_new(), X509_free);
    if (!certificate)
        fail("allocation");
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    std::uint64_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial >> 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 2 * 86400);
    X509_set_pubkey(cert, key.get());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("VornKit Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);

    CertPtr issuerCertificate(nullptr, X509_free);
    KeyPtr issuerKey(nullptr, EVP_PKEY_free);
    if (issuer != nullptr) {
        issuerCertificate = readCertificate(issuer->certificatePem);
        issuerKey = readKey(issuer->privateKeyPem);
    }
    X509* signer = issuer != nullptr ? issuerCertificate.get() : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, cert, nullptr, nullptr, 0);
    addExtension(cert, context, NID_basic_constraints,
                 isAuthority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(cert, context, NID_key_usage,
                 isAuthority ? "critical,keyCertSign,cRLSign,digitalSignature"
                             : "critical,digitalSignature,keyEncipherment");
    addExtension(cert, context, NID_subject_key_identifier, "hash");
    addExtension(cert, context, NID_authority_key_identifier, "keyid:always");
    if (!isAuthority) {
        addExtension(cert, context, NID_ext_key_usage, "serverAuth");
        if (!hosts.empty())
            addExtension(cert, context, NID_subject_alt_name, subjectAltNames(hosts));
    }
    EVP_PKEY* signingKey = issuer != nullptr ? issuerKey.get() : key.get();
    // Ed25519 signs the whole message itself and takes no digest.
    const EVP_MD* digest = EVP_PKEY_is_a(signingKey, "ED25519") == 1 ? nullptr : EVP_sha256();
    if (X509_sign(cert, signingKey, digest) <= 0)
        fail("signing");
    return {toPem(cert), toPem(key.get())};
}

}  // namespace

TestCertificateAuthority TestCertificateAuthority::create(KeyKind kind,
                                                          const std::string& commonName) {
    return TestCertificateAuthority(makeCertificate(kind, commonName, true, {}, nullptr));
}

TestCertificateAuthority TestCertificateAuthority::issueIntermediate(
    KeyKind kind, const std::string& commonName) const {
    return TestCertificateAuthority(makeCertificate(kind, commonName, true, {}, &certified_));
}

CertifiedKey TestCertificateAuthority::issueServer(KeyKind kind,
                                                   const std::vector<std::string>& hosts) const {
    return makeCertificate(kind, hosts.empty() ? "server" : hosts.front(), false, hosts,
                           &certified_);
}

CertifiedKey makeSelfSigned(KeyKind kind, const std::vector<std::string>& hosts) {
    return makeCertificate(kind, hosts.empty() ? "server" : hosts.front(), false, hosts, nullptr);
}

TlsIdentity makeIdentity(const CertifiedKey& leaf, const std::vector<CertifiedKey>& sentAlong) {
    TlsIdentity identity;
    identity.certificateChainPem = leaf.certificatePem;
    for (const auto& certificate : sentAlong)
        identity.certificateChainPem += certificate.certificatePem;
    identity.privateKeyPem = leaf.privateKeyPem;
    return identity;
}

}  // namespace refserver
