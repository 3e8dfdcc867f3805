// dravolin-testserver: a stand-in for the server's management service, for
// tests, the demo and benchmarks. See README.md for the command line.
#include "config.h"
#include "log_body.h"
#include "net.h"
#include "server.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace dravolin::testserver;

namespace {

int writeLog(const ServerConfig& cfg) {
    std::unique_ptr<LogBody> body;
    if (!cfg.logFile.empty())
        body = FileLog::open(cfg.logFile);
    else
        body = std::make_unique<GeneratedLog>(cfg.logSize);
    if (!body || !writeBody(*body, cfg.writeLogPath)) {
        std::fprintf(stderr, "dravolin-testserver: cannot write the log to %s\n",
                     cfg.writeLogPath.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto cfg = parseArguments(args, error);
    if (!cfg) {
        std::fprintf(stderr, "dravolin-testserver: %s\n%s", error.c_str(), usageText().c_str());
        return 2;
    }
    if (cfg->help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (!cfg->writeLogPath.empty())
        return writeLog(*cfg);

    net::useBinaryStdout();
    net::preciseTimers(); // before any thread starts: they inherit it
    net::NetworkInit netInit;
    if (!netInit.ok()) {
        std::fprintf(stderr, "dravolin-testserver: the socket library did not start\n");
        return 1;
    }
    const bool watchStdin = cfg->exitOnStdinClose;
    const unsigned exitAfter = cfg->exitAfterSeconds;
    Server server(std::move(*cfg));
    // Before any other thread starts, so that they all leave the signals to it.
    net::StopSignals signals([&server] { server.requestStop(); });
    if (!server.start(error)) {
        std::fprintf(stderr, "dravolin-testserver: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening %s %u (service port %u)\n", server.config().bindAddress.c_str(),
                static_cast<unsigned>(server.port()), static_cast<unsigned>(server.port() - 1));
    std::fflush(stdout);

    if (watchStdin) {
        // Left blocked in its read when the server stops for another reason;
        // the process ends right after.
        std::thread([&server] {
            char buf[256];
            while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
            }
            server.requestStop();
        }).detach();
    }
    server.waitForStopRequest(exitAfter);
    server.stop();
    std::fprintf(stderr, "dravolin-testserver: stopped after %llu connections\n",
                 static_cast<unsigned long long>(server.state().connectionsTotal.load()));
    std::fflush(stdout);
    if (watchStdin)
        std::_Exit(0); // the stdin watcher may still be blocked in its read
    return 0;
}
