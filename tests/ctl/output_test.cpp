#include <gtest/gtest.h>

#include <set>

#include "json_reader.h"
#include "output.h"

using namespace dravolinctl;

namespace {

std::string decoded(const std::string& literal) {
    const auto v = jsontest::parse(literal);
    EXPECT_TRUE(v.has_value()) << literal;
    return v ? v->text : std::string();
}

} // namespace

TEST(CtlJsonString, EscapesWhatJsonForbids) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString("\t\r\n"), "\"\\t\\r\\n\"");
    EXPECT_EQ(jsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(jsonString(std::string("a\0b", 3)), "\"a\\u0000b\""); // embedded NUL kept
}

TEST(CtlJsonString, KeepsValidUtf8AndEscapesInvalidBytesAsLatin1) {
    EXPECT_EQ(jsonString("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"),
              "\"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\"");
    EXPECT_EQ(jsonString("\xfc"), "\"\\u00fc\"");                       // lone Latin-1 byte
    EXPECT_EQ(jsonString("\xc3"), "\"\\u00c3\"");                       // sequence cut at the end
    EXPECT_EQ(jsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");            // overlong slash
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\""); // surrogate half
    EXPECT_EQ(jsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");            // truncated in the middle
}

TEST(CtlJsonString, EverySingleByteAndPairYieldsValidJson) {
    for (int a = 0; a < 256; ++a) {
        const std::string one(1, static_cast<char>(a));
        ASSERT_TRUE(jsontest::parse(jsonString(one))) << a;
        for (int b = 0x80; b < 256; b += 7) {
            const std::string two = one + static_cast<char>(b) + "x";
            ASSERT_TRUE(jsontest::parse(jsonString(two))) << a << " " << b;
        }
    }
    // Printable ASCII and valid UTF-8 come back unchanged.
    const std::string text = "name=\"quoted\" \\ path C:\\x \xc3\xa9";
    EXPECT_EQ(decoded(jsonString(text)), text);
}

TEST(CtlJsonOutput, RecordsKeepOrderDuplicatesAndContent) {
    StepResult r;
    r.command = "list-devices";
    r.ok = true;
    r.records = {{"Device", "disk \"1\""}, {"Device", "disk\\2"}, {"", "="}, {"Size", "\x01"}};
    const auto doc = jsontest::parse(formatJson({r}, false));
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->type, jsontest::Value::Type::Object);
    EXPECT_EQ(doc->get("command")->text, "list-devices");
    EXPECT_EQ(doc->get("argument")->type, jsontest::Value::Type::Null);
    EXPECT_TRUE(doc->get("ok")->boolean);
    EXPECT_EQ(doc->get("file"), nullptr);
    const auto& recs = doc->get("records")->items;
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].get("value")->text, "disk \"1\"");
    EXPECT_EQ(recs[1].get("name")->text, "Device");
    EXPECT_EQ(recs[1].get("value")->text, "disk\\2");
    EXPECT_EQ(recs[2].get("name")->text, "");
    EXPECT_EQ(recs[3].get("value")->text, "\x01");
}

TEST(CtlJsonOutput, BatchIsAnArrayAndEmptyCasesStayValid) {
    StepResult a, b;
    a.command = "getlog";
    a.ok = true;
    a.file = "/tmp/srv.log";
    b.command = "add";
    b.arg = "x";
    b.ok = false;
    const auto doc = jsontest::parse(formatJson({a, b}, true));
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->items.size(), 2u);
    EXPECT_EQ(doc->items[0].get("file")->text, "/tmp/srv.log");
    EXPECT_TRUE(doc->items[0].get("records")->items.empty());
    EXPECT_EQ(doc->items[1].get("argument")->text, "x");
    EXPECT_FALSE(doc->items[1].get("ok")->boolean);
    EXPECT_TRUE(jsontest::parse(formatJson({}, true)));
    EXPECT_TRUE(jsontest::parse(formatJson({}, false)));
}

