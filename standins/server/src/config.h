// The server's command line. Pure parsing, no I/O.
#pragma once

#include "fault.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravolin::testserver {

struct Credential {
    std::string name;
    std::string secret;
};

struct ChapUser {
    std::string name;
    std::string secret;
    // What the server proves itself with to this user under mutual
    // authentication; empty name means the server-wide --peer.
    std::string peerName;
    std::string peerSecret;
};

// The longest think time before a reply (--reply-delay-us, control -delay).
inline constexpr unsigned kMaxReplyDelayUs = 10'000'000;

struct ServerConfig {
    std::string bindAddress = "127.0.0.1";
    bool ephemeral = true;
    std::uint16_t servicePort = 0; // listening port is this + 1

    std::vector<Credential> users;
    std::vector<ChapUser> chapUsers;
    std::string peerName = "testserver";
    std::string peerSecret = "testserver-secret";
    std::string authMode = "chap"; // value of "CtlAuthMode"
    bool offerCrypt = true;
    bool open = false; // commands without login

    std::string logFile;           // served by "getlog" when set
    std::string logName;           // "LogFilename"; default from logFile or "service.log"
    std::uint64_t logSize = 65536; // generated log size

    std::vector<FaultSpec> faults; // armed on every connection
    double randomFaultRate = 0.0;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    std::vector<FaultMode> randomModes;

    unsigned frameGapMs = 0;       // pause between frames of one encrypted reply
    std::size_t frameText = 32767; // text bytes per encrypted frame
    unsigned replyDelayUs = 0;     // think time before every reply (microseconds)

    unsigned exitAfterSeconds = 0;
    bool exitOnStdinClose = false;
    bool exitOnShutdown = false;

    bool verbose = false;     // one line per reply on standard error
    std::string wireLogPath;  // every line received and sent, appended here (--wire-log)
    std::string writeLogPath; // write the getlog body there and exit
    bool help = false;

    std::string effectiveLogName() const;
};

// Parses the arguments after the program name. Null with a message in
// `error` on a bad argument.
std::optional<ServerConfig> parseArguments(const std::vector<std::string>& args,
                                           std::string& error);

std::string usageText();

} // namespace dravolin::testserver
