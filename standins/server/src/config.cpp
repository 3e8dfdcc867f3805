#include "config.h"

#include <charconv>

namespace dravolin::testserver {

namespace {

template <typename T> bool parseNumber(const std::string& s, T& out) {
    if (s.empty())
        return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

bool splitPair(const std::string& s, std::string& name, std::string& secret) {
    std::size_t colon = s.find(':');
    if (colon == std::string::npos)
        return false;
    name = s.substr(0, colon);
    secret = s.substr(colon + 1);
    return true;
}

bool parseRate(const std::string& s, double& rate) {
    // Per mille or a fraction: "0.25", "0", "1".
    std::size_t dot = s.find('.');
    std::string whole = dot == std::string::npos ? s : s.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : s.substr(dot + 1);
    unsigned w = 0;
    if (!whole.empty() && !parseNumber(whole, w))
        return false;
    double value = w;
    double scale = 0.1;
    for (char c : frac) {
        if (c < '0' || c > '9')
            return false;
        value += (c - '0') * scale;
        scale /= 10;
    }
    if ((whole.empty() && frac.empty()) || value > 1.0)
        return false;
    rate = value;
    return true;
}

} // namespace

std::string ServerConfig::effectiveLogName() const {
    if (!logName.empty())
        return logName;
    if (!logFile.empty()) {
        std::size_t cut = logFile.find_last_of("/\\");
        return cut == std::string::npos ? logFile : logFile.substr(cut + 1);
    }
    return "service.log";
}

std::optional<ServerConfig> parseArguments(const std::vector<std::string>& args,
                                           std::string& error) {
    ServerConfig cfg;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            cfg.help = true;
        } else if (a == "--port") {
            unsigned port = 0;
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, port) || port > 65534) {
                error = "--port takes a service port from 0 to 65534";
                return std::nullopt;
            }
            cfg.servicePort = static_cast<std::uint16_t>(port);
            cfg.ephemeral = port == 0;
        } else if (a == "--bind") {
            if (!value(cfg.bindAddress))
                return std::nullopt;
        } else if (a == "--user") {
            Credential c;
            if (!value(v))
                return std::nullopt;
            if (!splitPair(v, c.name, c.secret)) {
                error = "--user takes NAME:PASSWORD";
                return std::nullopt;
            }
            cfg.users.push_back(std::move(c));
        } else if (a == "--chap-user") {
            ChapUser u;
            if (!value(v))
                return std::nullopt;
            std::string rest;
            if (!splitPair(v, u.name, rest) || u.name.empty()) {
                error = "--chap-user takes NAME:SECRET or NAME:SECRET:PEERNAME:PEERSECRET";
                return std::nullopt;
            }
            // The secret runs to the next colon only when a peer pair follows.
            std::size_t c1 = rest.find(':');
            if (c1 != std::string::npos) {
                std::string peer = rest.substr(c1 + 1);
                u.secret = rest.substr(0, c1);
                if (!splitPair(peer, u.peerName, u.peerSecret) || u.peerName.empty()) {
                    error = "--chap-user takes NAME:SECRET or NAME:SECRET:PEERNAME:PEERSECRET";
                    return std::nullopt;
                }
            } else {
                u.secret = rest;
            }
            cfg.chapUsers.push_back(std::move(u));
        } else if (a == "--peer") {
            if (!value(v))
                return std::nullopt;
            if (!splitPair(v, cfg.peerName, cfg.peerSecret) || cfg.peerName.empty()) {
                error = "--peer takes NAME:SECRET";
                return std::nullopt;
            }
        } else if (a == "--auth-mode") {
            if (!value(cfg.authMode))
                return std::nullopt;
        } else if (a == "--no-crypt") {
            cfg.offerCrypt = false;
        } else if (a == "--open") {
            cfg.open = true;
        } else if (a == "--log-file") {
            if (!value(cfg.logFile))
                return std::nullopt;
        } else if (a == "--log-name") {
            if (!value(cfg.logName))
                return std::nullopt;
        } else if (a == "--log-size") {
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, cfg.logSize)) {
                error = "--log-size takes a byte count";
                return std::nullopt;
            }
        } else if (a == "--fault") {
            if (!value(v))
                return std::nullopt;
            auto spec = parseFaultSpec(v, error);
            if (!spec)
                return std::nullopt;
            cfg.faults.push_back(*spec);
        } else if (a == "--random-faults") {
            if (!value(v))
                return std::nullopt;
            if (!parseRate(v, cfg.randomFaultRate)) {
                error = "--random-faults takes a rate from 0 to 1";
                return std::nullopt;
            }
        } else if (a == "--random-modes") {
            if (!value(v))
                return std::nullopt;
            cfg.randomModes.clear();
            std::size_t pos = 0;
            while (pos <= v.size()) {
                std::size_t comma = v.find(',', pos);
                std::string name = v.substr(pos, comma - pos);
                auto mode = faultModeFromName(name);
                if (!mode) {
                    error = "unknown fault mode '" + name + "'";
                    return std::nullopt;
                }
                cfg.randomModes.push_back(*mode);
                if (comma == std::string::npos)
                    break;
                pos = comma + 1;
            }
        } else if (a == "--seed") {
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, cfg.seed)) {
                error = "--seed takes a number";
                return std::nullopt;
            }
            cfg.seedGiven = true;
        } else if (a == "--frame-gap-ms") {
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, cfg.frameGapMs) || cfg.frameGapMs > 10000) {
                error = "--frame-gap-ms takes milliseconds up to 10000";
                return std::nullopt;
            }
        } else if (a == "--frame-text") {
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, cfg.frameText) || cfg.frameText < 1 || cfg.frameText > 32767) {
                error = "--frame-text takes a size from 1 to 32767";
                return std::nullopt;
            }
        } else if (a == "--reply-delay-us") {
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, cfg.replyDelayUs) || cfg.replyDelayUs > kMaxReplyDelayUs) {
                error = "--reply-delay-us takes microseconds up to 10000000";
                return std::nullopt;
            }
        } else if (a == "--exit-after") {
            if (!value(v))
                return std::nullopt;
            if (!parseNumber(v, cfg.exitAfterSeconds)) {
                error = "--exit-after takes seconds";
                return std::nullopt;
            }
        } else if (a == "--exit-on-stdin-close") {
            cfg.exitOnStdinClose = true;
        } else if (a == "--verbose") {
            cfg.verbose = true;
        } else if (a == "--wire-log") {
            if (!value(cfg.wireLogPath))
                return std::nullopt;
        } else if (a == "--exit-on-shutdown") {
            cfg.exitOnShutdown = true;
        } else if (a == "--write-log") {
            if (!value(cfg.writeLogPath))
                return std::nullopt;
        } else {
            error = "unknown argument '" + a + "'";
            return std::nullopt;
        }
    }
    if (cfg.randomModes.empty())
        cfg.randomModes = {FaultMode::Close,    FaultMode::Reset,  FaultMode::Drip,
                           FaultMode::LongLine, FaultMode::Double, FaultMode::Status};
    return cfg;
}

