// The server program as others start it: its first output line, its exit
// paths and its command-line errors.
#include "child_process.h"
#include "log_body.h"
#include "net.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace ts = dravolin::testserver;
namespace net = dravolin::testserver::net;
using testsupport::ChildProcess;

namespace {

constexpr std::chrono::milliseconds kStart{30000};
constexpr std::chrono::milliseconds kExit{30000};

std::string server() {
    return testsupport::siblingProgram("dravolin-testserver");
}

// "listening 127.0.0.1 <port> (service port <port - 1>)"
bool parseListening(const std::string& line, unsigned& port, unsigned& service) {
    char address[64] = {};
    char tail = 0;
    int n = std::sscanf(line.c_str(), "listening %63s %u (service port %u)%c", address, &port,
                        &service, &tail);
    return n == 3 && std::string(address) == "127.0.0.1";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(Program, AnnouncesItsPortServesAndEndsWithItsInput) {
    ChildProcess p;
    ASSERT_TRUE(
        p.start(server(), {"--user", "a:b", "--exit-on-stdin-close", "--exit-after", "120"}));
    std::string line;
    ASSERT_TRUE(p.readLine(line, kStart));
    unsigned port = 0, service = 0;
    ASSERT_TRUE(parseListening(line, port, service)) << line;
    EXPECT_EQ(service + 1, port);

    net::NetworkInit init;
    net::Socket s = net::connectTo("127.0.0.1", static_cast<std::uint16_t>(port));
    ASSERT_TRUE(s.valid());
    s.setReceiveTimeout(static_cast<unsigned>(kStart.count()));
    char buf[256];
    long n = s.receive(buf, sizeof buf);
    ASSERT_GT(n, 3);
    EXPECT_EQ(std::string(buf, 4), "200 ");
    s.close();

    p.closeInput();
    EXPECT_EQ(p.wait(kExit), 0);
}

TEST(Program, ExitAfterAndShutdownEndTheProgram) {
    ChildProcess timed;
    ASSERT_TRUE(timed.start(server(), {"--exit-after", "1"}));
    std::string line;
    ASSERT_TRUE(timed.readLine(line, kStart));
    EXPECT_EQ(timed.wait(kExit), 0);

    ChildProcess p;
    ASSERT_TRUE(p.start(server(), {"--open", "--exit-on-shutdown", "--exit-after", "120"}));
    ASSERT_TRUE(p.readLine(line, kStart));
    unsigned port = 0, service = 0;
    ASSERT_TRUE(parseListening(line, port, service)) << line;
    net::NetworkInit init;
    net::Socket s = net::connectTo("127.0.0.1", static_cast<std::uint16_t>(port));
    ASSERT_TRUE(s.valid());
    const char cmd[] = "shutdown\n";
    ASSERT_TRUE(s.sendAll(cmd, sizeof cmd - 1));
    EXPECT_EQ(p.wait(kExit), 0);
}

TEST(Program, WritesTheLogBodyAndRejectsBadArguments) {
    std::string path = ::testing::TempDir() + "testserver_written.log";
    ChildProcess w;
    ASSERT_TRUE(w.start(server(), {"--log-size", "1000", "--write-log", path}));
    EXPECT_EQ(w.wait(kExit), 0);
    ts::GeneratedLog log(1000);
    std::string expected(1000, '\0');
    EXPECT_EQ(log.read(expected.data(), expected.size()), 1000u);
    EXPECT_EQ(readFile(path), expected);
    std::remove(path.c_str());

    ChildProcess bad;
    ASSERT_TRUE(bad.start(server(), {"--port", "70000"}));
    EXPECT_EQ(bad.wait(kExit), 2);

    ChildProcess help;
    ASSERT_TRUE(help.start(server(), {"--help"}));
    std::string line;
    ASSERT_TRUE(help.readLine(line, kStart));
    EXPECT_EQ(line.rfind("usage: dravolin-testserver", 0), 0u);
    EXPECT_EQ(help.wait(kExit), 0);
}
