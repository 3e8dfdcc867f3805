// The benchmark's own parts: a wrong baseline or a misread figure would make
// every ratio in the table wrong without anyone noticing.
#include "bench_stats.h"
#include "proc_info.h"
#include "raw_client.h"
#include "reply_scanner.h"
#include "report_table.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

struct Scan {
    std::size_t consumed = 0;
    bool complete = false;
    int status = -1;
    std::size_t records = 0;
    std::string body;
};

// Feeds text in pieces of the given size (0: whole).
Scan scanInPieces(const std::string& text, std::size_t piece) {
    Scan out;
    ReplyScanner s([&](std::string_view b) { out.body.append(b); });
    std::size_t pos = 0;
    while (pos < text.size() && !s.complete()) {
        const std::size_t n = piece ? std::min(piece, text.size() - pos) : text.size() - pos;
        const std::size_t used = s.feed(std::string_view(text).substr(pos, n));
        out.consumed += used;
        pos += n;
    }
    out.complete = s.complete();
    out.status = s.status();
    out.records = s.records();
    return out;
}

const std::string kLogReply = "200 ok\r\nLogFilename=service.log\r\nLogSize=25\r\n\r\n"
                              "first line\r\n"
                              "a\nbare LF stays inside\r\n"
                              "\r\r\r\n"
                              "x\r\n"
                              "\r\r\n";

} // namespace

TEST(ReplyScannerTest, EmptyReplyEndsAfterTwoEmptyLines) {
    const Scan s = scanInPieces("200 fine\r\n\r\n\r\n", 0);
    EXPECT_TRUE(s.complete);
    EXPECT_EQ(s.status, 200);
    EXPECT_EQ(s.records, 0u);
    EXPECT_EQ(s.consumed, 14u);
    EXPECT_EQ(s.body, "");
}

TEST(ReplyScannerTest, CountsOnlyHeaderLinesWithEquals) {
    const Scan s = scanInPieces("200\r\nname=value\r\nno equals\r\n=empty\r\n\r\n\r\n", 0);
    EXPECT_TRUE(s.complete);
    EXPECT_EQ(s.records, 2u);
}

TEST(ReplyScannerTest, BodyKeepsTerminatorsAndDropsEndLine) {
    const Scan s = scanInPieces(kLogReply, 0);
    ASSERT_TRUE(s.complete);
    EXPECT_EQ(s.body, "first line\r\na\nbare LF stays inside\r\n\r\r\r\nx\r\n");
    EXPECT_EQ(s.consumed, kLogReply.size());
}

TEST(ReplyScannerTest, SameResultForEveryWayOfCuttingTheBytes) {
    const Scan whole = scanInPieces(kLogReply, 0);
    for (std::size_t piece = 1; piece <= kLogReply.size(); ++piece) {
        const Scan cut = scanInPieces(kLogReply, piece);
        EXPECT_EQ(cut.body, whole.body) << "pieces of " << piece;
        EXPECT_EQ(cut.consumed, whole.consumed) << "pieces of " << piece;
        EXPECT_EQ(cut.records, whole.records) << "pieces of " << piece;
    }
    // Two pieces split at every offset.
    for (std::size_t at = 0; at <= kLogReply.size(); ++at) {
        std::string body;
        ReplyScanner s([&](std::string_view b) { body.append(b); });
        s.feed(std::string_view(kLogReply).substr(0, at));
        s.feed(std::string_view(kLogReply).substr(at));
        EXPECT_TRUE(s.complete()) << "split at " << at;
        EXPECT_EQ(body, whole.body) << "split at " << at;
    }
}

TEST(ReplyScannerTest, StopsAtTheEndOfTheReplyAndStartsOverAfterReset) {
    const std::string two = "200\r\na=1\r\n\r\n\r\n104 no\r\n\r\n\r\n";
    ReplyScanner s;
    const std::size_t first = s.feed(two);
    EXPECT_TRUE(s.complete());
    EXPECT_EQ(first, 14u);
    EXPECT_EQ(s.records(), 1u);
    EXPECT_EQ(s.feed(std::string_view(two).substr(first)), 0u) << "a complete reply takes no more";
    s.reset();
    s.feed(std::string_view(two).substr(first));
    EXPECT_TRUE(s.complete());
    EXPECT_EQ(s.status(), 104);
    EXPECT_EQ(s.records(), 0u);
}

