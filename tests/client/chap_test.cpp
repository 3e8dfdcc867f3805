// CHAP login against a scripted service: the exact login lines, mutual proof, the encrypted
// channel and every failure that must end the login.
#include "api_support.h"

#include "base64.h"
#include "crypto_provider.h"
#include "md5.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace apitest;
using testpeer::LoopbackPeer;
using testpeer::PeerLink;
using testpeer::reply;

namespace {

const std::vector<std::uint8_t> kServerChallenge = {1, 2,  3,  4,  5,  6,  7,  8,
                                                    9, 10, 11, 12, 13, 14, 15, 16};
const std::string kChallengeText = "0bAQIDBAUGBwgJCgsMDQ4PEA==";
// MD5("secret" || kServerChallenge)
const std::string kAliceResponse = "0b9xXonJU2KLk+HdqCZq6/+g==";

struct ChapScript {
    std::string authMode = "chap";
    std::string crypt = "yes";
    int startStatus = 200;
    int checkStatus = 200;
    std::string proofName = "server";
    std::string proofSecret = "peersecret";
    int proofBytes = 16; // length of the proof sent back
    // Raw bytes sent instead of every reply after login: one send per piece, `gapMs` apart;
    // then the connection closes when `closeAfter` is set.
    std::vector<std::string> afterLogin;
    int gapMs = 0;
    bool closeAfter = false;
    std::atomic<int> framesSeen{0}; // encrypted frames received after login
    std::vector<std::size_t> frameSizes;
    std::vector<std::string> frames;
};

std::string valueOf(const std::string& line, const std::string& option) {
    const auto at = line.find(option + ":\"");
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + option.size() + 2;
    return line.substr(start, line.find('"', start) - start);
}

LoopbackPeer::Handler chapService(ChapScript& script) {
    return [&script](PeerLink& link) {
        link.send(testpeer::kGreeting);
        bool encryptNext = false;
        bool encrypted = false;
        while (auto line = link.readLine()) {
            std::string answer;
            if (*line == "get CtlAuthMode") {
                answer = reply(200, {{"Parameter", "CtlAuthMode"}, {"Value", script.authMode}});
            } else if (*line == "auth start") {
                answer = reply(script.startStatus,
                               {{"CHAP_C", kChallengeText}, {"crypt", script.crypt}});
            } else if (line->rfind("auth check", 0) == 0) {
                const bool ok = valueOf(*line, "-CHAP_R") == kAliceResponse;
                const std::string theirs = valueOf(*line, "-CHAP_C");
                std::vector<Record> records;
                if (!theirs.empty()) {
                    std::uint8_t challenge[32];
                    const auto n = dravolin::crypto::decodeBinaryValue(theirs, challenge, 32);
                    std::uint8_t proof[17] = {};
                    dravolin::crypto::md5(script.proofSecret.data(), script.proofSecret.size(),
                                          challenge, n, proof);
                    records = {{"CHAP_N", script.proofName},
                               {"CHAP_R", dravolin::crypto::encodeBinaryValue(
                                              proof, static_cast<std::size_t>(script.proofBytes))}};
                } else {
                    encryptNext = line->find(" -crypt:yes") != std::string::npos;
                }
                answer = reply(ok ? script.checkStatus : 102, records);
            } else if (line->rfind("auth ok", 0) == 0) {
                encryptNext = *line == "auth ok -crypt:yes";
                answer = reply(200);
            } else if (encrypted && !script.afterLogin.empty()) {
                for (std::size_t i = 0; i < script.afterLogin.size(); ++i) {
                    if (i != 0 && script.gapMs != 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(script.gapMs));
                    }
                    link.sendRaw(script.afterLogin[i]);
                }
                if (script.closeAfter) {
                    return;
                }
                continue;
            } else {
                answer = reply(200, {{"echo", *line}});
            }
            link.send(answer);
            if (encryptNext && !encrypted) {
                link.switchOnEncryption(kServerChallenge, "secret");
                encrypted = true;
            }
        }
    };
}

