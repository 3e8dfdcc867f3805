// Pure protocol code over byte strings: line framing, reply parsing, command lines, login
// lines, log names and error texts.
#include "chap.h"
#include "commands.h"
#include "line_assembler.h"
#include "log_names.h"
#include "reply_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace dravolin::protocol;

namespace {

struct Fed {
    std::vector<std::string> lines;
    int skipped = 0;
};

// Feeds `data` in pieces of the given sizes (the rest in one piece) and collects lines.
Fed feedPieces(LineAssembler& assembler, const std::string& data, std::vector<std::size_t> cuts) {
    Fed fed;
    std::size_t at = 0;
    cuts.push_back(data.size());
    for (const std::size_t cut : cuts) {
        while (at < cut) {
            std::size_t used = 0;
            const auto r = assembler.feed(data.data() + at, cut - at, used);
            at += used;
            if (r == LineAssembler::Result::Line) {
                fed.lines.emplace_back(assembler.line());
            } else if (r == LineAssembler::Result::Skipped) {
                ++fed.skipped;
            }
        }
    }
    return fed;
}

// Parses a complete reply fed in the given pieces.
struct Parsed {
    int status = 0;
    std::vector<Record> records;
    std::string body;
    bool complete = false;
};

Parsed parsePieces(const std::string& data, const std::vector<std::size_t>& cuts) {
    LineAssembler assembler;
    ReplyParser parser;
    Parsed parsed;
    for (const auto& line : feedPieces(assembler, data, cuts).lines) {
        if (parser.consumeLine(line) == ReplyParser::Event::Body) {
            parsed.body += line;
        }
        if (parser.state() == ParseState::Complete) {
            break;
        }
    }
    parsed.status = parser.status;
    parsed.records = parser.records.toVector();
    parsed.complete = parser.state() == ParseState::Complete;
    return parsed;
}

} // namespace

TEST(LineAssembler, CompleteLinesEndInCrLfOnly) {
    LineAssembler a;
    const auto fed = feedPieces(a, "one\r\ntwo\nstill two\r\nthree\r", {});
    ASSERT_EQ(fed.lines.size(), 2u);
    EXPECT_EQ(fed.lines[0], "one\r\n");
    EXPECT_EQ(fed.lines[1], "two\nstill two\r\n");
    EXPECT_FALSE(a.empty()); // "three\r" waits for its LF
    const auto more = feedPieces(a, "\n", {});
    ASSERT_EQ(more.lines.size(), 1u);
    EXPECT_EQ(more.lines[0], "three\r\n");
}

TEST(LineAssembler, SameLinesWhateverTheSplit) {
    const std::string data = "200 ok\r\nName = \"v\"\r\n\r\nbody\nline\r\n\r\r\n";
    LineAssembler whole;
    const auto expected = feedPieces(whole, data, {}).lines;
    ASSERT_EQ(expected.size(), 5u);
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        LineAssembler a;
        EXPECT_EQ(feedPieces(a, data, {cut}).lines, expected) << "cut at " << cut;
    }
    std::vector<std::size_t> bytes;
    for (std::size_t i = 1; i < data.size(); ++i) {
        bytes.push_back(i);
    }
    LineAssembler a;
    EXPECT_EQ(feedPieces(a, data, bytes).lines, expected);
}

TEST(LineAssembler, OverLongLineIsSkippedWholeAndLaterLinesParse) {
    const std::string longLine(kMaxLineLength + 100, 'x');
    const std::string data = "first\r\n" + longLine + "\r\nafter\r\n";
    for (const std::size_t cut :
         {std::size_t(0), std::size_t(7), std::size_t(1000), std::size_t(7 + kMaxLineLength),
          data.size() - 9, data.size() - 8, data.size() - 7}) {
        LineAssembler a;
        const auto fed = feedPieces(a, data, {cut});
        ASSERT_EQ(fed.lines.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(fed.lines[0], "first\r\n");
        EXPECT_EQ(fed.lines[1], "after\r\n");
        EXPECT_EQ(fed.skipped, 1);
    }
}

TEST(LineAssembler, OverLongLineFedByteByByteKeepsNothingPastTheLimit) {
    std::string data(kMaxLineLength * 2, 'y');
    data += "\r\nok\r\n";
    LineAssembler a;
    Fed fed;
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::size_t used = 0;
        const auto r = a.feed(&data[i], 1, used);
        ASSERT_EQ(used, 1u);
        EXPECT_LE(a.line().size(), kMaxLineLength);
        if (r == LineAssembler::Result::Line) {
            fed.lines.emplace_back(a.line());
        } else if (r == LineAssembler::Result::Skipped) {
            ++fed.skipped;
        }
    }
    EXPECT_EQ(fed.skipped, 1);
    ASSERT_EQ(fed.lines.size(), 1u);
    EXPECT_EQ(fed.lines[0], "ok\r\n");
}