TEST(ReplyScannerTest, StatusComesFromTheFirstThreeCharacters) {
    EXPECT_EQ(scanInPieces("2000 x\r\n\r\n\r\n", 0).status, 200);
    EXPECT_EQ(scanInPieces("abc\r\n\r\n\r\n", 0).status, 0);
    EXPECT_EQ(scanInPieces("\r\n\r\n\r\n", 0).status, 0);
    EXPECT_EQ(scanInPieces("20\r\n\r\n\r\n", 1).status, 0);
}

TEST(ReplyScannerTest, LoneLineFeedsNeverEndALine) {
    // Without CR LF the status line never ends, so nothing completes.
    const Scan s = scanInPieces("200\n\n\n", 0);
    EXPECT_FALSE(s.complete);
    EXPECT_EQ(s.status, -1);
}

TEST(StatsTest, MedianAndRange) {
    Summary odd = summarize({3, 1, 2});
    EXPECT_DOUBLE_EQ(odd.median, 2);
    EXPECT_DOUBLE_EQ(odd.low, 1);
    EXPECT_DOUBLE_EQ(odd.high, 3);
    EXPECT_EQ(odd.count, 3u);
    EXPECT_DOUBLE_EQ(summarize({4, 1, 3, 2}).median, 2.5);
    EXPECT_EQ(summarize({}).count, 0u);
    EXPECT_DOUBLE_EQ(summarize({}).median, 0);
}

TEST(StatsTest, NearestRankPercentile) {
    const std::vector<double> v = {10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_DOUBLE_EQ(percentile(v, 0.5), 5);
    EXPECT_DOUBLE_EQ(percentile(v, 0.99), 10);
    EXPECT_DOUBLE_EQ(percentile(v, 1.0), 10);
    EXPECT_DOUBLE_EQ(percentile(v, 0.0), 1);
    EXPECT_DOUBLE_EQ(percentile({}, 0.5), 0);
}

TEST(ProcInfoTest, ReadsTheFieldsOfAStatusText) {
    const MemoryStatus m = parseStatus("Name:\tx\nVmPeak:\t  9999 kB\nVmHWM:\t    2048 kB\n"
                                       "VmRSS:\t    1024 kB\nThreads:\t3\n");
    EXPECT_EQ(m.rssKiB, 1024);
    EXPECT_EQ(m.peakKiB, 2048);
    EXPECT_EQ(m.threads, 3);
    const MemoryStatus none = parseStatus("VmRSSx: 5 kB\nVmRSS: kB\n");
    EXPECT_EQ(none.rssKiB, -1);
    EXPECT_EQ(none.peakKiB, -1);
}

TEST(ProcInfoTest, OwnProcessFiguresArePlausible) {
    const MemoryStatus m = memoryStatus();
    EXPECT_GT(m.rssKiB, 0);
    EXPECT_GE(m.peakKiB, m.rssKiB);
    EXPECT_GE(m.threads, 1);
}

TEST(ProcInfoTest, PeakFollowsAGrowthAndCanBeReset) {
    if (!resetPeak())
        GTEST_SKIP() << "kernel does not allow resetting the peak";
    const MemoryStatus before = memoryStatus();
    {
        std::vector<char> block(32 << 20, 1);
        volatile char sink = block[block.size() / 2];
        (void)sink;
    }
    trimHeap();
    const MemoryStatus after = memoryStatus();
    EXPECT_GE(after.peakKiB - before.rssKiB, 30 << 10);
    ASSERT_TRUE(resetPeak());
    EXPECT_LT(memoryStatus().peakKiB - after.rssKiB, 16 << 10);
}

TEST(ReportTest, NumbersAndRatios) {
    EXPECT_EQ(formatNumber(1234567.891, 2), "1,234,567.89");
    EXPECT_EQ(formatNumber(999, 0), "999");
    EXPECT_EQ(formatNumber(1000, 0), "1,000");
    EXPECT_EQ(formatNumber(0.5, 1), "0.5");
    EXPECT_EQ(formatNumber(-12345, 0), "-12,345");
    EXPECT_EQ(formatRatio({0.95, 0.9, 1.01, 5}), "0.95 [0.90-1.01]");
}

TEST(ReportTest, TableHasOneLinePerRowAndEscapesPipes) {
    TableRow r{"1",  "a|b",    "1 CPU", "base", "lib", {1, 1, 1, 1}, true, {0.5, 0.4, 0.6, 1},
               true, ">= 0.9", "met"};
    TableRow extra{"-", "memory", "", "", "12 KiB", {}, false, {}, false, "reported", "reported"};
    const std::string t = renderTable({r, extra});
    std::istringstream in(t);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[2].find("a\\|b"), std::string::npos);
    EXPECT_NE(lines[2].find("| 1.00 [1.00-1.00] | 0.50 [0.40-0.60] |"), std::string::npos);
    EXPECT_NE(lines[3].find("| - |"), std::string::npos);
    // Every line has the same number of cell separators as the header.
    auto bars = [](const std::string& l) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < l.size(); ++i)
            n += l[i] == '|' && (i == 0 || l[i - 1] != '\\');
        return n;
    };
    for (const auto& l : lines)
        EXPECT_EQ(bars(l), bars(lines[0])) << l;
}

