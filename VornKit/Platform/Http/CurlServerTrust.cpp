// CurlEngine, server trust: OpenSSL's certificate check of a TLS handshake turned into the
// session's challenge, the answer turned into a verdict, and a transfer started over once its
// verdict is in.
#include "VornKit/Platform/Http/CurlEngine.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace vk::detail {

void CurlEngine::askSession(Transfer& transfer, const AuthenticationChallenge& challenge) {
    auto slot = std::make_shared<ChallengeSlot>();
    transfer.slot = slot;
    transfer.awaitingVerdict = true;
    std::weak_ptr<CurlEngine> weak = weak_from_this();
    std::uint64_t serial = transfer.serial;
    transfer.front->client.requestChallengeAnswer(
        transfer.id, challenge, [weak, slot, serial](ChallengeAnswer answer) {
            {
                std::lock_guard lock(slot->mutex);
                if (slot->answer)
                    return;
                slot->answer = std::move(answer);
            }
            slot->answered.notify_all();
            if (auto engine = weak.lock())
                engine->queue(Op{Op::answer, nullptr, 0, {}, serial, {}, {}});
        });
}

void CurlEngine::answered(std::uint64_t serial) {
    auto it = transfers_.find(serial);
    if (it == transfers_.end())
        return;
    Transfer& transfer = *it->second;
    if (!transfer.awaitingVerdict || !transfer.slot)
        return;
    std::optional<ChallengeAnswer> answer;
    {
        std::lock_guard lock(transfer.slot->mutex);
        answer = transfer.slot->answer;
    }
    if (!answer)
        return;
    transfer.verdict = decide(*answer, transfer.pendingTrust);
    transfer.awaitingVerdict = false;
    if (transfer.retryAfterVerdict && transfer.easy == nullptr)
        restart(transfer);
}

void CurlEngine::restart(Transfer& transfer) {
    transfer.retryAfterVerdict = false;
    transfer.data.clear();
    transfer.headDelivered = false;
    transfer.responseHeaders = HttpHeaders();
    transfer.declaredLength = false;
    transfer.lastProgress = -1;
    transfer.errorBuffer[0] = '\0';
    if (transfer.front != nullptr)
        enqueue(transfer);
}

CurlEngine::Verdict CurlEngine::decide(const ChallengeAnswer& answer,
                                       const std::shared_ptr<const ServerTrust>& trust) {
    switch (answer.disposition) {
        case AuthChallengeDisposition::useCredential:
            if (answer.credential && answer.credential->trust == trust)
                return {true, false, 0};
            break;
        case AuthChallengeDisposition::cancelAuthenticationChallenge:
            return {false, true, X509_V_ERR_APPLICATION_VERIFICATION};
        case AuthChallengeDisposition::performDefaultHandling:
        case AuthChallengeDisposition::rejectProtectionSpace:
            break;
    }
    ServerTrust::Evaluation evaluation = trust->evaluate();
    if (evaluation.trusted())
        return {true, false, 0};
    return {false, false,
            evaluation.verifyError != 0 ? evaluation.verifyError : X509_V_ERR_CERT_UNTRUSTED};
}

CURLcode CurlEngine::onSslContext(CURL*, void* sslContext, void* user) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_cert_verify_callback(context, &CurlEngine::onVerify, user);
    return CURLE_OK;
}

int CurlEngine::onVerify(X509_STORE_CTX* context, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    AuthenticationChallenge challenge = makeChallenge(*transfer, context);
    const auto& trust = challenge.protectionSpace.serverTrust;
    std::optional<Verdict> verdict;
    if (transfer->verdict && transfer->pendingTrust && sameChain(*transfer->pendingTrust, *trust))
        verdict = transfer->verdict;
    transfer->verdict.reset();
    if (!verdict && transfer->front == nullptr)
        verdict = Verdict{false, true, X509_V_ERR_APPLICATION_VERIFICATION};
    if (!verdict && ++transfer->challengeRounds > kMaxChallengeRounds)
        verdict = Verdict{false, false, X509_V_ERR_CERT_UNTRUSTED};
    if (!verdict) {
        transfer->pendingTrust = trust;
        transfer->engine->askSession(*transfer, challenge);
        std::optional<ChallengeAnswer> answer;
        {
            std::lock_guard lock(transfer->slot->mutex);
            answer = transfer->slot->answer;
        }
        if (!answer) {
            transfer->retryAfterVerdict = true;
            X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
            return 0;
        }
        // Answered at once (no delegate): decide now.
        transfer->awaitingVerdict = false;
        verdict = decide(*answer, trust);
    }
    transfer->pendingTrust.reset();
    transfer->slot.reset();
    // Waiting for the answer can take a while; the idle clock restarts after it.
    transfer->lastActivity = Clock::now();
    if (verdict->accept) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    if (verdict->cancelled)
        transfer->challengeCancelled = true;
    X509_STORE_CTX_set_error(context, verdict->verifyError != 0
                                          ? verdict->verifyError
                                          : X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

bool CurlEngine::sameChain(const ServerTrust& a, const ServerTrust& b) {
    if (a.certificateCount() != b.certificateCount())
        return false;
    for (std::size_t i = 0; i < a.certificateCount(); ++i) {
        if (!(a.certificateAtIndex(i) == b.certificateAtIndex(i)))
            return false;
    }
    return true;
}

AuthenticationChallenge CurlEngine::makeChallenge(Transfer& transfer, X509_STORE_CTX* context) {
    std::vector<Certificate> chain;
    X509* leaf = X509_STORE_CTX_get0_cert(context);
    STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(context);
    for (int i = 0; sent != nullptr && i < sk_X509_num(sent); ++i) {
        chain.push_back(Certificate::fromNative(sk_X509_value(sent, i)));
    }
    if (leaf != nullptr && (chain.empty() || X509_cmp(chain.front().native(), leaf) != 0)) {
        chain.insert(chain.begin(), Certificate::fromNative(leaf));
    }
    auto trust = std::make_shared<const ServerTrust>(transfer.host, std::move(chain));
    AuthenticationChallenge challenge;
    challenge.protectionSpace.host = transfer.host;
    challenge.protectionSpace.port = transfer.port;
    challenge.protectionSpace.protocol = transfer.scheme;
    challenge.protectionSpace.authenticationMethod = AuthenticationMethod::serverTrust;
    challenge.protectionSpace.serverTrust = std::move(trust);
    return challenge;
}

}  // namespace vk::detail
