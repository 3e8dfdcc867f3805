// The pure steps of the challenge-handshake login.
#pragma once

#include "commands.h"
#include "reply_parser.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dravolin::protocol {

inline constexpr std::size_t kMaxChallenge = 32;
inline constexpr std::size_t kClientChallengeSize = 16;
using Digest = std::array<std::uint8_t, 16>;

// The auth-mode reply names CHAP when its record at index 1 is exactly "chap".
bool authModeIsChap(const RecordList& records);

struct StartReply {
    std::string challengeText; // last "CHAP_C" value; empty when missing
    bool cryptOffered = false; // some "crypt" record is exactly "yes"
};
StartReply readStartReply(const RecordList& records);

// Decodes a binary value into at most kMaxChallenge bytes.
std::vector<std::uint8_t> decodeChallenge(std::string_view text);

// MD5(first || second).
Digest digestOf(std::string_view first, const std::uint8_t* second, std::size_t secondSize);

// The check line for a server challenge; clientChallenge empty without mutual authentication.
std::string buildCheckLine(std::string_view chapName, std::string_view chapSecret,
                           const std::vector<std::uint8_t>& serverChallenge, bool encrypt,
                           const std::vector<std::uint8_t>& clientChallenge);

// The server's proof in a check reply: the name must equal peerName exactly and the response
// must decode to exactly the expected 16 bytes (compared in constant time).
bool verifyServerProof(const RecordList& records, std::string_view peerName,
                       std::string_view peerSecret,
                       const std::vector<std::uint8_t>& clientChallenge);

} // namespace dravolin::protocol
