#include "TrustFixtures.h"

#include <fstream>

#include "Support/TestSupport.h"

namespace vk::test {

const TrustFixtures& TrustFixtures::get() {
    static const TrustFixtures fixtures = [] {
        using refserver::KeyKind;
        using refserver::TestCertificateAuthority;
        TrustFixtures made;
        auto anchored = TestCertificateAuthority::create(KeyKind::ec, "Anchored Test CA");
        made.anchoredLeaf = anchored.issueServer(KeyKind::ec, {"127.0.0.1", "localhost"});
        auto unanchored = TestCertificateAuthority::create(KeyKind::rsa, "Unanchored Test CA");
        auto intermediate = unanchored.issueIntermediate(KeyKind::ec, "Test Intermediate");
        made.intermediate = intermediate.certified();
        made.intermediateLeaf = intermediate.issueServer(KeyKind::rsa, {"127.0.0.1"});
        // What an attacker can make: a CA of their own under the intermediate's name.
        auto lookalike = TestCertificateAuthority::create(KeyKind::ec, "Test Intermediate");
        made.lookalikeLeaf = lookalike.issueServer(KeyKind::ec, {"127.0.0.1"});
        made.selfSignedRsa = refserver::makeSelfSigned(KeyKind::rsa, {"127.0.0.1"});
        made.selfSignedEc = refserver::makeSelfSigned(KeyKind::ec, {"127.0.0.1"});
        made.selfSignedEd25519 = refserver::makeSelfSigned(KeyKind::ed25519, {"127.0.0.1"});
        made.anchorsFile = makeTempDir("anchors") / "anchors.pem";
        std::ofstream(made.anchorsFile) << anchored.certified().certificatePem;
        return made;
    }();
    return fixtures;
}

}  // namespace vk::test
