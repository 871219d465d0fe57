#include "VornKit/Platform/Http/ServerTrust.h"

#include <arpa/inet.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <mutex>

namespace vk {

namespace {

std::shared_ptr<X509> shareCertificate(X509* certificate) {
    X509_up_ref(certificate);
    return std::shared_ptr<X509>(certificate, X509_free);
}

// The anchors every evaluation uses: the default CA paths plus the additional anchors file. Built
// once per setting and shared (OpenSSL stores are safe for concurrent verification).
struct AnchorStore {
    std::mutex mutex;
    std::optional<std::filesystem::path> file;
    std::shared_ptr<X509_STORE> store;

    std::shared_ptr<X509_STORE> acquire() {
        std::lock_guard lock(mutex);
        if (!store) {
            X509_STORE* made = X509_STORE_new();
            if (made == nullptr)
                return nullptr;
            X509_STORE_set_default_paths(made);
            if (file)
                X509_STORE_load_file(made, file->c_str());
            // Errors from missing default paths or an unreadable file leave fewer anchors; they
            // must not linger in the thread's error queue and confuse later OpenSSL calls.
            ERR_clear_error();
            store = std::shared_ptr<X509_STORE>(made, X509_STORE_free);
        }
        return store;
    }
};

AnchorStore& anchors() {
    static AnchorStore* instance = new AnchorStore();  // lives for the process
    return *instance;
}

// Runs X509_verify_cert on `chain` (leaf first, as sent) against `store`, after `configure` has
// set the context's parameters. Returns X509_verify_cert's result (1 verified, 0 not, negative
// when it failed to run) and its X509_V_ERR_* code in `error`; -1 with error 0 when no
// verification could be started.
template <typename Configure>
int verifyChain(X509_STORE* store, const std::vector<Certificate>& chain, Configure configure,
                int& error) {
    error = 0;
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    int verified = -1;
    if (context != nullptr && untrusted != nullptr) {
        for (const auto& certificate : chain)
            sk_X509_push(untrusted, certificate.native());
        if (X509_STORE_CTX_init(context, store, chain.front().native(), untrusted) == 1) {
            configure(context);
            verified = X509_verify_cert(context);
            error = verified == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
        }
    }
    X509_STORE_CTX_free(context);
    sk_X509_free(untrusted);  // the certificates belong to `chain`
    ERR_clear_error();
    return verified;
}

bool isIpAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

PublicKey PublicKey::fromNative(EVP_PKEY* key) {
    EVP_PKEY_up_ref(key);
    return PublicKey(std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free));
}

PublicKey::Type PublicKey::type() const {
    switch (EVP_PKEY_get_base_id(key_.get())) {
        case EVP_PKEY_RSA:
            return Type::rsa;
        case EVP_PKEY_EC:
            return Type::ec;
        default:
            return Type::other;
    }
}

std::optional<std::string> PublicKey::externalRepresentation() const {
    switch (type()) {
        case Type::rsa: {
            unsigned char* der = nullptr;
            int length = i2d_PublicKey(key_.get(), &der);
            if (length <= 0) {
                ERR_clear_error();
                return std::nullopt;
            }
            std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
            OPENSSL_free(der);
            return out;
        }
        case Type::ec: {
            // The point format is a property of the key object; set it on a copy so that the
            // shared key is never modified.
            EVP_PKEY* copy = EVP_PKEY_dup(key_.get());
            if (copy == nullptr) {
                ERR_clear_error();
                return std::nullopt;
            }
            std::optional<std::string> out;
            unsigned char* point = nullptr;
            if (EVP_PKEY_set_utf8_string_param(copy, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                               "uncompressed") == 1) {
                std::size_t length = EVP_PKEY_get1_encoded_public_key(copy, &point);
                if (length > 0)
                    out.emplace(reinterpret_cast<char*>(point), length);
            }
            OPENSSL_free(point);
            EVP_PKEY_free(copy);
            ERR_clear_error();
            return out;
        }
        case Type::other:
            break;
    }
    return std::nullopt;
}

Certificate Certificate::fromNative(X509* certificate) {
    return Certificate(shareCertificate(certificate));
}

std::optional<Certificate> Certificate::fromDer(std::string_view der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
    if (certificate == nullptr) {
        ERR_clear_error();
        return std::nullopt;
    }
    return Certificate(std::shared_ptr<X509>(certificate, X509_free));
}

std::vector<Certificate> Certificate::fromPem(std::string_view pem) {
    std::vector<Certificate> out;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr)
        return out;
    while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        out.push_back(Certificate(std::shared_ptr<X509>(certificate, X509_free)));
    }
    BIO_free(bio);
    ERR_clear_error();  // the end of the text reads as an error
    return out;
}

