// The server side of the challenge-handshake login, checked against digests
// computed independently (MD5 of the byte strings, Base64 with the "0b" prefix).
#include "chap.h"
#include "session.h"

#include <gtest/gtest.h>

namespace ts = dravolin::testserver;

namespace {

// The challenge is bytes 1..16; the values below were computed outside this
// code base from that challenge and the secrets "s3cret" and "peer-pw".
constexpr const char* kChallenge = "0bAQIDBAUGBwgJCgsMDQ4PEA==";
constexpr const char* kResponse = "0bofT0B3pxrwmuJcNUkvEzpw==";        // MD5("s3cret" || challenge)
constexpr const char* kClientChallenge = "0bZGVmZ2hpamtsbW5vcHFycw=="; // bytes 100..115
constexpr const char* kProof = "0bfJiZTx9Zb5zYB30Yui0NkQ=="; // MD5("peer-pw" || client challenge)
const ts::ChannelKey kKey = {0x9c, 0xdc, 0x4b, 0xb9, 0xa9, 0xdf, 0x48, 0xb9,
                             0x2c, 0x19, 0x52, 0x0d, 0x00, 0x14, 0x31, 0xe3};

ts::RandomFill counting() {
    return [](std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            p[i] = static_cast<std::uint8_t>(i + 1);
        return true;
    };
}

std::string value(const ts::Reply& r, const std::string& name) {
    for (auto& [n, v] : r.records)
        if (n == name)
            return v;
    return "<missing>";
}

std::string checkLine(const std::string& name, const std::string& response, bool crypt,
                      const char* clientChallenge) {
    std::string line = "auth check -CHAP_N:\"" + name + "\"  -CHAP_R:\"" + response + "\"";
    if (crypt)
        line += " -crypt:yes";
    if (clientChallenge)
        line += std::string(" -CHAP_C:\"") + clientChallenge + "\"";
    return line + "\n";
}

struct Chap : ::testing::Test {
    ts::ServerConfig cfg;
    Chap() {
        cfg.chapUsers = {{"bob", "s3cret", "", ""}, {"eve", "s3cret", "eve-server", "other"}};
        cfg.peerName = "srv";
        cfg.peerSecret = "peer-pw";
    }
    ts::ChapServer::Outcome check(ts::ChapServer& chap, const std::string& line,
                                  std::optional<ts::FaultSpec> fault = std::nullopt) {
        return chap.check(ts::parseCommand(line), fault);
    }
};

} // namespace

TEST_F(Chap, OneWayLoginWithAndWithoutEncryption) {
    ts::ChapServer chap(cfg, counting());
    auto start = chap.start(std::nullopt);
    EXPECT_EQ(start.reply.status, 200);
    EXPECT_EQ(value(start.reply, "CHAP_C"), kChallenge);
    EXPECT_EQ(value(start.reply, "crypt"), "yes");

    auto plain = check(chap, checkLine("bob", kResponse, false, nullptr));
    EXPECT_EQ(plain.reply.status, 200);
    EXPECT_TRUE(plain.loggedIn);
    EXPECT_EQ(plain.user, "bob");
    EXPECT_FALSE(plain.channel);

    chap.start(std::nullopt);
    auto enc = check(chap, checkLine("bob", kResponse, true, nullptr));
    EXPECT_EQ(enc.reply.status, 200);
    ASSERT_TRUE(enc.channel);
    EXPECT_EQ(*enc.channel, kKey); // MD5(challenge || secret)
}

TEST_F(Chap, RefusesWrongResponsesUnknownUsersAndReplays) {
    ts::ChapServer chap(cfg, counting());
    EXPECT_EQ(check(chap, checkLine("bob", kResponse, false, nullptr)).reply.status, 101);
    chap.start(std::nullopt);
    EXPECT_EQ(check(chap, checkLine("nobody", kResponse, false, nullptr)).reply.status, 102);
    chap.start(std::nullopt);
    // The same digest as hexadecimal text, or without its prefix, is refused.
    EXPECT_EQ(check(chap, checkLine("bob", "a1f4f4077a71af09ae25c35492f133a7", false, nullptr))
                  .reply.status,
              102);
    chap.start(std::nullopt);
    EXPECT_EQ(check(chap, checkLine("bob", std::string(kResponse).substr(2), false, nullptr))
                  .reply.status,
              102);
    chap.start(std::nullopt);
    EXPECT_EQ(check(chap, "auth check -CHAP_N:\"bob\"\n").reply.status, 102);
    chap.start(std::nullopt);
    EXPECT_EQ(check(chap, checkLine("bob", kResponse, false, nullptr)).reply.status, 200);
    // One challenge answers one check.
    EXPECT_EQ(check(chap, checkLine("bob", kResponse, false, nullptr)).reply.status, 101);
}

