// Command parsing, reply formatting, fault plans, the command line and the
// per-connection conversation, all without sockets.
#include "command.h"
#include "config.h"
#include "fault.h"
#include "reply.h"
#include "session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace ts = dravolin::testserver;

namespace {

// The status code and records of a formatted reply, read the way clients do.
struct Parsed {
    int status = -1;
    std::vector<std::pair<std::string, std::string>> records;
    std::vector<std::string> body;
    bool complete = false;
};

Parsed parseReply(const std::string& text) {
    Parsed p;
    std::size_t pos = 0;
    int state = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            break;
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (state == 0) {
            p.status = std::stoi(line.substr(0, 3));
            state = 1;
        } else if (state == 1) {
            if (line.empty()) {
                state = 2;
                continue;
            }
            auto eq = line.find('=');
            std::string v = line.substr(eq + 1);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.substr(1, v.size() - 2);
            p.records.emplace_back(line.substr(0, eq), v);
        } else {
            if (line.empty() || line == "\r") {
                p.complete = true;
                break;
            }
            p.body.push_back(line);
        }
    }
    return p;
}

std::string value(const Parsed& p, const std::string& name) {
    for (auto& [n, v] : p.records)
        if (n == name)
            return v;
    return "<missing>";
}

std::string text(ts::Outgoing& out) {
    std::string s = out.head;
    if (out.body) {
        std::vector<char> buf(1 << 16);
        while (std::size_t n = out.body->read(buf.data(), buf.size()))
            s.append(buf.data(), n);
    }
    return s + out.tail;
}

ts::RandomFill counting() {
    return [](std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            p[i] = static_cast<std::uint8_t>(i + 1);
        return true;
    };
}

struct SessionFixture : ::testing::Test {
    ts::ServerConfig cfg;
    std::unique_ptr<ts::ServerState> state;
    std::unique_ptr<ts::Session> session;

    void SetUp() override {
        cfg.users = {{"alice", "pw with blanks"}, {"", ""}};
        make();
    }
    void make() {
        state = std::make_unique<ts::ServerState>(cfg.authMode);
        session = std::make_unique<ts::Session>(cfg, *state, 1, counting());
    }
    Parsed ask(const std::string& line) {
        ts::Outgoing out = session->handle(line);
        return parseReply(text(out));
    }
};

} // namespace

TEST(CommandParsing, OptionsQuotedValuesAndGluedWords) {
    auto c = ts::parseCommand("list -what:\"devices\"1\n");
    EXPECT_EQ(c.word, "list");
    ASSERT_NE(c.option("what"), nullptr);
    EXPECT_EQ(*c.option("what"), "devices");
    ASSERT_EQ(c.words.size(), 1u);
    EXPECT_EQ(c.words[0], "1");

    auto chk = ts::parseCommand(
        "auth check -CHAP_N:\"bob smith\"  -CHAP_R:\"0bAAAA\" -crypt:yes -CHAP_C:\"0bBBBB\"\n");
    EXPECT_EQ(*chk.option("CHAP_N"), "bob smith");
    EXPECT_EQ(*chk.option("CHAP_R"), "0bAAAA");
    EXPECT_EQ(*chk.option("crypt"), "yes");
    EXPECT_EQ(*chk.option("CHAP_C"), "0bBBBB");
    EXPECT_EQ(chk.words, std::vector<std::string>{"check"});
}

TEST(CommandParsing, OddInputNeverFails) {
    EXPECT_EQ(ts::parseCommand("").word, "");
    EXPECT_EQ(ts::parseCommand("\r\n").word, "");
    auto unterminated = ts::parseCommand("add -device:\"open quote");
    EXPECT_EQ(*unterminated.option("device"), "open quote");
    auto dash = ts::parseCommand("control - -x -:y\r\n");
    EXPECT_EQ(dash.options.size(), 0u);
    EXPECT_EQ(dash.words, (std::vector<std::string>{"-", "-x", "-:y"}));
    // The last of repeated options counts.
    EXPECT_EQ(*ts::parseCommand("x -a:1 -a:2").option("a"), "2");
    EXPECT_EQ(ts::parseCommand("login  bob  pw\n").rest, "bob  pw");
}