std::string Certificate::derData() const {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate_.get(), &der);
    if (length <= 0)
        return {};
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return out;
}

std::string Certificate::pemData() const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr)
        return {};
    PEM_write_bio_X509(bio, certificate_.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(length > 0 ? length : 0));
    BIO_free(bio);
    return out;
}

std::string Certificate::subjectSummary() const {
    X509_NAME* subject = X509_get_subject_name(certificate_.get());
    char buffer[256] = {};
    if (X509_NAME_get_text_by_NID(subject, NID_commonName, buffer, sizeof buffer) > 0) {
        return buffer;
    }
    char* line = X509_NAME_oneline(subject, nullptr, 0);
    std::string out = line != nullptr ? line : "";
    OPENSSL_free(line);
    return out;
}

std::optional<PublicKey> Certificate::publicKey() const {
    EVP_PKEY* key = X509_get0_pubkey(certificate_.get());
    if (key == nullptr) {
        ERR_clear_error();
        return std::nullopt;
    }
    return PublicKey::fromNative(key);
}

bool operator==(const Certificate& a, const Certificate& b) {
    return X509_cmp(a.native(), b.native()) == 0;
}

ServerTrust::ServerTrust(std::string host, std::vector<Certificate> chain)
    : host_(std::move(host)), chain_(std::move(chain)) {}

ServerTrust::Evaluation ServerTrust::evaluate() const {
    Evaluation evaluation;
    evaluation.result = TrustResultType::otherError;
    if (chain_.empty()) {
        evaluation.result = TrustResultType::invalid;
        evaluation.verifyError = X509_V_ERR_UNSPECIFIED;
        evaluation.errorText = "no certificates";
        return evaluation;
    }
    std::shared_ptr<X509_STORE> store = anchors().acquire();
    if (!store) {
        evaluation.errorText = "out of memory";
        return evaluation;
    }
    int error = 0;
    int verified = verifyChain(
        store.get(), chain_,
        [&](X509_STORE_CTX* context) {
            X509_STORE_CTX_set_default(context, "ssl_server");
            X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context);
            if (!host_.empty()) {
                if (isIpAddress(host_)) {
                    X509_VERIFY_PARAM_set1_ip_asc(parameters, host_.c_str());
                } else {
                    X509_VERIFY_PARAM_set1_host(parameters, host_.c_str(), host_.size());
                }
            }
        },
        error);
    if (verified == 1) {
        evaluation.result = TrustResultType::unspecified;
        return evaluation;
    }
    evaluation.verifyError = error;
    evaluation.errorText =
        error != 0 ? X509_verify_cert_error_string(error) : "cannot run the evaluation";
    evaluation.result =
        verified == 0 ? TrustResultType::recoverableTrustFailure : TrustResultType::otherError;
    return evaluation;
}

bool ServerTrust::chainsTo(const Certificate& anchor) const {
    if (chain_.empty())
        return false;
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                  X509_STORE_free);
    if (!store || X509_STORE_add_cert(store.get(), anchor.native()) != 1) {
        ERR_clear_error();
        return false;
    }
    int error = 0;
    // No purpose: a certificate the user trusted by hand need not carry the usages a public CA's
    // would. Issuers must still be CAs, and every signature up to the anchor must hold.
    return verifyChain(
               store.get(), chain_,
               [](X509_STORE_CTX* context) {
                   X509_STORE_CTX_set_flags(context,
                                            X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME);
               },
               error) == 1;
}

void ServerTrust::setAdditionalAnchorsFile(std::optional<std::filesystem::path> file) {
    AnchorStore& store = anchors();
    std::lock_guard lock(store.mutex);
    store.file = std::move(file);
    store.store.reset();
}

std::optional<std::filesystem::path> ServerTrust::additionalAnchorsFile() {
    AnchorStore& store = anchors();
    std::lock_guard lock(store.mutex);
    return store.file;
}

}  // namespace vk
