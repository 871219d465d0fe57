#include "VornKit/Net/CertificateManager.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <sstream>

#include "TrustFixtures.h"
#include "VornKit/Platform/Coding/Base64.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "gtest/gtest.h"

using vk::Certificate;
using vk::CertificateManager;
using vk::test::ScopedTrustStatus;
using vk::test::TrustFixtures;

namespace {

std::vector<std::uint8_t> keyBytes(const refserver::CertifiedKey& key) {
    auto text = CertificateManager::defaultManager()->publicKeyforCertificate(
        TrustFixtures::certificate(key), nullptr);
    EXPECT_TRUE(text);
    if (!text)
        return {};
    EXPECT_EQ(text->find('\n'), std::string::npos);
    auto bytes = vk::Base64::decode(*text);
    EXPECT_TRUE(bytes);
    return bytes.value_or(std::vector<std::uint8_t>{});
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(CertificateManagerKeyText, RsaKeysArePkcs1DerInBase64) {
    const auto& fixtures = TrustFixtures::get();
    std::vector<std::uint8_t> der = keyBytes(fixtures.selfSignedRsa);
    ASSERT_GT(der.size(), 10u);
    // RSAPublicKey ::= SEQUENCE { modulus INTEGER, ... }: the first element is an INTEGER, not
    // the AlgorithmIdentifier SEQUENCE a SubjectPublicKeyInfo would start with.
    EXPECT_EQ(der[0], 0x30);
    EXPECT_EQ(der[4], 0x02);
    const unsigned char* cursor = der.data();
    EVP_PKEY* parsed = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size()));
    ASSERT_NE(parsed, nullptr);
    Certificate certificate = TrustFixtures::certificate(fixtures.selfSignedRsa);
    EXPECT_EQ(EVP_PKEY_eq(parsed, X509_get0_pubkey(certificate.native())), 1);
    EVP_PKEY_free(parsed);
}

TEST(CertificateManagerKeyText, EcKeysAreTheUncompressedPoint) {
    const auto& fixtures = TrustFixtures::get();
    std::vector<std::uint8_t> point = keyBytes(fixtures.selfSignedEc);
    ASSERT_EQ(point.size(), 65u);  // P-256: 0x04, X and Y of 32 bytes each
    EXPECT_EQ(point[0], 0x04);
    Certificate certificate = TrustFixtures::certificate(fixtures.selfSignedEc);
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    ASSERT_EQ(
        EVP_PKEY_get_bn_param(X509_get0_pubkey(certificate.native()), OSSL_PKEY_PARAM_EC_PUB_X, &x),
        1);
    ASSERT_EQ(
        EVP_PKEY_get_bn_param(X509_get0_pubkey(certificate.native()), OSSL_PKEY_PARAM_EC_PUB_Y, &y),
        1);
    std::vector<std::uint8_t> expected(65);
    expected[0] = 0x04;
    BN_bn2binpad(x, expected.data() + 1, 32);
    BN_bn2binpad(y, expected.data() + 33, 32);
    BN_free(x);
    BN_free(y);
    EXPECT_EQ(point, expected);
}

TEST(CertificateManagerKeyText, KeysWithoutAnExternalFormHaveNoText) {
    const auto& fixtures = TrustFixtures::get();
    Certificate certificate = TrustFixtures::certificate(fixtures.selfSignedEd25519);
    auto manager = CertificateManager::defaultManager();
    EXPECT_FALSE(manager->publicKeyforCertificate(certificate, nullptr));
    EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr),
              CertificateManager::kNoPublicKey);
    vk::UserDefaults::standard()->set("witness", 1);  // makes sure the file exists
    std::string before = fileText(vk::UserDefaults::standard()->file());
    manager->setTrustStatus(1, certificate, nullptr);
    EXPECT_EQ(fileText(vk::UserDefaults::standard()->file()), before);
    EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr),
              CertificateManager::kNoPublicKey);
    vk::UserDefaults::standard()->remove("witness");
}

TEST(CertificateManagerStatus, DecisionsLiveInTheStandardDefaultsUnderTheKeyText) {
    const auto& fixtures = TrustFixtures::get();
    auto manager = CertificateManager::defaultManager();
    Certificate certificate = TrustFixtures::certificate(fixtures.selfSignedRsa);
    std::string key = *manager->publicKeyforCertificate(certificate, nullptr);
    EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr), 0);
    {
        ScopedTrustStatus pinned(fixtures.selfSignedRsa, 1);
        EXPECT_EQ(vk::UserDefaults::standard()->integer(key), 1);
        EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr), 1);
    }
    EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr), 0);
}

TEST(CertificateManagerStatus, ValuesStoredByTheHostReadBackButOnlyOneTrusts) {
    const auto& fixtures = TrustFixtures::get();
    auto manager = CertificateManager::defaultManager();
    Certificate certificate = TrustFixtures::certificate(fixtures.selfSignedEc);
    std::string key = *manager->publicKeyforCertificate(certificate, nullptr);
    vk::UserDefaults::standard()->set(key, std::int64_t{7});
    EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr), 7);
    // 2^32 + 1 must not narrow into 1.
    vk::UserDefaults::standard()->set(key, std::int64_t{4294967297});
    EXPECT_NE(manager->getTrustStatusForCertificate(certificate, nullptr), 1);
    vk::UserDefaults::standard()->set(key, std::string("1"));
    EXPECT_EQ(manager->getTrustStatusForCertificate(certificate, nullptr), 0);
    vk::UserDefaults::standard()->remove(key);
}

}  // namespace