TEST(ReplyFormat, LinesValuesAndBodies) {
    ts::Reply r(200, "OK");
    r.add("Name", " padded ").add("Broken", "a\r\nb");
    r.bodyLines = {"x", "", "\r"};
    EXPECT_EQ(ts::formatReply(r), "200 OK\r\nName=\" padded \"\r\nBroken=\"a  b\"\r\n\r\n"
                                  "x\r\n \r\n \r\n\r\n");
    EXPECT_EQ(ts::formatReply(ts::Reply(7, "")), "007\r\n\r\n\r\n");
    EXPECT_EQ(ts::formatRecord("a=b", "v"), "a_b=\"v\"\r\n");
}

TEST(FaultSpecs, ParseAndDefaults) {
    std::string err;
    auto f = ts::parseFaultSpec("status,on=list,times=3,status=104", err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(f->mode, ts::FaultMode::Status);
    EXPECT_EQ(f->on, "list");
    EXPECT_EQ(f->times, 3u);
    EXPECT_EQ(f->status, 104);
    // The login faults land on the step they act on unless told otherwise.
    EXPECT_EQ(ts::parseFaultSpec("badproof", err)->on, "auth check");
    EXPECT_EQ(ts::parseFaultSpec("nocrypt", err)->on, "auth start");
    EXPECT_EQ(ts::parseFaultSpec("badname,on=*", err)->on, "*");
    for (const char* bad : {"", "explode", "close,at", "close,at=x", "drip,gap=99999",
                            "status,status=1000", "close,on=", "close,what=1"})
        EXPECT_FALSE(ts::parseFaultSpec(bad, err)) << bad;
}

TEST(FaultSpecs, QueueMatchesCommandsAndCountsDown) {
    std::string err;
    ts::FaultQueue q;
    q.arm(*ts::parseFaultSpec("drip,on=getlog,times=2", err));
    q.arm(*ts::parseFaultSpec("close,on=auth", err));
    q.arm(*ts::parseFaultSpec("reset,times=0", err));
    EXPECT_EQ(q.take("greeting"), std::nullopt); // "*" never hits the greeting
    EXPECT_EQ(q.take("getlog")->mode, ts::FaultMode::Drip);
    EXPECT_EQ(q.take("auth check")->mode, ts::FaultMode::Close);
    EXPECT_EQ(q.take("auth start")->mode, ts::FaultMode::Reset); // used up above
    EXPECT_EQ(q.take("getlog")->mode, ts::FaultMode::Drip);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(q.take("getlog")->mode, ts::FaultMode::Reset); // times=0: forever
    EXPECT_FALSE(ts::faultApplies(*ts::parseFaultSpec("close,on=auth", err), "authx"));
}

TEST(SendPlans, EachFaultCutsTheReplyAsDocumented) {
    std::string err;
    auto spec = [&](const char* s) { return ts::parseFaultSpec(s, err); };
    auto none = ts::planSend(1000, std::nullopt, 0);
    EXPECT_EQ(none.sendBytes, 1000u);
    EXPECT_EQ(none.after, ts::AfterReply::Continue);
    EXPECT_GE(none.chunk, 1000u); // small replies go out in one send

    EXPECT_EQ(ts::planSend(1000, spec("close"), 0).sendBytes, 500u);
    EXPECT_EQ(ts::planSend(1000, spec("close,at=0"), 0).sendBytes, 0u);
    EXPECT_EQ(ts::planSend(1000, spec("reset,at=5000"), 0).sendBytes, 1000u);
    EXPECT_EQ(ts::planSend(1000, spec("reset"), 0).after, ts::AfterReply::Reset);
    auto hang = ts::planSend(1000, spec("hang"), 0);
    EXPECT_EQ(hang.sendBytes, 998u);
    EXPECT_EQ(hang.after, ts::AfterReply::Hang);
    EXPECT_EQ(ts::planSend(1000, spec("mute"), 0).sendBytes, 0u);
    auto drip = ts::planSend(1u << 20, spec("drip,gap=3"), 0);
    EXPECT_EQ(drip.dripBytes, ts::kMaxDripBytes);
    EXPECT_EQ(drip.dripGapMs, 3u);
    EXPECT_TRUE(ts::planSend(10, spec("double"), 0).appendExtraReply);
    for (std::size_t frameText : {0u, 1000u}) {
        auto split = ts::planSend(1000, spec("split,size=7,gap=2"), frameText);
        EXPECT_EQ(split.splitPiece, 7u);
        EXPECT_EQ(split.splitGapMs, 2u);
        EXPECT_EQ(split.sendBytes, 1000u);
        EXPECT_EQ(ts::planSend(1000, spec("split"), frameText).splitPiece, ts::kDefaultSplitPiece);
        EXPECT_TRUE(ts::planSend(1000, spec("coalesce"), frameText).coalesce);
    }
    EXPECT_FALSE(spec("split,size=0"));
    // Frame faults only exist on an encrypted connection.
    EXPECT_EQ(ts::planSend(100, spec("frame40"), 0).junkFrame, 0u);
    EXPECT_EQ(ts::planSend(100, spec("frame40"), 32767).junkFrame, 40u);
    EXPECT_EQ(ts::planSend(100, spec("frame16"), 32767).junkFrame, 16u);
    EXPECT_TRUE(ts::planSend(100, spec("corruptframe"), 32767).corruptFirstFrame);
    EXPECT_EQ(ts::planSend(100000, std::nullopt, 1000).chunk, 1000u);
}

TEST(CommandLine, ParsesEverySwitch) {
    std::string err;
    auto cfg = ts::parseArguments({"--port",
                                   "3260",
                                   "--user",
                                   "a:b:c",
                                   "--user",
                                   "empty:",
                                   "--chap-user",
                                   "c:s",
                                   "--chap-user",
                                   "d:s2:srv:ss",
                                   "--peer",
                                   "me:mine",
                                   "--auth-mode",
                                   "plain",
                                   "--no-crypt",
                                   "--open",
                                   "--log-file",
                                   "/tmp/x/app.log",
                                   "--log-size",
                                   "123",
                                   "--fault",
                                   "drip,on=list",
                                   "--random-faults",
                                   "0.25",
                                   "--seed",
                                   "7",
                                   "--random-modes",
                                   "close,hang",
                                   "--frame-gap-ms",
                                   "5",
                                   "--frame-text",
                                   "100",
                                   "--reply-delay-us",
                                   "200",
                                   "--exit-after",
                                   "9",
                                   "--exit-on-stdin-close",
                                   "--exit-on-shutdown",
                                   "--verbose"},
                                  err);
    ASSERT_TRUE(cfg) << err;
    EXPECT_FALSE(cfg->ephemeral);
    EXPECT_EQ(cfg->servicePort, 3260);
    EXPECT_EQ(cfg->users[0].name, "a");
    EXPECT_EQ(cfg->users[0].secret, "b:c");
    EXPECT_EQ(cfg->users[1].secret, "");
    EXPECT_EQ(cfg->chapUsers[0].secret, "s");
    EXPECT_EQ(cfg->chapUsers[1].peerName, "srv");
    EXPECT_EQ(cfg->chapUsers[1].peerSecret, "ss");
    EXPECT_EQ(cfg->peerName, "me");
    EXPECT_EQ(cfg->authMode, "plain");
    EXPECT_FALSE(cfg->offerCrypt);
    EXPECT_TRUE(cfg->open);
    EXPECT_EQ(cfg->effectiveLogName(), "app.log");
    EXPECT_EQ(cfg->logSize, 123u);
    EXPECT_EQ(cfg->faults.size(), 1u);
    EXPECT_DOUBLE_EQ(cfg->randomFaultRate, 0.25);
    EXPECT_TRUE(cfg->seedGiven);
    EXPECT_EQ(cfg->randomModes.size(), 2u);
    EXPECT_EQ(cfg->frameGapMs, 5u);
    EXPECT_EQ(cfg->frameText, 100u);
    EXPECT_EQ(cfg->replyDelayUs, 200u);
    EXPECT_EQ(cfg->exitAfterSeconds, 9u);
    EXPECT_TRUE(cfg->exitOnStdinClose && cfg->exitOnShutdown && cfg->verbose);
}

TEST(CommandLine, RejectsBadArguments) {
    std::string err;
    for (auto args : std::vector<std::vector<std::string>>{{"--port", "65535"},
                                                           {"--port"},
                                                           {"--port", "x"},
                                                           {"--user", "nocolon"},
                                                           {"--chap-user", ":s"},
                                                           {"--chap-user", "a:b:c"},
                                                           {"--random-faults", "2"},
                                                           {"--random-modes", "close,zap"},
                                                           {"--frame-text", "40000"},
                                                           {"--reply-delay-us", "10000001"},
                                                           {"--reply-delay-us", "-1"},
                                                           {"--bogus"},
                                                           {"--fault", "zap"}}) {
        err.clear();
        EXPECT_FALSE(ts::parseArguments(args, err)) << args[0];
        EXPECT_FALSE(err.empty());
    }
    auto defaults = ts::parseArguments({}, err);
    ASSERT_TRUE(defaults);
    EXPECT_TRUE(defaults->ephemeral);
    EXPECT_EQ(defaults->effectiveLogName(), "service.log");
}

TEST_F(SessionFixture, GreetingAndLoginGate) {
    ts::Outgoing g = session->greeting();
    auto greet = parseReply(text(g));
    EXPECT_EQ(greet.status, 200);
    EXPECT_TRUE(greet.complete);
    EXPECT_EQ(value(greet, "CtlAuthMode"), "chap");

    // Before a login only the login steps and the auth-mode query work.
    EXPECT_EQ(ask("list -what:\"devices\"1\n").status, 101);
    EXPECT_EQ(ask("getlog\n").status, 101);
    EXPECT_EQ(ask("shutdown\n").status, 101);
    auto mode = ask("get CtlAuthMode\n");
    EXPECT_EQ(mode.status, 200);
    ASSERT_GE(mode.records.size(), 2u);
    EXPECT_EQ(mode.records[1].second, "chap"); // clients read it by position

    EXPECT_EQ(ask("login alice wrong\n").status, 102);
    EXPECT_EQ(ask("login alice pw with blanks\n").status, 200);
    EXPECT_TRUE(session->loggedIn());
    EXPECT_EQ(ask("list -what:\"devices\"1\n").status, 200);
    EXPECT_EQ(ask("logoff\n").status, 200);
    EXPECT_EQ(ask("list -what:\"devices\"1\n").status, 101);
    // A user with empty name and password logs in with the bare word.
    EXPECT_EQ(ask("login\n").status, 200);
    EXPECT_EQ(session->user(), "");
    EXPECT_EQ(ask("login pw with blanks\n").status, 102); // "pw" is no user

    cfg.users = {{"", "only-pw"}};
    make();
    EXPECT_EQ(ask("login only-pw\n").status, 200); // an empty name drops out of the line
    EXPECT_EQ(ask("login x only-pw\n").status, 102);
}

TEST_F(SessionFixture, DeviceTablePermissionsAndParameters) {
    ASSERT_EQ(ask("login alice pw with blanks\n").status, 200);
    auto devices = ask("list -what:\"devices\"1\n");
    EXPECT_EQ(value(devices, "Count"), "3");
    EXPECT_EQ(value(devices, "Type"), "file");
    auto names = ask("list -what:\"devices\"0\n");
    EXPECT_EQ(names.records.size(), 4u); // count and three names only
    EXPECT_EQ(ask("list -what:\"volumes\"\n").status, 100);
    EXPECT_EQ(ask("list\n").status, 100);

    EXPECT_EQ(ask("add -device:\"disk9\" -size:\"4096\"\n").status, 200);
    EXPECT_EQ(ask("add disk9\n").status, 103); // exists
    EXPECT_EQ(ask("add -size:\"x\" d\n").status, 100);
    EXPECT_EQ(ask("allow bob disk9 r\n").status, 200);
    EXPECT_EQ(ask("allow bob disk9 rwx\n").status, 100);
    EXPECT_EQ(ask("allow bob nodisk r\n").status, 103);
    auto perms = ask("list -what:\"permissions\" -user:\"bob\"\n");
    EXPECT_EQ(value(perms, "Count"), "1");
    EXPECT_EQ(value(perms, "Access"), "r");
    EXPECT_EQ(ask("remove disk9\n").status, 200);
    EXPECT_EQ(value(ask("list -what:\"permissions\" -user:\"bob\"\n"), "Count"), "0");
    EXPECT_EQ(ask("remove disk9\n").status, 103);
    EXPECT_EQ(ask("remove (null)\n").status, 103);

    EXPECT_EQ(ask("set LogLevel=4\n").status, 200);
    EXPECT_EQ(ask("get LogLevel\n").records[1].second, "4");
    EXPECT_EQ(ask("set Alias two words\n").status, 200);
    EXPECT_EQ(ask("get Alias\n").records[1].second, "two words");
    EXPECT_EQ(ask("set -name:\"LogLevel\" -value:\"1\"\n").status, 200);
    EXPECT_EQ(ask("set CtlAuthMode plain\n").status, 101);
    EXPECT_EQ(ask("set Nothing 1\n").status, 103);
    EXPECT_EQ(ask("get (null)\n").status, 103);
    EXPECT_EQ(ask("statistics (null)\n").status, 200);
    EXPECT_EQ(value(ask("statistics disk0\n"), "Device"), "disk0");
    EXPECT_EQ(ask("statistics nodisk\n").status, 103);
    EXPECT_EQ(value(ask("control ping \n"), "Result"), "pong");
    EXPECT_EQ(ask("control (null) \n").status, 103);
    EXPECT_EQ(ask("frobnicate\n").status, 100);
    ts::Outgoing blank = session->handle("\r\n");
    EXPECT_TRUE(blank.silent);
}

TEST_F(SessionFixture, GetlogNamesAndStreamsTheLog) {
    cfg.logSize = 1000;
    make();
    ASSERT_EQ(ask("login alice pw with blanks\n").status, 200);
    auto log = ask("getlog\n");
    EXPECT_EQ(log.status, 200);
    EXPECT_TRUE(log.complete);
    EXPECT_EQ(value(log, "LogFilename"), "service.log");
    EXPECT_EQ(value(log, "LogSize"), "1000");
    std::size_t bytes = 0;
    for (auto& l : log.body)
        bytes += l.size() + 2;
    EXPECT_EQ(bytes, 1000u);

    // Per-connection overrides, for tests of hostile names and big logs.
    EXPECT_EQ(ask("control -logsize:\"2\" -logname:\"../evil\" \n").status, 200);
    auto evil = ask("getlog\n");
    EXPECT_EQ(value(evil, "LogFilename"), "../evil");
    EXPECT_EQ(value(evil, "LogSize"), "3");

    cfg.logFile = "/nonexistent/dir/log.txt";
    make();
    ASSERT_EQ(ask("login alice pw with blanks\n").status, 200);
    EXPECT_EQ(ask("getlog\n").status, 105);
}

TEST_F(SessionFixture, ThinkTimeFromTheCommandLineOrPerConnection) {
    cfg.replyDelayUs = 300;
    make();
    EXPECT_EQ(session->greeting().delayUs, 300u);
    EXPECT_EQ(session->handle("get CtlAuthMode\n").delayUs, 300u);
    ts::Outgoing set = session->handle("control -delay:\"1000\" \n");
    EXPECT_EQ(set.delayUs, 0u); // steering lines answer at once
    EXPECT_EQ(value(parseReply(text(set)), "ReplyDelay"), "1000");
    EXPECT_EQ(session->handle("login alice pw with blanks\n").delayUs, 1000u);
    EXPECT_EQ(session->handle("control -delay:\"0\" \n").delayUs, 0u);
    EXPECT_EQ(session->handle("get LogLevel\n").delayUs, 0u);
    EXPECT_EQ(ask("control -delay:\"10000001\" \n").status, 100);
    EXPECT_EQ(ask("control -delay:\"-5\" \n").status, 100);
    EXPECT_EQ(ask("control -clear:\"all\" \n").status, 200);
    EXPECT_EQ(session->handle("get LogLevel\n").delayUs, 300u);
}

TEST_F(SessionFixture, ArmedFaultsShapeTheNextReply) {
    ASSERT_EQ(ask("login alice pw with blanks\n").status, 200);
    // The steering command itself is never hit.
    EXPECT_EQ(ask("control -fault:\"status\" -status:\"104\" -on:\"list\" \n").status, 200);
    EXPECT_EQ(ask("get LogLevel\n").status, 200);
    EXPECT_EQ(ask("list -what:\"devices\"1\n").status, 104);
    EXPECT_EQ(ask("list -what:\"devices\"1\n").status, 200);

    ASSERT_EQ(ask("control -fault:\"longline\" -size:\"40000\" \n").status, 200);
    ts::Outgoing out = session->handle("get LogLevel\n");
    ASSERT_TRUE(out.fault);
    auto p = parseReply(text(out));
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[0].second.size(), 40000u); // first, so later lines still count
    EXPECT_EQ(p.records[2].second, "2");

    ASSERT_EQ(ask("control -fault:\"reset\" -times:\"0\" \n").status, 200);
    EXPECT_EQ(session->handle("get LogLevel\n").fault->mode, ts::FaultMode::Reset);
    EXPECT_EQ(session->handle("get LogLevel\n").fault->mode, ts::FaultMode::Reset);
    ASSERT_EQ(ask("control -clear:\"faults\" \n").status, 200);
    EXPECT_FALSE(session->handle("get LogLevel\n").fault);
    EXPECT_EQ(ask("control -fault:\"zap\" \n").status, 100);
}