TEST(LineAssembler, LineOfExactlyTheLimitIsKept) {
    std::string line(kMaxLineLength - 2, 'z');
    line += "\r\n";
    LineAssembler a;
    const auto fed = feedPieces(a, line, {100});
    ASSERT_EQ(fed.lines.size(), 1u);
    EXPECT_EQ(fed.lines[0], line);
    // One byte more is skipped.
    LineAssembler b;
    EXPECT_EQ(feedPieces(b, "z" + line, {}).skipped, 1);
}

TEST(StatusLine, FirstThreeCharactersDecideWithinTheAllowedSet) {
    EXPECT_EQ(parseStatusLine("200 OK\r\n"), 200);
    EXPECT_EQ(parseStatusLine("2000\r\n"), 200);
    EXPECT_EQ(parseStatusLine("104 no\r\n"), 104);
    EXPECT_EQ(parseStatusLine("100\r\n"), 100);
    EXPECT_EQ(parseStatusLine("99 \r\n"), 105);
    EXPECT_EQ(parseStatusLine("106\r\n"), 105);
    EXPECT_EQ(parseStatusLine("abc\r\n"), 105);
    EXPECT_EQ(parseStatusLine("\r\n"), 105);
    EXPECT_EQ(parseStatusLine("200"), 105); // three characters are not more than three
    EXPECT_EQ(parseStatusLine("+20\r\n"), 105);
    EXPECT_EQ(parseStatusLine(" 20\r\n"), 105);
    EXPECT_EQ(parseStatusLine("-200\r\n"), 105);
    EXPECT_EQ(parseStatusLine("201\r\n"), 105);
}

TEST(HeaderLine, TrimsBlanksAndOnePairOfQuotes) {
    Record r;
    ASSERT_TRUE(parseHeaderLine(" \tName\t =  \"a value\" \t\r\n", r));
    EXPECT_EQ(r, (Record{"Name", "a value"}));
    ASSERT_TRUE(parseHeaderLine("k=\"\r\n", r));
    EXPECT_EQ(r.value, "\"");
    ASSERT_TRUE(parseHeaderLine("k=\"\"\r\n", r));
    EXPECT_EQ(r.value, "");
    ASSERT_TRUE(parseHeaderLine("k=\"open\r\n", r));
    EXPECT_EQ(r.value, "\"open");
    ASSERT_TRUE(parseHeaderLine("k=\"\"x\"\"\r\n", r));
    EXPECT_EQ(r.value, "\"x\"");
    ASSERT_TRUE(parseHeaderLine("k=a=b\r\n", r));
    EXPECT_EQ(r, (Record{"k", "a=b"}));
    ASSERT_TRUE(parseHeaderLine("=v\r\n", r));
    EXPECT_EQ(r, (Record{"", "v"}));
    ASSERT_TRUE(parseHeaderLine(" \t= \r\n", r));
    EXPECT_EQ(r, (Record{"", ""}));
    EXPECT_FALSE(parseHeaderLine("no equals sign\r\n", r));
}

TEST(ReplyParser, WholeReplyGivesStatusRecordsInOrderAndBody) {
    const std::string data =
        "200 fine\r\nA=1\r\nnoise line\r\nB = \"2\"\r\nA=3\r\n\r\nbody one\r\nx\r\r\n\r\r\n";
    const auto p = parsePieces(data, {});
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.status, 200);
    EXPECT_EQ(p.records, (std::vector<Record>{{"A", "1"}, {"B", "2"}, {"A", "3"}}));
    EXPECT_EQ(p.body, "body one\r\nx\r\r\n"); // "x" CR CR LF is a body line, not the end
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        const auto q = parsePieces(data, {cut});
        EXPECT_EQ(q.records, p.records) << "cut at " << cut;
        EXPECT_EQ(q.body, p.body);
        EXPECT_TRUE(q.complete);
    }
}