TEST(ReportTest, CodecResultLinesBecomeRowThree) {
    const auto row = parseCodecLine(
        "AES-NI, both sides                 612       701    0.87  [0.85..0.90]  met");
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->id, "3");
    EXPECT_NE(row->measure.find("AES-NI, both sides"), std::string::npos);
    EXPECT_EQ(row->measure.find("sides "), std::string::npos) << "label padding is trimmed";
    EXPECT_DOUBLE_EQ(row->ratio.median, 0.87);
    EXPECT_DOUBLE_EQ(row->ratio.low, 0.85);
    EXPECT_DOUBLE_EQ(row->ratio.high, 0.90);
    EXPECT_EQ(row->verdict, "met");
    EXPECT_EQ(row->library, "612 MB/s");
    // A label wider than its column pushes the figures right.
    const auto wide = parseCodecLine(
        "portable vs OpenSSL no AES-NI       124       108    1.15  [1.15..1.15]  MISSED");
    ASSERT_TRUE(wide.has_value());
    EXPECT_NE(wide->measure.find("portable vs OpenSSL no AES-NI"), std::string::npos);
    EXPECT_EQ(wide->baseline, "OpenSSL 108 MB/s");
    EXPECT_EQ(wide->verdict, "MISSED");
    // Headings and indented detail lines are not results.
    EXPECT_FALSE(parseCodecLine("                                  ours   OpenSSL   ratio"));
    EXPECT_FALSE(parseCodecLine("  MD5 x2 only                      700       800    0.88"));
    EXPECT_FALSE(parseCodecLine("AES-NI, both sides           (no AES-NI on this processor)"));
    EXPECT_FALSE(parseCodecLine(""));
}

TEST(ReportTest, RowsSortByNumberAndKeepTheirOrderWithinOne) {
    std::vector<TableRow> rows(5);
    rows[0].id = "-";
    rows[1].id = "4";
    rows[1].placement = "a";
    rows[2].id = "1";
    rows[3].id = "4";
    rows[3].placement = "b";
    rows[4].id = "3";
    sortRows(rows);
    std::string order;
    for (const auto& r : rows)
        order += r.id + r.placement + " ";
    EXPECT_EQ(order, "1 3 4a 4b - ");
}

TEST(ServerProcessTest, PortComesFromTheFirstNumberWordNotTheAddress) {
    EXPECT_EQ(parsePortLine("listening 127.0.0.1 45123 (service port 45122)"), 45123);
    EXPECT_EQ(parsePortLine("port 8080"), 8080);
    EXPECT_EQ(parsePortLine("(5001)"), 5001);
    EXPECT_EQ(parsePortLine("listening 0.0.0.0 0 70000 99999"), std::nullopt);
    EXPECT_EQ(parsePortLine(""), std::nullopt);
}

TEST(ServerProcessTest, StartsReadsThePortAndStops) {
    ServerProcess p;
    ASSERT_TRUE(p.start("/bin/sh",
                        {"-c", "echo 'listening 127.0.0.1 4242 (service port 4241)'; "
                               "echo more; exec sleep 30"},
                        0, 5000));
    EXPECT_EQ(p.port(), 4242);
    p.stop();
    EXPECT_EQ(p.port(), 0);
}