LoginParameters chap(const char* peerName, const char* peerSecret, bool encrypt) {
    return LoginParameters{1,        "alice",    "secret",
                           peerName, peerSecret, static_cast<unsigned char>(encrypt ? 1 : 0)};
}

int echo(uint32_t handle, const std::string& what, int* reason = nullptr) {
    Response* r = nullptr;
    int result = DravolinClient_SendRequest(handle, 7, what.c_str(), &r, nullptr, nullptr);
    if (result == 0 && recordsOf(r) != std::vector<Record>{{"echo", "get " + what}}) {
        result = -1;
    }
    if (reason) {
        DravolinClient_ResponseGetReason(r, reason, nullptr, 0);
    }
    DravolinClient_ResponseFree(r);
    return result;
}

const std::string kCheckOneWay = "auth check -CHAP_N:\"alice\"  -CHAP_R:\"" + kAliceResponse + "\"";

} // namespace

TEST_F(ApiTest, ChapOneWayLoginLines) {
    ChapScript script;
    LoopbackPeer peer(chapService(script));
    const uint32_t handle = connect(peer);
    const LoginParameters lp = chap(nullptr, nullptr, false);
    ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
    EXPECT_EQ(peer.lines(),
              (std::vector<std::string>{"get CtlAuthMode", "auth start", kCheckOneWay}));
    EXPECT_EQ(echo(handle, "plain"), 0);
}

TEST_F(ApiTest, ChapOneWayWithEncryptionSwitchesTheChannel) {
    ChapScript script;
    LoopbackPeer peer(chapService(script));
    const uint32_t handle = connect(peer);
    const LoginParameters lp = chap(nullptr, nullptr, true);
    ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
    EXPECT_EQ(peer.lines().back(), kCheckOneWay + " -crypt:yes");
    // The peer only understands frames now: answers prove the client encrypts and decrypts.
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(echo(handle, "secret-" + std::to_string(i)), 0);
    }
}

TEST_F(ApiTest, ChapMutualLoginProvesTheServer) {
    for (const bool encrypt : {false, true}) {
        ChapScript script;
        LoopbackPeer peer(chapService(script));
        const uint32_t handle = connect(peer);
        const LoginParameters lp = chap("server", "peersecret", encrypt);
        uint32_t id = 0;
        ASSERT_EQ(DravolinClient_Login(handle, &lp, &id, Completions::callback), 0);
        ASSERT_TRUE(Completions::instance().waitFor(1));
        EXPECT_EQ(Completions::instance().all().back().failed, 0);
        EXPECT_EQ(Completions::instance().countFor(id), 1u);
        const auto lines = peer.lines();
        ASSERT_EQ(lines.size(), 4u);
        const std::string head = kCheckOneWay + (encrypt ? " -crypt:yes" : "") + " -CHAP_C:\"";
        ASSERT_EQ(lines[2].substr(0, head.size()), head);
        const std::string challenge = lines[2].substr(head.size());
        // 16 bytes: "0b", 22 Base64 characters, "==", then the closing quote.
        ASSERT_EQ(challenge.size(), 27u) << lines[2];
        EXPECT_EQ(challenge.substr(0, 2), "0b");
        EXPECT_EQ(challenge.substr(24), "==\"");
        EXPECT_EQ(challenge.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 2),
                  24u);
        EXPECT_EQ(lines[3], encrypt ? "auth ok -crypt:yes" : "auth ok");
        EXPECT_EQ(echo(handle, "after"), 0);
        Completions::instance().reset();
    }
}

