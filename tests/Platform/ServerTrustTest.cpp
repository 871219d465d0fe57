#include "VornKit/Platform/Http/ServerTrust.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>

#include "Support/TestSupport.h"
#include "gtest/gtest.h"
#include "refserver/TestCertificates.h"

using refserver::CertifiedKey;
using refserver::KeyKind;
using refserver::TestCertificateAuthority;
using vk::Certificate;
using vk::ServerTrust;

namespace {

Certificate certificate(const CertifiedKey& key) {
    return Certificate::fromPem(key.certificatePem).front();
}

ServerTrust trust(const std::vector<CertifiedKey>& chain, std::string host = "127.0.0.1") {
    std::vector<Certificate> certificates;
    for (const auto& key : chain)
        certificates.push_back(certificate(key));
    return ServerTrust(std::move(host), std::move(certificates));
}

// `key`'s certificate made to expire a day ago, signed again with its own key (it must be
// self-signed).
Certificate expired(const CertifiedKey& key) {
    Certificate made = *Certificate::fromDer(certificate(key).derData());  // a private copy
    BIO* bio =
        BIO_new_mem_buf(key.privateKeyPem.data(), static_cast<int>(key.privateKeyPem.size()));
    EVP_PKEY* privateKey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EXPECT_NE(privateKey, nullptr);
    X509_gmtime_adj(X509_getm_notBefore(made.native()), -3 * 86400);
    X509_gmtime_adj(X509_getm_notAfter(made.native()), -86400);
    EXPECT_GT(X509_sign(made.native(), privateKey, EVP_sha256()), 0);
    EVP_PKEY_free(privateKey);
    return made;
}

// A root CA, its intermediate and the intermediate's server certificate; a look-alike of the
// intermediate (same name, another key) with a server certificate of its own; a self-signed one.
class ChainsTo : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        auto root = TestCertificateAuthority::create(KeyKind::ec, "Private Root");
        auto intermediate = root.issueIntermediate(KeyKind::ec, "Private Intermediate");
        auto lookalike = TestCertificateAuthority::create(KeyKind::ec, "Private Intermediate");
        keys_ = new Keys{root.certified(),
                         intermediate.certified(),
                         intermediate.issueServer(KeyKind::ec, {"127.0.0.1"}),
                         lookalike.certified(),
                         lookalike.issueServer(KeyKind::ec, {"127.0.0.1"}),
                         refserver::makeSelfSigned(KeyKind::ec, {"127.0.0.1"})};
    }
    static void TearDownTestSuite() { delete keys_; }

    struct Keys {
        CertifiedKey root, intermediate, leaf, lookalike, lookalikeLeaf, selfSigned;
    };
    static Keys* keys_;
    const Keys& keys = *keys_;
};
ChainsTo::Keys* ChainsTo::keys_ = nullptr;

TEST_F(ChainsTo, AChainReachesEveryCertificateThatSignedItAndItsOwnLeaf) {
    ServerTrust sent = trust({keys.leaf, keys.intermediate});
    EXPECT_TRUE(sent.chainsTo(certificate(keys.intermediate)));
    EXPECT_TRUE(sent.chainsTo(certificate(keys.leaf)));
    // The anchor need not be among the certificates sent.
    EXPECT_TRUE(sent.chainsTo(certificate(keys.root)));
    EXPECT_TRUE(trust({keys.leaf}).chainsTo(certificate(keys.intermediate)));
    EXPECT_TRUE(trust({keys.selfSigned}).chainsTo(certificate(keys.selfSigned)));
    // Neither the host name nor the dates are checked.
    EXPECT_TRUE(trust({keys.leaf, keys.intermediate}, "elsewhere.example")
                    .chainsTo(certificate(keys.intermediate)));
    Certificate old = expired(keys.selfSigned);
    EXPECT_TRUE(ServerTrust("127.0.0.1", {old}).chainsTo(old));
    EXPECT_LT(X509_cmp_current_time(X509_get0_notAfter(old.native())), 0);
}

TEST_F(ChainsTo, ACertificateSentAfterALeafItDidNotSignIsNotReached) {
    Certificate anchor = certificate(keys.intermediate);
    EXPECT_FALSE(trust({keys.selfSigned, keys.intermediate}).chainsTo(anchor));
    // Issued under the anchor's name, but not with its key.
    EXPECT_FALSE(trust({keys.lookalikeLeaf, keys.intermediate}).chainsTo(anchor));
    EXPECT_FALSE(trust({keys.lookalikeLeaf, keys.lookalike}).chainsTo(anchor));
    EXPECT_FALSE(trust({keys.leaf, keys.intermediate}).chainsTo(certificate(keys.lookalike)));
    // The genuine chain sent along lends the forged leaf nothing.
    EXPECT_FALSE(trust({keys.selfSigned, keys.leaf, keys.intermediate}).chainsTo(anchor));
    EXPECT_FALSE(trust({keys.leaf, keys.intermediate}).chainsTo(certificate(keys.selfSigned)));
    EXPECT_FALSE(ServerTrust("127.0.0.1", {}).chainsTo(anchor));
}

TEST_F(ChainsTo, TheSystemsAnchorsPlayNoPart) {
    std::filesystem::path anchors = vk::test::makeTempDir("anchors") / "root.pem";
    std::ofstream(anchors) << keys.root.certificatePem;
    ServerTrust::setAdditionalAnchorsFile(anchors);
    ServerTrust sent = trust({keys.leaf, keys.intermediate});
    EXPECT_TRUE(sent.evaluate().trusted());
    EXPECT_FALSE(sent.chainsTo(certificate(keys.selfSigned)));
    ServerTrust::setAdditionalAnchorsFile(std::nullopt);
}

}  // namespace
