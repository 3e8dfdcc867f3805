#include "chap.h"

#include "base64.h"
#include "crypto_provider.h"
#include "frame_codec.h"
#include "md5.h"

#include <algorithm>

namespace dravolin::testserver {

namespace crypto = dravolin::crypto;

namespace {

// A binary value as the client writes it: "0b" and canonical Base64.
std::optional<std::size_t> decodeStrict(const std::string& text, std::uint8_t* out,
                                        std::size_t capacity) {
    if (text.size() < 2 || text.compare(0, 2, crypto::kBinaryValuePrefix) != 0)
        return std::nullopt;
    return crypto::base64Decode(std::string_view(text).substr(2), out, capacity);
}

void secureZero(void* p, std::size_t n) {
    volatile std::uint8_t* b = static_cast<volatile std::uint8_t*>(p);
    while (n--)
        *b++ = 0;
}

} // namespace

RandomFill systemRandom() {
    return [](std::uint8_t* out, std::size_t n) { return crypto::osRandomBytes(out, n); };
}

ChapServer::ChapServer(const ServerConfig& config, RandomFill random)
    : config_(config), random_(std::move(random)) {}

ChapServer::~ChapServer() {
    wipe();
}

void ChapServer::wipe() {
    secureZero(challenge_, sizeof challenge_);
    if (!secret_.empty())
        secureZero(secret_.data(), secret_.size());
    secret_.clear();
    user_.clear();
}

void ChapServer::reset() {
    wipe();
    step_ = Step::Idle;
}

const ChapUser* ChapServer::findUser(const std::string& name) const {
    for (const auto& u : config_.chapUsers)
        if (u.name == name)
            return &u;
    return nullptr;
}

ChapServer::Outcome ChapServer::start(const std::optional<FaultSpec>& fault) {
    Outcome out;
    reset();
    if (!random_(challenge_, kChallengeSize)) {
        out.reply = Reply(status::ServerFailure, "no random source");
        return out;
    }
    cryptOffered_ = config_.offerCrypt && !(fault && fault->mode == FaultMode::NoCrypt);
    step_ = Step::Started;
    out.reply = Reply(status::Ok, "challenge");
    out.reply.add("CHAP_C", crypto::encodeBinaryValue(challenge_, kChallengeSize));
    out.reply.add("crypt", cryptOffered_ ? "yes" : "no");
    return out;
}

ChapServer::Outcome ChapServer::check(const Command& command,
                                      const std::optional<FaultSpec>& fault) {
    Outcome out;
    if (step_ != Step::Started) {
        out.reply = Reply(status::NotAllowed, "auth start first");
        return out;
    }
    // A challenge answers one check only.
    step_ = Step::Idle;

    const std::string* name = command.option("CHAP_N");
    const std::string* response = command.option("CHAP_R");
    const std::string* crypt = command.option("crypt");
    const std::string* clientChallenge = command.option("CHAP_C");
    const ChapUser* user = name ? findUser(*name) : nullptr;

    std::uint8_t got[32];
    auto gotSize = response ? decodeStrict(*response, got, sizeof got) : std::nullopt;
    std::uint8_t expected[crypto::kMd5DigestSize];
    bool accepted = false;
    if (user && gotSize && *gotSize == crypto::kMd5DigestSize) {
        crypto::md5(user->secret.data(), user->secret.size(), challenge_, kChallengeSize, expected);
        accepted = crypto::constantTimeEqual16(expected, got);
    }
    secureZero(expected, sizeof expected);
    if (!accepted) {
        wipe();
        out.reply = Reply(status::AuthFailed, "authentication failed");
        return out;
    }
    const bool wantCrypt = crypt && *crypt == "yes";
    if (wantCrypt && !cryptOffered_) {
        wipe();
        out.reply = Reply(status::Unsupported, "encryption not offered");
        return out;
    }

    if (!clientChallenge) {
        out.reply = Reply(status::Ok, "authenticated");
        out.loggedIn = true;
        out.user = user->name;
        if (wantCrypt) {
            ChannelKey key;
            crypto::deriveChannelKey(challenge_, kChallengeSize, user->secret.data(),
                                     user->secret.size(), key.data());
            out.channel = key;
        }
        wipe();
        return out;
    }

    std::uint8_t peerChallenge[64];
    auto peerSize = decodeStrict(*clientChallenge, peerChallenge, sizeof peerChallenge);
    if (!peerSize || *peerSize == 0) {
        wipe();
        out.reply = Reply(status::BadCommand, "unreadable CHAP_C");
        return out;
    }
    const std::string& peerName = user->peerName.empty() ? config_.peerName : user->peerName;
    const std::string& peerSecret = user->peerName.empty() ? config_.peerSecret : user->peerSecret;
    std::uint8_t proof[crypto::kMd5DigestSize];
    crypto::md5(peerSecret.data(), peerSecret.size(), peerChallenge, *peerSize, proof);
    if (fault && fault->mode == FaultMode::BadProof)
        proof[0] ^= 0x01;
    out.reply = Reply(status::Ok, "authenticated");
    out.reply.add("CHAP_N", fault && fault->mode == FaultMode::BadName ? peerName + "x" : peerName);
    out.reply.add("CHAP_R", crypto::encodeBinaryValue(proof, sizeof proof));
    secureZero(proof, sizeof proof);
    user_ = user->name;
    secret_ = user->secret;
    step_ = Step::AwaitingOk;
    return out;
}

ChapServer::Outcome ChapServer::confirm(const Command& command) {
    Outcome out;
    if (step_ != Step::AwaitingOk) {
        out.reply = Reply(status::NotAllowed, "no mutual authentication in progress");
        return out;
    }
    step_ = Step::Idle;
    const std::string* crypt = command.option("crypt");
    const bool wantCrypt = crypt && *crypt == "yes";
    if (wantCrypt && !cryptOffered_) {
        wipe();
        out.reply = Reply(status::Unsupported, "encryption not offered");
        return out;
    }
    out.reply = Reply(status::Ok, "authenticated");
    out.loggedIn = true;
    out.user = user_;
    if (wantCrypt) {
        ChannelKey key;
        crypto::deriveChannelKey(challenge_, kChallengeSize, secret_.data(), secret_.size(),
                                 key.data());
        out.channel = key;
    }
    wipe();
    return out;
}

} // namespace dravolin::testserver