TEST_F(SessionFixture, CommandLineFaultsAndGreeting) {
    std::string err;
    cfg.faults = {*ts::parseFaultSpec("status,on=greeting,status=101", err),
                  *ts::parseFaultSpec("mute,on=login", err)};
    make();
    ts::Outgoing greeting = session->greeting();
    EXPECT_EQ(parseReply(text(greeting)).status, 101);
    EXPECT_EQ(session->handle("login alice x\n").fault->mode, ts::FaultMode::Mute);
    EXPECT_FALSE(session->handle("login alice x\n").fault);
}

TEST_F(SessionFixture, RandomFaultsFollowTheSeed) {
    cfg.randomFaultRate = 0.5;
    cfg.seed = 42;
    cfg.seedGiven = true;
    cfg.randomModes = {ts::FaultMode::Drip, ts::FaultMode::Double};
    auto run = [&] {
        make();
        std::string trace;
        for (int i = 0; i < 64; ++i) {
            auto out = session->handle("get CtlAuthMode\n");
            trace += out.fault ? std::string(ts::faultModeName(out.fault->mode)) : "-";
        }
        return trace;
    };
    std::string a = run();
    EXPECT_EQ(a, run());
    EXPECT_NE(a.find("drip"), std::string::npos);
    EXPECT_NE(a.find("double"), std::string::npos);
    EXPECT_NE(a.find('-'), std::string::npos);
}
