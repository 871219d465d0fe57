#include "VornKit/Connection/NativeCredentialsManager.h"

#include <simdjson.h>

#include "VornKit/Connection/KeychainHelper.h"
#include "VornKit/Platform/Defaults/UserDefaults.h"
#include "VornKit/Platform/Files/Directories.h"
#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

namespace {

const Logger& logger() {
    static const Logger log("NativeCredentialsManager");
    return log;
}

bool isUtf8(const std::string& text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

}  // namespace

NativeCredentialsManager::NativeCredentialsManager(std::weak_ptr<ApiClientsUpdating> owner)
    : owner_(std::move(owner)) {
    if (isFirstRun()) {
        // Keychain items outlive the application: credentials of an earlier installation go.
        KeychainHelper::deleteValue(kCredentialsKey);
        return;
    }
    loadSavedCredentials();
}

bool NativeCredentialsManager::isFirstRun() {
    auto defaults = UserDefaults::suite(std::string(Directories::kApplicationGroupIdentifier));
    if (!defaults)
        defaults = UserDefaults::standard();
    if (defaults->boolean(kHasRunOnceKey))
        return false;
    // An absent flag proves a first start only when the file could be read: a damaged or
    // unreadable one says nothing, and is left as it is for whoever can mend it. A flag that
    // cannot be written would make every start a first one.
    if (defaults->lastReadFailed()) {
        logger().log("Application-group settings unreadable; keeping stored credentials");
        return false;
    }
    return defaults->set(kHasRunOnceKey, true);
}

CodingResult<NativeCredentials> NativeCredentialsManager::decode(
    const std::string& credentialsJSON) {
    JsonDecoder decoder;
    decoder.dateDecodingStrategy = DateCodingStrategy::MillisecondsSince1970;
    return decoder.decode<NativeCredentials>(credentialsJSON);
}

void NativeCredentialsManager::loadSavedCredentials() {
    std::lock_guard lock(updateMutex_);
    if (auto text = KeychainHelper::getValue(kCredentialsKey, true))
        updateConnectionManager(*text, Source::Keychain);
}

std::optional<NativeCredentials> NativeCredentialsManager::getCurrentCredentials() {
    auto text = KeychainHelper::getValue(kCredentialsKey, true);
    if (!text)
        return std::nullopt;
    return decode(*text).toOptional();
}

void NativeCredentialsManager::updateCredentials(const std::string& credentialsJSON) {
    logger().log("Updating credentials");
    // Another update between storing this text and telling the owner would leave the owner on
    // other tokens than the keychain.
    std::lock_guard lock(updateMutex_);
    // Only a text that decodes is stored; a bad one ends with no credentials item at all, and
    // never sits in the keychain, even for a moment.
    if (isUtf8(credentialsJSON) && decode(credentialsJSON))
        KeychainHelper::addOrUpdate(kCredentialsKey, credentialsJSON, true, true);
    updateConnectionManager(credentialsJSON, Source::Host);
}

void NativeCredentialsManager::updateConnectionManager(const std::string& text, Source source) {
    if (!isUtf8(text)) {
        if (source == Source::Host)
            KeychainHelper::deleteValue(kCredentialsKey);
        return;
    }
    logger().log("start updateConnectionManager");
    auto credentials = decode(text);
    if (!credentials) {
        logger().log("updateConnectionManager: Error deserializing native credentials\n " +
                     credentials.error().description());
        // A bad text from the host replaces the credentials with none; a stored text that cannot
        // be read is kept for whoever can read it.
        if (source == Source::Host)
            KeychainHelper::deleteValue(kCredentialsKey);
        return;
    }
    if (auto owner = owner_.lock())
        owner->updateApiClients(std::move(credentials->Servers));
}

}  // namespace vk