std::string usageText() {
    return R"(usage: dravolin-testserver [options]
  --port P                service port P; listens on P + 1 (0 or absent: any free port)
  --bind ADDR             IPv4 or IPv6 address to listen on (default 127.0.0.1; :: takes
                          IPv6 and IPv4 together)
  --user NAME:PASSWORD    a plain-login user (repeatable)
  --chap-user NAME:SECRET[:PEERNAME:PEERSECRET]
                          a CHAP user (repeatable), optionally with its own server identity
  --peer NAME:SECRET      the server's identity for mutual CHAP (default testserver:testserver-secret)
  --auth-mode TEXT        value of "CtlAuthMode" (default chap)
  --no-crypt              "auth start" offers "crypt" "no"
  --open                  commands work without a login
  --log-file PATH         "getlog" serves this file
  --log-name NAME         "LogFilename" of "getlog" (default: the file's name or service.log)
  --log-size N            size of the generated log when no --log-file (default 65536)
  --fault SPEC            inject a fault on every connection (repeatable), SPEC is
                          mode[,on=WORD][,times=N][,status=N][,at=N][,size=N][,gap=MS]
  --random-faults RATE    inject a random fault into this fraction of replies
  --random-modes LIST     modes for random faults (default close,reset,drip,longline,double,status)
  --seed N                seed of the random faults
  --frame-gap-ms MS       pause between the frames of one encrypted reply, for tests of
                          paced peers (default 0: back to back)
  --frame-text N          text bytes per encrypted frame (default and most 32767)
  --reply-delay-us US     think time: pause this long before every reply (default 0)
  --exit-after SECONDS    stop after this long
  --exit-on-stdin-close   stop when standard input ends
  --exit-on-shutdown      stop after answering "shutdown"
  --verbose               one line per reply on standard error (command word, status, fault)
  --wire-log FILE         append every line received ("#N < line") and sent ("#N > line",
                          without a log body) of connection N to FILE, after decryption
  --write-log PATH        write the body "getlog" would send to PATH and exit
)";
}

} // namespace dravolin::testserver
