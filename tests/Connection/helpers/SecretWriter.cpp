// Writes the credentials item through KeychainHelper over the encrypted file store in a loop, for
// the kill test: `SecretWriter DIR FIRST` stores "value-FIRST", "value-FIRST+1", ... (padded to a
// few kilobytes) and prints each number on its own line once its write has returned.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Secrets/EncryptedFileSecretStore.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: SecretWriter DIR FIRST\n");
        return 2;
    }
    vk::Bundle bundle;
    bundle.identifier = "app.vorn.tests.secret-writer";
    vk::Bundle::setMain(bundle);
    vk::SecretStore::install(std::make_shared<vk::EncryptedFileSecretStore>(argv[1]));
    const std::string padding(4096, '.');
    for (long long i = std::atoll(argv[2]);; ++i) {
        vk::KeychainHelper::addOrUpdate("SERVER_CREDENTIALS_KEY",
                                        "value-" + std::to_string(i) + "|" + padding, true, true);
        std::printf("%lld\n", i);
        std::fflush(stdout);
    }
}