TEST(ReplyParser, MinimalAndMalformedReplies) {
    auto p = parsePieces("200 ok\r\n\r\n\r\n", {});
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.status, 200);
    EXPECT_TRUE(p.records.empty());

    // An empty status line still moves on to the headers.
    p = parsePieces("\r\nk=v\r\n\r\n\r\n", {});
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.status, 105);
    EXPECT_EQ(p.records.size(), 1u);

    p = parsePieces("103 refused\r\nwhy=because\r\n\r\n\r\r\n", {});
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.status, 103);

    p = parsePieces("200 ok\r\nk=v\r\n\r\nno end yet\r\n", {});
    EXPECT_FALSE(p.complete);

    ReplyParser parser;
    for (const char* line : {"200\r\n\r\n", "\r\n", "\r\n"}) {
        parser.consumeLine(line);
    }
    EXPECT_EQ(parser.state(), ParseState::Complete);
    EXPECT_EQ(parser.consumeLine("late\r\n"), ReplyParser::Event::Invalid);
}

TEST(CommandLines, EveryRequestCode) {
    const auto line = [](unsigned code, const char* arg) {
        const auto c = buildCommandLine(code, arg);
        EXPECT_TRUE(c.valid) << code;
        return c.text;
    };
    EXPECT_EQ(line(0, "ignored"), "logoff\n");
    EXPECT_EQ(line(1, "dev1 -size:\"10\""), "add dev1 -size:\"10\"\n");
    EXPECT_EQ(line(2, "dev1"), "remove dev1\n");
    EXPECT_EQ(line(3, "dev1 user"), "allow dev1 user\n");
    EXPECT_EQ(line(4, nullptr), "list -what:\"devices\"1\n");
    EXPECT_EQ(line(4, " -id:\"2\""), "list -what:\"devices\" -id:\"2\"\n");
    EXPECT_EQ(line(5, nullptr), "list -what:\"permissions\"\n");
    EXPECT_EQ(line(5, " -user:\"u\""), "list -what:\"permissions\" -user:\"u\"\n");
    EXPECT_EQ(line(6, "A=1"), "set A=1\n");
    EXPECT_EQ(line(7, "A"), "get A\n");
    EXPECT_EQ(line(8, "ignored"), "getlog\n");
    EXPECT_EQ(line(9, nullptr), "shutdown\n");
    EXPECT_EQ(line(10, "all"), "statistics all\n");
    EXPECT_EQ(line(11, "restart"), "control restart \n");
    for (unsigned code : {6u, 7u, 10u}) {
        EXPECT_NE(line(code, nullptr).find("(null)\n"), std::string::npos) << code;
    }
    EXPECT_EQ(line(11, nullptr), "control (null) \n");
    EXPECT_EQ(line(1, ""), "add \n");
}

TEST(CommandLines, RequestCodesMapToKinds) {
    EXPECT_EQ(kindForRequestCode(6), RequestKind::Parameter);
    EXPECT_EQ(kindForRequestCode(7), RequestKind::Parameter);
    EXPECT_EQ(kindForRequestCode(0), RequestKind::Logoff);
    EXPECT_EQ(kindForRequestCode(8), RequestKind::GetLog);
    EXPECT_EQ(kindForRequestCode(11), RequestKind::Control);
    EXPECT_FALSE(kindForRequestCode(12));
    EXPECT_FALSE(kindForRequestCode(0xFFFFFFFFu));
    EXPECT_FALSE(buildCommandLine(12, "x").valid);
}