TEST_F(Chap, MutualProofAndConfirmation) {
    ts::ChapServer chap(cfg, counting());
    chap.start(std::nullopt);
    auto c = check(chap, checkLine("bob", kResponse, true, kClientChallenge));
    EXPECT_EQ(c.reply.status, 200);
    EXPECT_FALSE(c.loggedIn); // complete only with the confirmation
    EXPECT_FALSE(c.channel);
    EXPECT_EQ(value(c.reply, "CHAP_N"), "srv");
    EXPECT_EQ(value(c.reply, "CHAP_R"), kProof);

    auto ok = chap.confirm(ts::parseCommand("auth ok -crypt:yes\n"));
    EXPECT_EQ(ok.reply.status, 200);
    EXPECT_TRUE(ok.loggedIn);
    ASSERT_TRUE(ok.channel);
    EXPECT_EQ(*ok.channel, kKey);
    EXPECT_EQ(chap.confirm(ts::parseCommand("auth ok\n")).reply.status, 101);

    // A user may carry its own server identity.
    chap.start(std::nullopt);
    auto eve = check(chap, checkLine("eve", kResponse, false, kClientChallenge));
    EXPECT_EQ(value(eve.reply, "CHAP_N"), "eve-server");
    EXPECT_NE(value(eve.reply, "CHAP_R"), kProof);
    auto eveOk = chap.confirm(ts::parseCommand("auth ok\n"));
    EXPECT_TRUE(eveOk.loggedIn);
    EXPECT_FALSE(eveOk.channel);
}

TEST_F(Chap, InjectedLoginFaults) {
    std::string err;
    ts::ChapServer chap(cfg, counting());
    auto noCrypt = chap.start(ts::parseFaultSpec("nocrypt", err));
    EXPECT_EQ(value(noCrypt.reply, "crypt"), "no");
    // A client that asks for encryption anyway is refused.
    EXPECT_EQ(check(chap, checkLine("bob", kResponse, true, nullptr)).reply.status, 104);

    chap.start(std::nullopt);
    auto badProof = check(chap, checkLine("bob", kResponse, false, kClientChallenge),
                          ts::parseFaultSpec("badproof", err));
    EXPECT_EQ(badProof.reply.status, 200);
    EXPECT_NE(value(badProof.reply, "CHAP_R"), kProof);
    EXPECT_EQ(value(badProof.reply, "CHAP_R").size(), std::string(kProof).size());

    chap.start(std::nullopt);
    auto badName = check(chap, checkLine("bob", kResponse, false, kClientChallenge),
                         ts::parseFaultSpec("badname", err));
    EXPECT_NE(value(badName.reply, "CHAP_N"), "srv");
    EXPECT_EQ(value(badName.reply, "CHAP_R"), kProof);

    cfg.offerCrypt = false;
    ts::ChapServer noOffer(cfg, counting());
    EXPECT_EQ(value(noOffer.start(std::nullopt).reply, "crypt"), "no");
}

TEST_F(Chap, SessionSwitchesOnceAndGatesCommands) {
    ts::ServerState state(cfg.authMode);
    ts::Session s(cfg, state, 1, counting());
    EXPECT_EQ(s.handle("auth ok\n").head.substr(0, 3), "101");
    s.handle("auth start\n");
    ts::Outgoing accepted = s.handle(checkLine("bob", kResponse, true, nullptr));
    EXPECT_EQ(accepted.head.substr(0, 3), "200");
    ASSERT_TRUE(accepted.channel);
    EXPECT_TRUE(s.loggedIn());
    EXPECT_EQ(s.handle("list -what:\"devices\"1\n").head.substr(0, 3), "200");
    // A second login keeps the channel's first key.
    s.handle("auth start\n");
    EXPECT_FALSE(s.handle(checkLine("bob", kResponse, true, nullptr)).channel);
    // A fault armed on "auth check" hits that step only.
    s.handle("control -fault:\"badname\" \n");
    EXPECT_FALSE(s.handle("auth start\n").fault);
    EXPECT_EQ(s.handle(checkLine("bob", kResponse, false, kClientChallenge)).fault->mode,
              ts::FaultMode::BadName);
}
