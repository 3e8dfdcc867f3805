// SIGTERM while connections are open stops the program cleanly.
#include "child_process.h"
#include "net.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace net = dravolin::testserver::net;

TEST(ProgramSignals, TerminateClosesConnectionsAndExitsCleanly) {
    testsupport::ChildProcess p;
    ASSERT_TRUE(p.start(testsupport::siblingProgram("dravolin-testserver"),
                        {"--open", "--exit-after", "120"}));
    std::string line;
    ASSERT_TRUE(p.readLine(line, std::chrono::milliseconds(30000)));
    unsigned port = 0, service = 0;
    ASSERT_EQ(
        std::sscanf(line.c_str(), "listening 127.0.0.1 %u (service port %u)", &port, &service), 2);
    net::Socket s = net::connectTo("127.0.0.1", static_cast<std::uint16_t>(port));
    ASSERT_TRUE(s.valid());
    s.setReceiveTimeout(30000);
    char buf[512];
    ASSERT_GT(s.receive(buf, sizeof buf), 0); // the greeting: the connection is being served
    p.requestStop();
    EXPECT_EQ(p.wait(std::chrono::milliseconds(30000)), 0);
    // The open connection was ended by the server, not left dangling.
    long n;
    while ((n = s.receive(buf, sizeof buf)) > 0) {
    }
    EXPECT_EQ(n, 0);
}