TEST(CommandLines, RefusedInsteadOfTruncatedOrIncomplete) {
    for (unsigned code : {1u, 2u, 3u}) {
        EXPECT_FALSE(buildCommandLine(code, nullptr).valid) << code;
    }
    // "set " + argument + "\n" up to 4096 characters is fine, one more is refused.
    const std::string fits(kMaxFormattedLine - 5, 'a');
    const auto ok = buildCommandLine(6, fits.c_str());
    EXPECT_TRUE(ok.valid);
    EXPECT_EQ(ok.text.size(), kMaxFormattedLine);
    const std::string over = fits + "a";
    for (unsigned code : {6u, 7u, 10u, 11u}) {
        EXPECT_FALSE(buildCommandLine(code, over.c_str()).valid) << code;
    }
    // add, remove, allow and the listings have no such limit: the whole argument goes out.
    const std::string big(10000, 'b');
    for (unsigned code : {1u, 2u, 3u, 4u, 5u}) {
        const auto line = buildCommandLine(code, big.c_str());
        EXPECT_TRUE(line.valid) << code;
        EXPECT_NE(line.text.find(big + "\n"), std::string::npos) << code;
    }
}

TEST(LoginLines, PlainLoginLeavesOutEmptyParts) {
    EXPECT_EQ(plainLoginLine("user", "pw"), "login user pw\n");
    EXPECT_EQ(plainLoginLine("user", ""), "login user\n");
    EXPECT_EQ(plainLoginLine("", "pw"), "login pw\n");
    EXPECT_EQ(plainLoginLine("", ""), "login\n");
}

TEST(LoginLines, ChapCheckLineBytes) {
    const std::vector<std::uint8_t> challenge = {1, 2,  3,  4,  5,  6,  7,  8,
                                                 9, 10, 11, 12, 13, 14, 15, 16};
    // MD5("secret" || challenge), not of the challenge then the secret.
    EXPECT_EQ(buildCheckLine("alice", "secret", challenge, false, {}),
              "auth check -CHAP_N:\"alice\"  -CHAP_R:\"0b9xXonJU2KLk+HdqCZq6/+g==\"\n");
    std::vector<std::uint8_t> mine;
    for (int i = 0; i < 16; ++i) {
        mine.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    EXPECT_EQ(buildCheckLine("alice", "secret", challenge, true, mine),
              "auth check -CHAP_N:\"alice\"  -CHAP_R:\"0b9xXonJU2KLk+HdqCZq6/+g==\" -crypt:yes"
              " -CHAP_C:\"0boKGio6SlpqeoqaqrrK2urw==\"\n");
    EXPECT_EQ(authOkLine(false), "auth ok\n");
    EXPECT_EQ(authOkLine(true), "auth ok -crypt:yes\n");
    EXPECT_EQ(kAuthModeLine, "get CtlAuthMode\n");
    EXPECT_EQ(kAuthStartLine, "auth start\n");
}

TEST(ChapReplies, StartReplyAndModeChecks) {
    EXPECT_TRUE(authModeIsChap({{"status", "x"}, {"CtlAuthMode", "chap"}}));
    EXPECT_FALSE(authModeIsChap({{"status", "x"}, {"CtlAuthMode", "CHAP"}}));
    EXPECT_FALSE(authModeIsChap({{"CtlAuthMode", "chap"}}));

    auto start = readStartReply({{"CHAP_C", "0bAA=="}, {"crypt", "YES"}, {"CHAP_C", "0bAQ=="}});
    EXPECT_EQ(start.challengeText, "0bAQ==");
    EXPECT_FALSE(start.cryptOffered);
    start = readStartReply({{"crypt", "yes"}});
    EXPECT_TRUE(start.cryptOffered);
    EXPECT_TRUE(start.challengeText.empty());
    EXPECT_TRUE(decodeChallenge("").empty());
    EXPECT_EQ(decodeChallenge("0bAQIDBAUGBwgJCgsMDQ4PEA==").size(), 16u);
    // Room for 32 bytes takes at most ten groups.
    EXPECT_EQ(decodeChallenge("0b" + std::string(64, 'A')).size(), 30u);
}

TEST(ChapReplies, ServerProofMustMatchExactly) {
    std::vector<std::uint8_t> mine;
    for (int i = 0; i < 16; ++i) {
        mine.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    const std::string proof = "0btwW/JTZxzs4bJSJ/cE8MMg=="; // MD5("peersecret" || mine)
    EXPECT_TRUE(
        verifyServerProof({{"CHAP_N", "server"}, {"CHAP_R", proof}}, "server", "peersecret", mine));
    EXPECT_FALSE(
        verifyServerProof({{"CHAP_N", "Server"}, {"CHAP_R", proof}}, "server", "peersecret", mine));
    EXPECT_FALSE(
        verifyServerProof({{"CHAP_N", "server"}, {"CHAP_R", proof}}, "server", "other", mine));
    EXPECT_FALSE(verifyServerProof({{"CHAP_N", "server"}}, "server", "peersecret", mine));
    // 15 or 17 bytes fail even when the first 16 match.
    const std::string fifteen = "0btwW/JTZxzs4bJSJ/cE8M";
    const std::string seventeen = "0btwW/JTZxzs4bJSJ/cE8MMgA=";
    EXPECT_FALSE(verifyServerProof({{"CHAP_N", "server"}, {"CHAP_R", fifteen}}, "server",
                                   "peersecret", mine));
    EXPECT_FALSE(verifyServerProof({{"CHAP_N", "server"}, {"CHAP_R", seventeen}}, "server",
                                   "peersecret", mine));
    // The last record of a name counts.
    EXPECT_TRUE(verifyServerProof(
        {{"CHAP_N", "x"}, {"CHAP_R", "0bAA=="}, {"CHAP_N", "server"}, {"CHAP_R", proof}}, "server",
        "peersecret", mine));
}

TEST(LogNames, OnlyPlainFileNamesAreAccepted) {
    for (const char* good : {"service.log", "a", "log 2.txt", "..log", "x.."}) {
        EXPECT_TRUE(isPlainFileName(good)) << good;
    }
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "C:x", "a\tb", "a\nb", "\x7f"}) {
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
    }
}