TEST(CtlTextOutput, NameValueLinesInReplyOrder) {
    StepResult r;
    r.command = "get";
    r.arg = "CtlAuthMode";
    r.records = {{"b", "2"}, {"a", "x=y"}, {"b", "3"}};
    EXPECT_EQ(formatText(r, false), "b=2\na=x=y\nb=3\n");
    EXPECT_EQ(formatText(r, true), "# get CtlAuthMode\nb=2\na=x=y\nb=3\n");
}

TEST(CtlProgress, FitsTheWidthAndClampsToTheTotal) {
    for (int width : {20, 40, 79, 200}) {
        for (std::uint64_t done : {0ull, 1ull, 512ull, 1000ull, 5000ull}) {
            const auto line = renderProgress(done, 1000, width);
            EXPECT_LE(static_cast<int>(line.size()), width) << width << " " << done;
        }
    }
    EXPECT_NE(renderProgress(5000, 1000, 60).find("100%"), std::string::npos); // no 500%
    EXPECT_NE(renderProgress(0, 0, 60).find("100%"), std::string::npos);       // empty log
    EXPECT_NE(renderProgress(500, 1000, 60).find(" 50%"), std::string::npos);
    const auto half = renderProgress(500, 1000, 60);
    EXPECT_EQ(std::count(half.begin(), half.end(), '#'), std::count(half.begin(), half.end(), '.'));
    EXPECT_EQ(renderProgress(3 * 1024 * 1024 / 2, std::nullopt, 60), "1.5 MiB received");
    EXPECT_EQ(renderProgress(0, 1000, 5).size() <= 12, true); // degrades to a percentage
}

TEST(CtlProgress, ActivityMarkerMovesWithinTheWidth) {
    std::set<std::string> seen;
    for (unsigned tick = 0; tick < 200; ++tick) {
        const auto line = renderActivity(5 << 20, tick, 50);
        EXPECT_LE(line.size(), 50u) << tick;
        EXPECT_NE(line.find("<=>"), std::string::npos) << line;
        EXPECT_NE(line.find("5.0 MiB received"), std::string::npos) << line;
        seen.insert(line);
    }
    EXPECT_GT(seen.size(), 10u);                           // it moves
    EXPECT_EQ(renderActivity(10, 3, 10), "10 B received"); // too narrow for a bar
}

TEST(CtlProgress, SizesAndRecords) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(1023), "1023 B");
    EXPECT_EQ(formatBytes(1024), "1.0 KiB");
    EXPECT_EQ(formatBytes(256ull << 20), "256.0 MiB");
    EXPECT_EQ(parseSize("1048576"), 1048576u);
    EXPECT_EQ(parseSize("0"), 0u);
    for (const char* bad : {"", "-1", "12k", " 1", "99999999999999999999"})
        EXPECT_FALSE(parseSize(bad).has_value()) << bad;
    const std::vector<Record> recs = {{"LogSize", "1"}, {"LogSize", "2"}};
    EXPECT_EQ(findRecord(recs, "LogSize"), "1");
    EXPECT_FALSE(findRecord(recs, "logsize").has_value());
}

TEST(CtlTrace, EachLineWithItsUtcTimeAndDirection) {
    // 2026-12-09 20:46:13.045 UTC
    const std::int64_t at = 1796849173045;
    EXPECT_EQ(formatTraceLine(at, 0, "login admin <redacted>"),
              "20:46:13.045 > login admin <redacted>\n");
    EXPECT_EQ(formatTraceLine(at, 1, "200 ok"), "20:46:13.045 < 200 ok\n");
    EXPECT_EQ(formatTraceLine(at, 2, "encrypted channel on"),
              "20:46:13.045 * encrypted channel on\n");
    EXPECT_EQ(formatTraceLine(0, 1, ""), "00:00:00.000 < \n");
    EXPECT_EQ(formatTraceLine(86399999, 0, "x"), "23:59:59.999 > x\n");
}
