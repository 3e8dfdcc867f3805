// Soak: eight threads open and close connections, log in (plain, and CHAP
// with encryption), send mixed requests synchronously and asynchronously
// and cancel some, while the server injects random faults into its replies.
// Every accepted asynchronous operation completes exactly once (or, when
// cancelled, possibly never), no caller hangs, and at the end the process
// holds as many threads and handles as at the start.
//
// The run lasts DRAVOLIN_SOAK_SECONDS (default 3, the CI form); set it to a
// few hundred for the long form. Faults that leave a reply unfinished are
// left out: the protocol has no reply time-out, so only Free ends those
// (the fault matrix covers them).
#include "client_harness.h"
#include "resources.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace dravolin::robust;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

enum Kind { kConnect, kLogin, kRequest, kGetLog, kCancel, kDisconnect, kKinds };
const char* const kKindNames[kKinds] = {"connect", "login",  "request",
                                        "getlog",  "cancel", "disconnect"};

struct Counters {
    std::array<std::atomic<long>, kKinds> ops{};
    std::array<std::atomic<long>, kKinds> failures{};
    std::atomic<long> withdrawn{0};
    void count(Kind k, bool failed) {
        ops[k]++;
        if (failed)
            failures[k]++;
    }
};

int SoakSeconds() {
    const char* text = std::getenv("DRAVOLIN_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 3;
}

struct Request {
    unsigned code;
    const char* argument;
};
const Request kMix[] = {
    {DRAVOLIN_REQUEST_LIST_DEVICES, nullptr},
    {DRAVOLIN_REQUEST_LIST_PERMISSIONS, nullptr},
    {DRAVOLIN_REQUEST_GET_PARAMETER, "LogLevel"},
    {DRAVOLIN_REQUEST_STATISTICS, "all"},
    {DRAVOLIN_REQUEST_CONTROL, "ping"},
    {DRAVOLIN_REQUEST_GET_LOG, nullptr},
    {DRAVOLIN_REQUEST_SET_PARAMETER, "Alias soak"},
};

class Soak {
  public:
    Soak(int port, const fs::path& logDir, Clock::time_point end)
        : port_(port), logDir_(logDir), end_(end) {}

    void run(int worker) {
        std::mt19937 rng(static_cast<unsigned>(worker) * 7919u + 1);
        const std::string dir = (logDir_ / std::to_string(worker)).string();
        fs::create_directories(dir);
        for (long round = 0; Clock::now() < end_; ++round) {
            const bool async = (round + worker) % 2 == 1;
            const bool chap = rng() % 2 == 0;
            const auto start = Clock::now();
            session(async, chap, dir, rng);
            const long long ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            long long prev = longestSessionMs.load();
            while (ms > prev && !longestSessionMs.compare_exchange_weak(prev, ms)) {
            }
        }
    }

    Counters counters;
    std::atomic<long long> longestSessionMs{0};
    std::mutex lock;
    std::set<std::uint32_t> accepted;  // asynchronous operations to complete
    std::set<std::uint32_t> cancelled; // of those, the ones cancelled

  private:
    // Waits for asynchronous operations; a connection whose reply was cut
    // fails them all, so this never waits on the server for long.
    bool await(const std::set<std::uint32_t>& ids) {
        std::set<std::uint32_t> must;
        {
            std::lock_guard g(lock);
            for (auto id : ids)
                if (!cancelled.count(id))
                    must.insert(id);
        }
        return CompletionLog::instance().waitFor(must);
    }

    void accept(std::uint32_t id) {
        std::lock_guard g(lock);
        accepted.insert(id);
    }

    void session(bool async, bool chap, const std::string& dir, std::mt19937& rng) {
        CompletionLog& log = CompletionLog::instance();
        auto cb = async ? &CompletionLog::Callback : nullptr;
        std::uint32_t conn = 0, id = 0;
        int rc = DravolinClient_Connect("127.0.0.1", port_, &conn, &id, cb);
        if (async && rc == DRAVOLIN_OK) {
            accept(id);
            ASSERT_TRUE(await({id})) << "connect never completed";
            rc = log.get(id).failed;
        }
        counters.count(kConnect, rc != DRAVOLIN_OK);
        if (conn == 0)
            return;
        DravolinClient_SetServiceLogDirectory(conn, dir.c_str());

        const LoginParameters login = chap ? ChapLogin(true) : PlainLogin();
        rc = DravolinClient_Login(conn, &login, &id, cb);
        if (async && rc == DRAVOLIN_OK) {
            accept(id);
            ASSERT_TRUE(await({id})) << "login never completed";
            rc = log.get(id).failed;
        }
        counters.count(kLogin, rc != DRAVOLIN_OK);

        const int count = 3 + static_cast<int>(rng() % 6);
        std::vector<Response*> responses;
        std::set<std::uint32_t> ids;
        for (int i = 0; i < count; ++i) {
            const Request& req = kMix[rng() % (sizeof kMix / sizeof kMix[0])];
            const Kind kind = req.code == DRAVOLIN_REQUEST_GET_LOG ? kGetLog : kRequest;
            Response* r = nullptr;
            rc = DravolinClient_SendRequest(conn, req.code, req.argument, &r, &id, cb);
            responses.push_back(r);
            if (!async) {
                counters.count(kind, rc != DRAVOLIN_OK);
                continue;
            }
            if (rc != DRAVOLIN_OK) {
                counters.count(kind, true);
                continue;
            }
            accept(id);
            ids.insert(id);
            if (rng() % 8 == 0) {
                {
                    std::lock_guard g(lock);
                    cancelled.insert(id);
                }
                counters.count(kCancel, DravolinClient_CancelRequest(id) != DRAVOLIN_OK);
            }
        }
        if (async) {
            ASSERT_TRUE(await(ids)) << "a request never completed";
            for (auto rid : ids) {
                const auto e = log.get(rid);
                if (e.count == 0) {
                    counters.withdrawn++;
                    continue;
                }
                counters.count(kRequest, e.failed != 0);
            }
        }
        rc = DravolinClient_Disconnect(conn, &id, cb);
        if (async && rc == DRAVOLIN_OK) {
            accept(id);
            ASSERT_TRUE(await({id})) << "disconnect never completed";
            rc = log.get(id).failed;
        }
        counters.count(kDisconnect, rc != DRAVOLIN_OK);
        // Responses of withdrawn requests are never filled; all are ours.
        for (Response* r : responses)
            DravolinClient_ResponseFree(r);
    }

    int port_;
    fs::path logDir_;
    Clock::time_point end_;
};

TEST(ClientSoak, EightThreadsWithRandomServerFaults) {
    const int seconds = SoakSeconds();
    CompletionLog::instance().reset();
    const fs::path logDir =
        fs::temp_directory_path() / ("dravolin-soak-" + std::to_string(std::random_device{}()));
    WarmUp();
    const ResourceUse before = StableResources();
    std::uint64_t faults = 0, serverConnections = 0;
    Counters* counters = nullptr;
    std::unique_ptr<Soak> soak;
    {
        auto config = LoopbackServer::DefaultConfig();
        config.randomFaultRate = 0.04;
        config.seed = 20050118;
        config.seedGiven = true;
        config.randomModes = {
            dravolin::testserver::FaultMode::Close,  dravolin::testserver::FaultMode::Reset,
            dravolin::testserver::FaultMode::Drip,   dravolin::testserver::FaultMode::LongLine,
            dravolin::testserver::FaultMode::Double, dravolin::testserver::FaultMode::Status};
        // Small logs: a dripped reply goes out a byte (on the encrypted
        // channel a frame) at a time.
        config.logSize = 400;
        LoopbackServer server(config);
        ASSERT_TRUE(server.started());
        ASSERT_EQ(DravolinClient_Init(), DRAVOLIN_OK);

        const auto started = Clock::now();
        soak = std::make_unique<Soak>(server.servicePort(), logDir,
                                      Clock::now() + std::chrono::seconds(seconds));
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&soak, t] { soak->run(t); });
        for (auto& t : threads)
            t.join();
        const ResourceUse busy = MeasureResources();
        const auto freeStart = Clock::now();
        ASSERT_TRUE(FinishesWithin([] { DravolinClient_Free(); }, kHangBound));
        std::printf("DravolinClient_Free took %lld ms; the threads ran %lld ms\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               Clock::now() - freeStart)
                                               .count()),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(freeStart - started)
                            .count()));
        faults = server.faultsInjected();
        server.stop();
        std::printf("while running: %s\n", busy.describe().c_str());
        serverConnections = 0;
    }
    counters = &soak->counters;

    // Exactly once: every accepted operation that was not cancelled
    // completed once; cancelled ones at most once; nothing else arrived.
    {
        const auto all = CompletionLog::instance().all();
        for (auto id : soak->accepted) {
            const auto it = all.find(id);
            if (it == all.end()) {
                EXPECT_TRUE(soak->cancelled.count(id)) << "request " << id << " was lost";
                continue;
            }
            EXPECT_EQ(it->second.count, 1) << "request " << id;
        }
        for (const auto& [id, e] : all)
            EXPECT_TRUE(soak->accepted.count(id)) << "delivery for unknown request " << id;
    }

    // Give back what the test itself kept, then count what is left.
    Counters totals;
    for (int k = 0; k < kKinds; ++k) {
        totals.ops[k] = counters->ops[k].load();
        totals.failures[k] = counters->failures[k].load();
    }
    totals.withdrawn = counters->withdrawn.load();
    const long long longestSession = soak->longestSessionMs.load();
    CompletionLog::instance().reset();
    soak.reset();
    counters = &totals;
    const ResourceUse after = SettledResources(before);

    std::printf("soak: %d s, 8 threads, %llu faults injected by the server\n", seconds,
                static_cast<unsigned long long>(faults));
    long total = 0;
    for (int k = 0; k < kKinds; ++k) {
        std::printf("  %-10s %8ld operations, %6ld failed\n", kKindNames[k],
                    counters->ops[k].load(), counters->failures[k].load());
        total += counters->ops[k].load();
    }
    std::printf("  withdrawn by cancel: %ld; total operations %ld; longest session %lld ms\n",
                counters->withdrawn.load(), total, longestSession);
    std::printf("  resources before: %s\n  resources after:  %s\n", before.describe().c_str(),
                after.describe().c_str());
    (void)serverConnections;
    EXPECT_GT(counters->ops[kRequest].load(), 0);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.handles, before.handles);
    if (before.heapBytes > 0) {
        // The heap returns to where it was, but for the library's one
        // process-wide handle and the test framework's own bookkeeping.
        EXPECT_LT(after.heapBytes - before.heapBytes, 512 * 1024);
    }
    std::error_code ec;
    fs::remove_all(logDir, ec);
}

} // namespace