TEST(ServerProcessTest, PinMovesEveryThreadOfTheServer) {
    if (std::thread::hardware_concurrency() < 2)
        GTEST_SKIP() << "needs two CPUs";
    ServerProcess p;
    ASSERT_TRUE(p.start("/bin/sh", {"-c", "echo port 4242; exec sleep 30"}, 0, 5000));
    auto allowed = [&] {
        std::ifstream in("/proc/" + std::to_string(p.pid()) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Cpus_allowed_list:", 0) == 0)
                return line.substr(line.find_first_not_of(" \t", 18));
        return std::string();
    };
    EXPECT_EQ(allowed(), "0");
    ASSERT_TRUE(p.pin(1));
    EXPECT_EQ(allowed(), "1");
}

TEST(ServerProcessTest, FailsWhenNoPortLineComes) {
    ServerProcess quiet;
    EXPECT_FALSE(quiet.start("/bin/sh", {"-c", "exec sleep 30"}, -1, 300));
    ServerProcess exits;
    EXPECT_FALSE(exits.start("/bin/sh", {"-c", "echo no port here"}, -1, 5000));
    ServerProcess missing;
    EXPECT_FALSE(missing.start("/nonexistent/program", {}, -1, 5000));
}

namespace {

// A scripted peer on a loopback port: sends the greeting, then answers each
// command line with the next canned reply, cut into small writes to show that
// the client does not rely on one reply per receive.
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::vector<std::string> replies) : replies_(std::move(replies)) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 1);
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    std::uint16_t port() const { return port_; }
    std::vector<std::string> lines; // what the client sent, read after the client is done

  private:
    void serve() {
        const int c = accept(listen_, nullptr, nullptr);
        if (c < 0)
            return;
        timeval tv{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sendCut(c, "200 hello\r\n\r\n\r\n");
        std::string pending;
        std::size_t next = 0;
        char buf[256];
        while (next < replies_.size()) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos && next < replies_.size()) {
                lines.push_back(pending.substr(0, nl + 1));
                pending.erase(0, nl + 1);
                sendCut(c, replies_[next++]);
            }
        }
        close(c);
    }
    static void sendCut(int c, const std::string& text) {
        for (std::size_t i = 0; i < text.size(); i += 7)
            send(c, text.data() + i, std::min<std::size_t>(7, text.size() - i), MSG_NOSIGNAL);
    }
    std::vector<std::string> replies_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace

TEST(RawClientTest, RequestsReadEachReplyToItsEnd) {
    std::vector<std::string> lines;
    {
        ScriptedPeer peer({"200 ok\r\n\r\n\r\n", "200\r\nCtlAuthMode=chap\r\n\r\n\r\n",
                           "103 refused\r\n\r\n\r\n"});
        RawClient raw;
        ASSERT_TRUE(raw.connect(peer.port(), 5000));
        ReplyScanner s;
        ASSERT_TRUE(raw.request("login u p\n", s));
        EXPECT_EQ(s.status(), 200);
        ASSERT_TRUE(raw.request("get CtlAuthMode\n", s));
        EXPECT_EQ(s.status(), 200);
        EXPECT_EQ(s.records(), 1u);
        ASSERT_TRUE(raw.request("remove x\n", s));
        EXPECT_EQ(s.status(), 103);
        raw.close();
        ReplyScanner after;
        EXPECT_FALSE(raw.request("get x\n", after)) << "a closed client sends nothing";
        lines = std::move(peer.lines);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"login u p\n", "get CtlAuthMode\n", "remove x\n"}));
}

TEST(RawClientTest, GetlogWritesExactlyTheBody) {
    // A body larger than the client's 32 KiB buffer, with lines cut by reads.
    std::string body;
    for (int i = 0; body.size() < 100000; ++i)
        body += "log line " + std::to_string(i) + " " +
                std::string(static_cast<std::size_t>(i % 50), 'x') + "\r\n";
    const std::string reply = "200\r\nLogFilename=s.log\r\n\r\n" + body + "\r\n";
    char dir[] = "/tmp/bench-harness-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/copy.log";
    {
        ScriptedPeer peer({reply});
        RawClient raw;
        ASSERT_TRUE(raw.connect(peer.port(), 5000));
        EXPECT_EQ(raw.getlog(path), static_cast<std::int64_t>(body.size()));
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), body);
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(RawClientTest, FailsOnAClosedPortAndOnAPeerThatHangsUp) {
    std::uint16_t port;
    {
        ScriptedPeer peer({});
        port = peer.port();
    }
    RawClient raw;
    EXPECT_FALSE(raw.connect(port, 2000));
    {
        // The peer answers the greeting, then closes in the middle of nothing.
        ScriptedPeer peer({"200 partial\r\nname=v"});
        ASSERT_TRUE(raw.connect(peer.port(), 5000));
        ReplyScanner s;
        EXPECT_FALSE(raw.request("get x\n", s));
        EXPECT_FALSE(s.complete());
    }
}