TEST_F(ApiTest, ClientChallengesAreFreshForEveryLogin) {
    ChapScript script;
    LoopbackPeer peer(chapService(script));
    const uint32_t a = connect(peer);
    const uint32_t b = connect(peer);
    const LoginParameters lp = chap("server", "peersecret", false);
    ASSERT_EQ(DravolinClient_Login(a, &lp, nullptr, nullptr), 0);
    ASSERT_EQ(DravolinClient_Login(b, &lp, nullptr, nullptr), 0);
    std::vector<std::string> challenges;
    for (const auto& line : peer.lines()) {
        if (line.rfind("auth check", 0) == 0) {
            challenges.push_back(valueOf(line, "-CHAP_C"));
        }
    }
    ASSERT_EQ(challenges.size(), 2u);
    EXPECT_NE(challenges[0], challenges[1]);
}

TEST_F(ApiTest, EveryFailedChapStepEndsTheLogin) {
    struct Case {
        const char* what;
        std::function<void(ChapScript&)> setup;
        bool mutual;
        bool encrypt;
        std::size_t linesSent; // nothing after the failing step
        int status;            // as the extension reports it
        int reason;
    };
    constexpr int kServer = DRAVOLIN_REASON_NONE;
    constexpr int kClient = DRAVOLIN_REASON_LOGIN;
    const std::vector<Case> cases = {
        {"start refused", [](ChapScript& s) { s.startStatus = 101; }, false, false, 2, 101,
         kServer},
        {"no crypt offered", [](ChapScript& s) { s.crypt = "no"; }, false, true, 2, 105, kClient},
        {"crypt not exactly yes", [](ChapScript& s) { s.crypt = "YES"; }, true, true, 2, 105,
         kClient},
        {"check refused one-way", [](ChapScript& s) { s.checkStatus = 102; }, false, false, 3, 102,
         kServer},
        {"check refused mutual", [](ChapScript& s) { s.checkStatus = 102; }, true, false, 3, 102,
         kServer},
        {"wrong server name", [](ChapScript& s) { s.proofName = "Server"; }, true, false, 3, 105,
         kClient},
        {"wrong server secret", [](ChapScript& s) { s.proofSecret = "guess"; }, true, true, 3, 105,
         kClient},
        {"proof of 15 bytes", [](ChapScript& s) { s.proofBytes = 15; }, true, false, 3, 105,
         kClient},
        {"proof of 17 bytes", [](ChapScript& s) { s.proofBytes = 17; }, true, false, 3, 105,
         kClient},
    };
    for (const auto& c : cases) {
        for (const bool async : {false, true}) {
            Completions::instance().reset();
            ChapScript script;
            c.setup(script);
            LoopbackPeer peer(chapService(script));
            const uint32_t handle = connect(peer);
            const LoginParameters lp = c.mutual ? chap("server", "peersecret", c.encrypt)
                                                : chap(nullptr, nullptr, c.encrypt);
            if (async) {
                uint32_t id = 0;
                ASSERT_EQ(DravolinClient_Login(handle, &lp, &id, Completions::callback), 0);
                ASSERT_TRUE(Completions::instance().waitFor(1)) << c.what;
                EXPECT_EQ(Completions::instance().all()[0].failed, 1) << c.what;
            } else {
                EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1) << c.what;
            }
            int status = 0;
            int reason = -1;
            EXPECT_EQ(DravolinClient_GetLastFailure(handle, &status, &reason, nullptr, 0), 0);
            EXPECT_EQ(status, c.status) << c.what;
            EXPECT_EQ(reason, c.reason) << c.what;
            // The connection goes on in plain text, and nothing more of the login was sent.
            EXPECT_EQ(echo(handle, "next"), 0) << c.what;
            const auto lines = peer.lines();
            ASSERT_EQ(lines.size(), c.linesSent + 1) << c.what;
            EXPECT_EQ(lines.back(), "get next");
            EXPECT_EQ(Completions::instance().all().size(), async ? 1u : 0u) << c.what;
        }
    }
}

TEST_F(ApiTest, AuthModeOtherThanChapDoesNotEndTheLogin) {
    ChapScript script;
    script.authMode = "CHAP";
    LoopbackPeer peer(chapService(script));
    const uint32_t handle = connect(peer);
    const LoginParameters lp = chap(nullptr, nullptr, false);
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
    EXPECT_EQ(peer.lines().size(), 3u);
}

