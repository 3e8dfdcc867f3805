#include "chap.h"

#include "base64.h"
#include "frame_codec.h"
#include "md5.h"

namespace dravolin::protocol {

bool authModeIsChap(const RecordList& records) {
    return records.size() >= 2 && records[1].value == "chap";
}

StartReply readStartReply(const RecordList& records) {
    StartReply reply;
    for (const RecordView record : records) {
        if (record.name == "CHAP_C") {
            reply.challengeText = record.value;
        } else if (record.name == "crypt" && record.value == "yes") {
            reply.cryptOffered = true;
        }
    }
    return reply;
}

std::vector<std::uint8_t> decodeChallenge(std::string_view text) {
    std::vector<std::uint8_t> bytes(kMaxChallenge);
    bytes.resize(crypto::decodeBinaryValue(text, bytes.data(), bytes.size()));
    return bytes;
}

Digest digestOf(std::string_view first, const std::uint8_t* second, std::size_t secondSize) {
    Digest digest{};
    crypto::md5(first.data(), first.size(), second, secondSize, digest.data());
    return digest;
}

std::string buildCheckLine(std::string_view chapName, std::string_view chapSecret,
                           const std::vector<std::uint8_t>& serverChallenge, bool encrypt,
                           const std::vector<std::uint8_t>& clientChallenge) {
    const Digest response = digestOf(chapSecret, serverChallenge.data(), serverChallenge.size());
    const std::string encodedResponse = crypto::encodeBinaryValue(response.data(), response.size());
    const std::string encodedChallenge =
        clientChallenge.empty()
            ? std::string()
            : crypto::encodeBinaryValue(clientChallenge.data(), clientChallenge.size());
    return chapCheckLine(chapName, encodedResponse, encrypt, encodedChallenge);
}

bool verifyServerProof(const RecordList& records, std::string_view peerName,
                       std::string_view peerSecret,
                       const std::vector<std::uint8_t>& clientChallenge) {
    std::string_view name;
    std::string_view response;
    for (const RecordView record : records) {
        if (record.name == "CHAP_N") {
            name = record.value;
        } else if (record.name == "CHAP_R") {
            response = record.value;
        }
    }
    if (name != peerName || response.empty()) {
        return false;
    }
    const Digest expected = digestOf(peerSecret, clientChallenge.data(), clientChallenge.size());
    std::uint8_t proof[kMaxChallenge] = {};
    if (crypto::decodeBinaryValue(response, proof, sizeof proof) != expected.size()) {
        return false;
    }
    return crypto::constantTimeEqual16(proof, expected.data());
}

} // namespace dravolin::protocol