TEST(LogNames, DirectoriesGetOneSeparator) {
    EXPECT_EQ(normaliseLogDirectory("", '/'), "");
    EXPECT_EQ(normaliseLogDirectory("/tmp", '/'), "/tmp/");
    EXPECT_EQ(normaliseLogDirectory("/tmp/", '/'), "/tmp/");
    EXPECT_EQ(normaliseLogDirectory("C:\\logs", '\\'), "C:\\logs\\");
    EXPECT_EQ(normaliseLogDirectory("C:\\logs\\", '\\'), "C:\\logs\\");
    EXPECT_EQ(normaliseLogDirectory("C:/logs/", '\\'), "C:/logs/");
    EXPECT_EQ(normaliseLogDirectory("dir\\", '/'), "dir\\");
    EXPECT_EQ(directoryOfPath("C:\\app\\tool.exe", '\\'), "C:\\app\\");
    EXPECT_EQ(directoryOfPath("/usr/bin/tool", '/'), "/usr/bin/");
    EXPECT_EQ(directoryOfPath("tool", '/'), "tool/");
    EXPECT_EQ(directoryOfPath("tool.exe", '\\'), "tool.exe\\");
}

TEST(RecordList, KeepsOrderDuplicatesEmptyAndEmbeddedNulTexts) {
    RecordList list;
    EXPECT_TRUE(list.empty());
    list.add("a", "1");
    list.add("", "");
    list.add(std::string_view("n\0m", 3), std::string_view("v\0", 2));
    list.add("a", "2");
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].name, "a");
    EXPECT_EQ(list[1].name, "");
    EXPECT_EQ(list[1].value, "");
    EXPECT_EQ(list[2].name, std::string_view("n\0m", 3));
    EXPECT_EQ(list[2].value, std::string_view("v\0", 2));
    EXPECT_EQ(list[3].value, "2");
    std::vector<std::string> names;
    for (const RecordView r : list) {
        names.emplace_back(r.name);
    }
    EXPECT_EQ(names.size(), 4u);
    EXPECT_TRUE(list == list.toVector());
    RecordList moved = std::move(list);
    EXPECT_EQ(moved.size(), 4u);
    moved.clear();
    EXPECT_TRUE(moved.empty());
}

TEST(RecordList, ManyRecordsStayIntact) {
    RecordList list;
    for (int i = 0; i < 100000; ++i) {
        list.add("Device", std::to_string(i));
    }
    ASSERT_EQ(list.size(), 100000u);
    EXPECT_EQ(list[0].value, "0");
    EXPECT_EQ(list[54321].value, "54321");
    EXPECT_EQ(list[99999].name, "Device");
    EXPECT_EQ(list[99999].value, "99999");
}