// The channel's frames as the peer sends them for `text`: frames of at most `chunk` bytes.
std::string framesOf(const std::string& text, std::size_t chunk = 32767) {
    const dravolin::crypto::ChannelCipher cipher(kServerChallenge.data(), kServerChallenge.size(),
                                                 "secret", 6);
    std::string out;
    for (std::size_t at = 0; at < text.size() || at == 0; at += chunk) {
        dravolin::crypto::CryptoProvider random;
        const auto part = text.substr(at, chunk);
        const auto frame = dravolin::crypto::encodeFrame(cipher, part.data(), part.size(), random);
        out.append(frame.begin(), frame.end());
    }
    return out;
}

std::vector<std::string> cut(const std::string& bytes, std::size_t piece) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        pieces.push_back(bytes.substr(at, piece));
    }
    return pieces;
}

TEST_F(ApiTest, FramesAreReassembledAndBrokenOnesCloseTheConnection) {
    const std::string echoX = reply(200, {{"echo", "get x"}});
    const std::string frames = framesOf(echoX, 5); // a frame per 5 text bytes
    std::string damaged = framesOf(echoX);
    damaged[damaged.size() / 2] ^= 0x10;
    const std::string half = framesOf(echoX).substr(0, 40);
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        int gapMs;
        bool closeAfter;
        int result;  // of the first request
        bool usable; // a second request succeeds as well
    };
    const std::vector<Case> cases = {
        {"one frame in two sends, 1.5 s apart", cut(framesOf(echoX), 20), 1500, false, 0, true},
        {"one frame in 7-byte sends", cut(framesOf(echoX), 7), 0, false, 0, true},
        {"many frames in one send", {frames}, 0, false, 0, true},
        {"many frames cut across their ends", cut(frames, 45), 1, false, 0, true},
        {"empty frames in between",
         {framesOf("") + framesOf(echoX) + framesOf("")},
         0,
         false,
         0,
         false},
        {"the reply, then part of another frame", {framesOf(echoX) + half}, 0, false, 0, false},
        {"a damaged frame", {damaged}, 0, false, 1, false},
        {"more than 32,784 bytes without a frame end",
         {std::string(33000, 'A')},
         0,
         false,
         1,
         false},
        {"part of a frame, then the end of the stream", {half}, 0, true, 1, false},
        {"part of a frame, then silence for the idle limit", {half}, 0, false, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ChapScript script;
        script.afterLogin = c.pieces;
        script.gapMs = c.gapMs;
        script.closeAfter = c.closeAfter;
        LoopbackPeer peer(chapService(script));
        const uint32_t handle = connect(peer);
        const LoginParameters lp = chap(nullptr, nullptr, true);
        ASSERT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 0);
        int reason = -1;
        EXPECT_EQ(echo(handle, "x", &reason), c.result);
        if (c.result != 0) {
            EXPECT_EQ(reason, DRAVOLIN_REASON_FRAME_REJECTED);
            EXPECT_EQ(echo(handle, "y", &reason), 1) << "closed after a rejected frame";
            EXPECT_EQ(reason, DRAVOLIN_REASON_CONNECTION_LOST);
        } else if (c.usable) {
            EXPECT_EQ(echo(handle, "x"), 0);
        }
    }
}

TEST_F(ApiTest, ChapNeedsNameAndSecret) {
    ChapScript script;
    LoopbackPeer peer(chapService(script));
    const uint32_t handle = connect(peer);
    LoginParameters lp = chap(nullptr, nullptr, false);
    lp.password = nullptr;
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1);
    lp = chap(nullptr, nullptr, false);
    lp.name = nullptr;
    EXPECT_EQ(DravolinClient_Login(handle, &lp, nullptr, nullptr), 1);
    EXPECT_EQ(echo(handle, "z"), 0);
    EXPECT_EQ(peer.lines(), std::vector<std::string>{"get z"});
}
