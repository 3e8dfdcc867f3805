// Speed and memory of the client library against the stand-in server on
// loopback. Every figure is a ratio against a baseline measured in the same
// run, baseline and library interleaved round by round, because the machines
// this runs on are shared and noisy.
//
//   client_bench [--server PATH] [--rounds N] [--smoke] [--out FILE]
//                [--codec FILE] [--placements one,two] [--rows 1,2,4,5,6,7,8]
//                [--think-us 0,200,1000] [--workdir DIR]
#include "DravolinClient.h"
#include "bench_stats.h"
#include "proc_info.h"
#include "raw_client.h"
#include "report_table.h"
#include "server_process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace bench;

namespace {

// ---------------------------------------------------------------- settings

struct Settings {
    std::string server;
    std::string workdir;
    std::string out;
    std::string codec;
    int rounds = 7;
    bool smoke = false;
    std::set<std::string> placements{"one", "two"};
    std::set<int> rows{1, 2, 4, 5, 6, 7, 8};
    // The server's think time before each reply in rows 1 and 2 (microseconds): 0 is
    // loopback at its fastest, 200 a LAN round trip, 1000 a slow server or a longer path.
    std::set<unsigned> thinkUs{0, 200, 1000};

    // Sizes; --smoke shrinks them to a run of a few seconds.
    int roundTrips = 4000;
    int asyncRequests = 10000;
    std::int64_t logBytes = 256LL << 20;
    int listRecords = 100000;
    int manyConnections = 200;
    int manyThreads = 8;
    int requestsPerConnection = 200;
    double idleSeconds = 10; // 200 idle connections watched this long for CPU use
};

const char* const kUser = "bench";
const char* const kPassword = "bench-pw";
const char* const kChapName = "benchchap";
const char* const kChapSecret = "bench-chap-secret";
const char* const kParameter = "CtlAuthMode";

struct Placement {
    std::string key;
    std::string label;
    int serverCpu;
    int clientCpu;
};

// ---------------------------------------------------------------- helpers

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string fmtRate(double perSecond, const char* unit) {
    return formatNumber(perSecond, perSecond < 100 ? 1 : 0) + " " + unit;
}

std::string fmtUs(double seconds) {
    return formatNumber(seconds * 1e6, 1) + " us";
}

std::string fmtKiB(double kib) {
    return formatNumber(kib, 0) + " KiB";
}

std::string verdictAtLeast(const Summary& ratio, double target) {
    if (ratio.count == 0)
        return "n/a";
    return ratio.median >= target ? "met" : "MISSED";
}

// Met only when both the rate and the p50 reach the target: stalls from
// other load move the rate, and a median alone would hide a slow tail.
std::string verdictBoth(const Summary& rate, const Summary& p50, double target) {
    if (rate.count == 0 || p50.count == 0)
        return "n/a";
    const bool rateMet = rate.median >= target;
    const bool p50Met = p50.median >= target;
    if (rateMet && p50Met)
        return "met";
    if (rateMet)
        return "MISSED (p50)";
    if (p50Met)
        return "MISSED (rate)";
    return "MISSED";
}

// One measured run: rate, median latency, CPU of this process per operation.
struct Run {
    bool ok = true;
    double rate = 0;
    double p50 = 0;
    double cpuPerOp = 0;
    double p99 = 0; // round trips only
};

struct Series {
    std::vector<double> rates, p50s, cpus, p99s;
    void add(const Run& r) {
        rates.push_back(r.rate);
        p50s.push_back(r.p50);
        cpus.push_back(r.cpuPerOp);
        p99s.push_back(r.p99);
    }
    std::string describe(const char* unit) const {
        std::string text =
            fmtRate(summarize(rates).median, unit) + ", p50 " + fmtUs(summarize(p50s).median);
        if (summarize(p99s).median > 0)
            text += ", p99 " + fmtUs(summarize(p99s).median);
        return text + ", CPU " + fmtUs(summarize(cpus).median) + "/op";
    }
};

std::vector<double> ratios(const std::vector<double>& lib, const std::vector<double>& base) {
    std::vector<double> out;
    for (std::size_t i = 0; i < lib.size() && i < base.size(); ++i)
        out.push_back(base[i] > 0 ? lib[i] / base[i] : 0);
    return out;
}

// Times n operations; op returns false on failure.
Run timeOps(int n, const std::function<bool()>& op) {
    Run run;
    std::vector<double> lat;
    lat.reserve(static_cast<std::size_t>(n));
    const double cpu0 = processCpuSeconds();
    const double t0 = now();
    for (int i = 0; i < n; ++i) {
        const double t = now();
        run.ok &= op();
        lat.push_back(now() - t);
    }
    const double elapsed = now() - t0;
    run.rate = n / elapsed;
    run.p50 = percentile(lat, 0.5);
    run.cpuPerOp = (processCpuSeconds() - cpu0) / n;
    return run;
}

// ---------------------------------------------------------------- library side

// The library's one process-wide client; Free when it goes.
class LibrarySession {
  public:
    LibrarySession() : ok_(DravolinClient_Init() == DRAVOLIN_OK) {}
    ~LibrarySession() { free(); }
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;
    bool ok() const { return ok_; }
    // Returns how long Free took.
    double free() {
        if (!ok_)
            return 0;
        ok_ = false;
        const double t0 = now();
        DravolinClient_Free();
        return now() - t0;
    }

  private:
    bool ok_;
};

// Connects (the library adds one to the port it is given) and logs in.
std::uint32_t libConnect(std::uint16_t listenPort, bool encrypted) {
    std::uint32_t handle = 0;
    if (DravolinClient_Connect("127.0.0.1", listenPort - 1, &handle, nullptr, nullptr) !=
        DRAVOLIN_OK)
        return 0;
    LoginParameters lp{};
    if (encrypted) {
        lp.mode = DRAVOLIN_LOGIN_CHAP;
        lp.name = kChapName;
        lp.password = kChapSecret;
        lp.encrypt = 1;
    } else {
        lp.mode = DRAVOLIN_LOGIN_PLAIN;
        lp.name = kUser;
        lp.password = kPassword;
    }
    if (DravolinClient_Login(handle, &lp, nullptr, nullptr) != DRAVOLIN_OK) {
        DravolinClient_Disconnect(handle, nullptr, nullptr);
        return 0;
    }
    return handle;
}

bool libGet(std::uint32_t handle) {
    Response* r = nullptr;
    const int rc = DravolinClient_SendRequest(handle, DRAVOLIN_REQUEST_GET_PARAMETER, kParameter,
                                              &r, nullptr, nullptr);
    DravolinClient_ResponseFree(r);
    return rc == DRAVOLIN_OK;
}

Run libRoundTrips(std::uint32_t handle, int n) {
    return timeOps(n, [&] { return libGet(handle); });
}

bool rawConnect(RawClient& raw, std::uint16_t port) {
    ReplyScanner scanner;
    return raw.connect(port, 30000) &&
           raw.request(std::string("login ") + kUser + " " + kPassword + "\n", scanner) &&
           scanner.status() == 200;
}

// Runs every side for n operations per round, cut into chunks that take
// turns (the order rotating), so that a burst of load from elsewhere on the
// machine hits all sides alike. One Run per side and round.
struct Side {
    std::function<bool()> op;
    Series out;
    bool ok = true;
};

void interleaved(int rounds, int n, const std::vector<Side*>& sides) {
    const int chunks = std::max(1, std::min(10, n / 50));
    const int per = n / chunks;
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::vector<double>> lat(sides.size());
        std::vector<double> elapsed(sides.size(), 0), cpu(sides.size(), 0);
        for (int k = 0; k < chunks; ++k) {
            for (std::size_t j = 0; j < sides.size(); ++j) {
                const std::size_t i = (j + static_cast<std::size_t>(r + k)) % sides.size();
                Side& side = *sides[i];
                const double c0 = processCpuSeconds();
                const double t0 = now();
                for (int q = 0; q < per; ++q) {
                    const double t = now();
                    side.ok &= side.op();
                    lat[i].push_back(now() - t);
                }
                elapsed[i] += now() - t0;
                cpu[i] += processCpuSeconds() - c0;
            }
        }
        for (std::size_t i = 0; i < sides.size(); ++i) {
            const double ops = static_cast<double>(per) * chunks;
            sides[i]->out.add({true, ops / elapsed[i], percentile(lat[i], 0.5), cpu[i] / ops,
                               percentile(lat[i], 0.99)});
        }
    }
}

// A child run of this program that measures memory in a fresh process, where
// no earlier allocation hides a growth. Returns its one output line's numbers.
std::vector<double> probe(const std::string& args) {
    std::error_code ec;
    const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
    std::vector<double> out;
    if (ec)
        return out;
    FILE* pipe = popen(("'" + self + "' " + args).c_str(), "r");
    if (!pipe)
        return out;
    char line[512] = {};
    if (std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        for (double v; word == "probe" && in >> v;)
            out.push_back(v);
    }
    if (pclose(pipe) != 0)
        out.clear();
    return out;
}

// Asynchronous completions land here; the callback has no context argument.
struct AsyncState {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<int> claimed{0}; // slots of stamps handed out
    std::atomic<int> done{0};    // counted after the stamp is written
    std::atomic<int> failed{0};
    int target = 0;
    std::vector<double> stamps; // completion times, one per callback
};
AsyncState g_async;

void DRAVOLIN_CALL onAsyncDone(std::uint32_t, int failed, Response* response) {
    DravolinClient_ResponseFree(response);
    if (failed)
        g_async.failed.fetch_add(1);
    const int index = g_async.claimed.fetch_add(1);
    if (index < static_cast<int>(g_async.stamps.size()))
        g_async.stamps[static_cast<std::size_t>(index)] = now();
    if (g_async.done.fetch_add(1) + 1 == g_async.target) {
        std::lock_guard<std::mutex> lock(g_async.m);
        g_async.cv.notify_all();
    }
}

struct AsyncRun {
    Run run;
    double peakGrowthKiB = 0;
    std::int64_t threadsDuring = 0;
    std::int64_t threadsBefore = 0;
};

AsyncRun libAsync(std::uint32_t handle, int n) {
    AsyncRun a;
    g_async.claimed = 0;
    g_async.done = 0;
    g_async.failed = 0;
    g_async.target = n;
    g_async.stamps.assign(static_cast<std::size_t>(n), 0.0);
    trimHeap();
    resetPeak();
    const MemoryStatus before = memoryStatus();
    a.threadsBefore = before.threads;
    const double cpu0 = processCpuSeconds();
    const double t0 = now();
    bool submitted = true;
    for (int i = 0; i < n; ++i) {
        Response* r = nullptr;
        std::uint32_t id = 0;
        // The callback frees the Response; it may already have run on return.
        submitted &= DravolinClient_SendRequest(handle, DRAVOLIN_REQUEST_GET_PARAMETER, kParameter,
                                                &r, &id, onAsyncDone) == DRAVOLIN_OK;
    }
    a.threadsDuring = memoryStatus().threads;
    bool finished;
    {
        std::unique_lock<std::mutex> lock(g_async.m);
        finished = g_async.cv.wait_for(lock, std::chrono::seconds(120),
                                       [&] { return g_async.done.load() == n; });
    }
    const double elapsed = now() - t0;
    const MemoryStatus after = memoryStatus();
    a.run.ok = submitted && finished && g_async.failed == 0;
    a.run.rate = n / elapsed;
    // The median gap between two completions: the typical cost of one
    // request, apart from stalls.
    std::vector<double> gaps;
    for (std::size_t i = 1; finished && i < g_async.stamps.size(); ++i)
        gaps.push_back(g_async.stamps[i] - g_async.stamps[i - 1]);
    a.run.p50 = percentile(gaps, 0.5);
    if (std::getenv("CLIENT_BENCH_DEBUG")) {
        double big = 0;
        int nbig = 0;
        for (double g : gaps)
            if (g > 1e-3) {
                big += g;
                ++nbig;
            }
        std::fprintf(stderr,
                     "async gaps: p90 %.1f us p99 %.1f us max %.1f ms; %d over 1 ms (%.0f ms)\n",
                     percentile(gaps, 0.9) * 1e6, percentile(gaps, 0.99) * 1e6,
                     percentile(gaps, 1.0) * 1e3, nbig, big * 1e3);
    }
    a.run.cpuPerOp = (processCpuSeconds() - cpu0) / n;
    a.peakGrowthKiB = static_cast<double>(after.peakKiB - before.rssKiB);
    return a;
}

std::int64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

// Child side of probe(): "idle" prints the resident memory before Init and
// with one logged-in connection at rest; "listing" prints the memory before
// and at the peak of a device listing walked to its end, with the records'
// own size and count.
int runProbe(const std::string& kind, std::uint16_t port) {
    trimHeap();
    const MemoryStatus before = memoryStatus();
    if (DravolinClient_Init() != DRAVOLIN_OK)
        return 1;
    const std::uint32_t handle = libConnect(port, false);
    if (!handle)
        return 1;
    if (kind == "idle") {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        trimHeap();
        const MemoryStatus idle = memoryStatus();
        std::printf("probe %lld %lld\n", static_cast<long long>(before.rssKiB),
                    static_cast<long long>(idle.rssKiB));
        DravolinClient_Free();
        return 0;
    }
    trimHeap();
    resetPeak();
    const MemoryStatus start = memoryStatus();
    Response* resp = nullptr;
    const int rc = DravolinClient_SendRequest(handle, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr, &resp,
                                              nullptr, nullptr);
    static char name[DRAVOLIN_MAX_LINE + 1], value[DRAVOLIN_MAX_LINE + 1];
    double bytes = 0, count = 0;
    while (resp && DravolinClient_ResponseGetNext(resp, name, value)) {
        ++count;
        bytes += static_cast<double>(std::strlen(name) + std::strlen(value));
    }
    const MemoryStatus peak = memoryStatus();
    DravolinClient_ResponseFree(resp);
    DravolinClient_Free();
    std::printf("probe %lld %lld %.0f %.0f %d\n", static_cast<long long>(start.rssKiB),
                static_cast<long long>(peak.peakKiB), bytes, count, rc);
    return rc == DRAVOLIN_OK ? 0 : 1;
}

// ---------------------------------------------------------------- the rows

struct Context {
    const Settings& s;
    const Placement& p;
    std::uint16_t port;
    std::vector<TableRow>& table;
    bool& allOk;
    std::string logDir;
    bool& devicesAdded; // the server keeps them across placements
};

void fail(Context& c, const std::string& what) {
    std::cerr << "FAILED [" << c.p.label << "]: " << what << "\n";
    c.allOk = false;
}

void progress(const std::string& what) {
    std::cerr << "  " << what << "\n";
}

// Sets the server's think time on one connection of each kind (a steering line, answered at
// once); false when the server refused it.
bool setThinkTime(unsigned us, RawClient& raw, const std::vector<std::uint32_t>& handles) {
    const std::string argument = "-delay:\"" + std::to_string(us) + "\"";
    ReplyScanner scanner;
    bool ok = raw.request("control " + argument + " \n", scanner) && scanner.status() == 200;
    for (const std::uint32_t h : handles) {
        Response* r = nullptr;
        ok &= DravolinClient_SendRequest(h, DRAVOLIN_REQUEST_CONTROL, argument.c_str(), &r, nullptr,
                                         nullptr) == DRAVOLIN_OK;
        DravolinClient_ResponseFree(r);
    }
    return ok;
}

std::string thinkLabel(unsigned us) {
    if (us == 0)
        return "no think time";
    if (us % 1000 == 0)
        return "think time " + std::to_string(us / 1000) + " ms";
    return "think time " + std::to_string(us) + " us";
}

// Rows 1 and 2 at one think time of the server. Each side makes n round trips per round, so
// that a round at 1 ms takes about as long as one at none.
void roundTripsAt(Context& c, unsigned thinkUs, std::uint32_t plain, std::uint32_t enc,
                  RawClient& raw) {
    const bool wantRow1 = c.s.rows.count(1) > 0;
    const bool wantRow2 = c.s.rows.count(2) > 0 && enc != 0;
    const int n = std::max(std::min(c.s.roundTrips, 100),
                           std::min(c.s.roundTrips, static_cast<int>(1.2e6 / (thinkUs + 60.0))));
    const std::string line = std::string("get ") + kParameter + "\n";
    ReplyScanner scanner;
    Side base{[&] { return raw.request(line, scanner) && scanner.status() == 200; }, {}};
    Side lib{[&] { return libGet(plain); }, {}};
    Side libEnc{[&] { return libGet(enc); }, {}};
    // At a think time, row 2 is held against the raw client as row 1 is; without one, against
    // the plain library (what the channel itself costs).
    const bool row2AgainstRaw = thinkUs > 0;
    std::vector<Side*> sides{&lib};
    if (wantRow1 || (wantRow2 && row2AgainstRaw))
        sides.push_back(&base);
    if (wantRow2)
        sides.push_back(&libEnc);
    // Warm-up: the first requests fault in code and buffers.
    interleaved(1, n / 10 + 1, sides);
    for (Side* side : sides)
        side->out = {};
    interleaved(c.s.rounds, n, sides);
    const std::string at = " (" + thinkLabel(thinkUs) + ")";
    if (!base.ok)
        fail(c, "raw round trips" + at);
    if (!lib.ok)
        fail(c, "library round trips" + at);
    if (!libEnc.ok)
        fail(c, "encrypted round trips" + at);
    const double target1 = thinkUs > 0 ? 0.97 : 0.9;
    char targetText[16];
    std::snprintf(targetText, sizeof targetText, ">= %.2f", target1);
    if (wantRow1) {
        TableRow row{"1",
                     "sync \"get\" round trips, one connection, " + thinkLabel(thinkUs),
                     c.p.label,
                     base.out.describe("req/s"),
                     lib.out.describe("req/s"),
                     summarize(ratios(lib.out.rates, base.out.rates)),
                     true,
                     {},
                     false,
                     targetText,
                     ""};
        row.p50Ratio = summarize(ratios(base.out.p50s, lib.out.p50s));
        row.hasP50Ratio = true;
        row.verdict = verdictBoth(row.ratio, row.p50Ratio, target1);
        c.table.push_back(row);
    }
    if (c.s.rows.count(2)) {
        const Series& baseline = row2AgainstRaw ? base.out : lib.out;
        const double target2 = row2AgainstRaw ? target1 : 0.83;
        TableRow row{
            "2",
            "the same, encrypted channel, " + thinkLabel(thinkUs) +
                (row2AgainstRaw ? " (baseline: raw client)" : " (baseline: library plain)"),
            c.p.label,
            baseline.describe("req/s"),
            "",
            {},
            false,
            {},
            false,
            row2AgainstRaw ? targetText : ">= 0.83",
            ""};
        if (wantRow2) {
            row.library = libEnc.out.describe("req/s");
            row.ratio = summarize(ratios(libEnc.out.rates, baseline.rates));
            row.hasRatio = true;
            row.p50Ratio = summarize(ratios(baseline.p50s, libEnc.out.p50s));
            row.hasP50Ratio = true;
            row.verdict = verdictBoth(row.ratio, row.p50Ratio, target2);
        } else {
            row.library = "no encrypted connection";
            row.verdict = "n/a: CHAP login with encryption failed";
            fail(c, "encrypted login");
        }
        c.table.push_back(row);
    }
}

void rowRoundTrips(Context& c, std::uint32_t plain, std::uint32_t enc, RawClient& raw) {
    std::vector<std::uint32_t> handles{plain};
    if (enc)
        handles.push_back(enc);
    for (const unsigned thinkUs : c.s.thinkUs) {
        if (!setThinkTime(thinkUs, raw, handles)) {
            fail(c, "setting the server's think time to " + std::to_string(thinkUs) + " us");
            continue;
        }
        progress("round trips, " + thinkLabel(thinkUs));
        roundTripsAt(c, thinkUs, plain, enc, raw);
    }
    // The other rows run without one.
    if (!setThinkTime(0, raw, handles))
        fail(c, "clearing the server's think time");
}

// Row 8: the wire trace. Sync "get" round trips on two plain connections, one with a trace
// callback that counts the lines, the other without any (the hot path then only looks at one
// flag): what a trace costs when set. Rows 1 and 2 show that it costs nothing when not set.
std::atomic<std::uint64_t> tracedLines{0};
void DRAVOLIN_CALL countLine(uint32_t, int, const char* line, void*) {
    if (line) {
        tracedLines.fetch_add(1, std::memory_order_relaxed);
    }
}

void rowTrace(Context& c, std::uint32_t plain, std::uint32_t traced) {
    const int n = c.s.roundTrips;
    Side lib{[&] { return libGet(plain); }, {}};
    Side libTraced{[&] { return libGet(traced); }, {}};
    std::vector<Side*> sides{&lib, &libTraced};
    interleaved(1, n / 10 + 1, sides);
    for (Side* side : sides)
        side->out = {};
    tracedLines = 0;
    interleaved(c.s.rounds, n, sides);
    if (!lib.ok || !libTraced.ok)
        fail(c, "traced round trips");
    if (tracedLines.load() == 0)
        fail(c, "the trace callback saw no line");
    TableRow row{"8",
                 "sync \"get\" round trips, a trace callback set (baseline: library, none set)",
                 c.p.label,
                 lib.out.describe("req/s"),
                 libTraced.out.describe("req/s"),
                 summarize(ratios(libTraced.out.rates, lib.out.rates)),
                 true,
                 {},
                 false,
                 ">= 0.8",
                 ""};
    row.p50Ratio = summarize(ratios(lib.out.p50s, libTraced.out.p50s));
    row.hasP50Ratio = true;
    row.verdict = verdictBoth(row.ratio, row.p50Ratio, 0.8);
    c.table.push_back(row);
}

void rowGetlog(Context& c, std::uint32_t plain, std::uint32_t enc, RawClient& raw) {
    Series base, lib, libEnc;
    const std::string rawPath = c.logDir + "/raw-copy.log";
    for (int r = 0; r < c.s.rounds; ++r) {
        std::vector<std::function<void()>> steps;
        steps.push_back([&] {
            const double t0 = now();
            const std::int64_t bytes = raw.getlog(rawPath);
            const double elapsed = now() - t0;
            if (bytes < c.s.logBytes)
                fail(c, "raw getlog: " + std::to_string(bytes) + " bytes");
            base.add({true, static_cast<double>(bytes) / elapsed / 1e6, elapsed, 0});
            fs::remove(rawPath);
        });
        auto libStep = [&](std::uint32_t h, Series& out, const char* what) {
            Response* resp = nullptr;
            const double t0 = now();
            const int rc = DravolinClient_SendRequest(h, DRAVOLIN_REQUEST_GET_LOG, nullptr, &resp,
                                                      nullptr, nullptr);
            const double elapsed = now() - t0;
            std::string fileName;
            char name[DRAVOLIN_MAX_LINE + 1], value[DRAVOLIN_MAX_LINE + 1];
            while (resp && DravolinClient_ResponseGetNext(resp, name, value))
                if (std::strcmp(name, "filename") == 0)
                    fileName = value;
            DravolinClient_ResponseFree(resp);
            const std::string path = c.logDir + "/" + fileName;
            const std::int64_t bytes = fileName.empty() ? -1 : fileSize(path);
            if (rc != DRAVOLIN_OK || bytes < c.s.logBytes)
                fail(c, std::string(what) + " getlog: rc " + std::to_string(rc) + ", " +
                            std::to_string(bytes) + " bytes");
            out.add({true, static_cast<double>(bytes) / elapsed / 1e6, elapsed, 0});
            if (!fileName.empty())
                fs::remove(path);
        };
        steps.push_back([&] { libStep(plain, lib, "library"); });
        if (enc)
            steps.push_back([&] { libStep(enc, libEnc, "encrypted"); });
        if (r % 2)
            std::reverse(steps.begin(), steps.end());
        for (auto& step : steps)
            step();
    }
    auto describe = [](const Series& s) {
        return fmtRate(summarize(s.rates).median, "MB/s") + ", " +
               formatNumber(summarize(s.p50s).median * 1e3, 0) + " ms";
    };
    const std::string what =
        "\"getlog\" of " + formatNumber(c.s.logBytes / 1048576.0, 0) + " MiB into a file";
    TableRow row{"4",   what + ", plain", c.p.label, describe(base), describe(lib), {}, true, {},
                 false, ">= 0.70",        ""};
    row.ratio = summarize(ratios(lib.rates, base.rates));
    row.verdict = verdictAtLeast(row.ratio, 0.7);
    c.table.push_back(row);
    // Against the same plain baseline: the price of MD5 and AES over every byte on both sides.
    TableRow erow{
        "4", what + ", encrypted", c.p.label, describe(base), "", {}, false, {}, false, ">= 0.50",
        ""};
    if (enc) {
        erow.library = describe(libEnc);
        erow.ratio = summarize(ratios(libEnc.rates, base.rates));
        erow.hasRatio = true;
        erow.verdict = verdictAtLeast(erow.ratio, 0.5);
    } else {
        erow.library = "no encrypted connection";
        erow.verdict = "n/a";
    }
    c.table.push_back(erow);
}

// The server's device listing gives a "Count" record and four records per
// device; it is filled up with devices first.
bool addDevices(Context& c, RawClient& raw) {
    const int devices = (c.s.listRecords + 3) / 4;
    ReplyScanner scanner;
    for (int i = 0; i < devices; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "add bench%07d file %d\n", i, 1048576 + i);
        if (!raw.request(line, scanner) || scanner.status() != 200) {
            fail(c, "adding device " + std::to_string(i));
            return false;
        }
    }
    return true;
}

void rowListing(Context& c, std::uint32_t plain, RawClient& raw) {
    if (!c.devicesAdded && !addDevices(c, raw))
        return;
    c.devicesAdded = true;
    // The library sends "1" after the literal for a null argument: the same line.
    const std::string line = "list -what:\"devices\"1\n";
    Series base, lib;
    double recordBytes = 0;
    std::size_t recordCount = 0;
    std::vector<double> growth;
    for (int r = 0; r < c.s.rounds; ++r) {
        std::vector<std::function<void()>> steps;
        steps.push_back([&] {
            ReplyScanner scanner;
            const double t0 = now();
            const bool ok = raw.request(line, scanner);
            const double elapsed = now() - t0;
            if (!ok || scanner.status() != 200 ||
                scanner.records() < static_cast<std::size_t>(c.s.listRecords))
                fail(c, "raw listing: " + std::to_string(scanner.records()) + " records");
            base.add({ok, static_cast<double>(scanner.bytes()) / elapsed / 1e6, elapsed, 0});
        });
        steps.push_back([&] {
            Response* resp = nullptr;
            const double t0 = now();
            const int rc = DravolinClient_SendRequest(plain, DRAVOLIN_REQUEST_LIST_DEVICES, nullptr,
                                                      &resp, nullptr, nullptr);
            static char name[DRAVOLIN_MAX_LINE + 1], value[DRAVOLIN_MAX_LINE + 1];
            std::size_t n = 0;
            if (resp)
                DravolinClient_ResponseReset(resp);
            while (resp && DravolinClient_ResponseGetNext(resp, name, value))
                ++n;
            const double elapsed = now() - t0;
            DravolinClient_ResponseFree(resp);
            if (rc != DRAVOLIN_OK || n < static_cast<std::size_t>(c.s.listRecords))
                fail(c, "library listing: rc " + std::to_string(rc) + ", " + std::to_string(n) +
                            " records");
            lib.add({rc == DRAVOLIN_OK, 0, elapsed, 0});
        });
        if (r % 2)
            std::reverse(steps.begin(), steps.end());
        for (auto& step : steps)
            step();
    }
    // Peak memory, each time in a fresh process of its own.
    for (int r = 0; r < std::min(c.s.rounds, 3); ++r) {
        const auto v = probe("--probe listing --port " + std::to_string(c.port));
        if (v.size() != 5 || v[4] != 0) {
            fail(c, "memory probe of the listing");
            continue;
        }
        growth.push_back(v[1] - v[0]);
        recordBytes = v[2];
        recordCount = static_cast<std::size_t>(v[3]);
    }
    // Both sides moved the same reply: the ratio of rates is the ratio of times.
    std::vector<double> rs;
    for (std::size_t i = 0; i < base.p50s.size() && i < lib.p50s.size(); ++i)
        rs.push_back(base.p50s[i] / lib.p50s[i]);
    TableRow row{"5",
                 "listing of " + formatNumber(static_cast<double>(c.s.listRecords), 0) +
                     " records, walked to the end",
                 c.p.label,
                 formatNumber(summarize(base.p50s).median * 1e3, 1) + " ms (" +
                     fmtRate(summarize(base.rates).median, "MB/s") + ")",
                 formatNumber(summarize(lib.p50s).median * 1e3, 1) + " ms",
                 summarize(rs),
                 true,
                 {},
                 false,
                 ">= 0.50",
                 ""};
    row.verdict = verdictAtLeast(row.ratio, 0.5);
    c.table.push_back(row);
    const double peak = summarize(growth).median * 1024;
    const double factor = recordBytes > 0 ? peak / recordBytes : 0;
    TableRow mem{"5",
                 "peak memory growth of that listing",
                 c.p.label,
                 "records' size " + formatNumber(recordBytes / 1024, 0) + " KiB (" +
                     formatNumber(static_cast<double>(recordCount), 0) + " records)",
                 "peak growth " + fmtKiB(peak / 1024),
                 {},
                 false,
                 {},
                 false,
                 "<= 3.0 x records",
                 ""};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f x records", factor);
    mem.verdict = std::string(buf) + (factor <= 3.0 ? ": met" : ": MISSED");
    c.table.push_back(mem);
}

void rowAsync(Context& c, std::uint32_t plain) {
    Series lib, async;
    std::vector<double> growth;
    std::int64_t threadsBefore = 0, threadsDuring = 0;
    for (int r = 0; r < c.s.rounds; ++r) {
        std::vector<std::function<void()>> steps;
        steps.push_back([&] { lib.add(libRoundTrips(plain, c.s.roundTrips)); });
        steps.push_back([&] {
            const AsyncRun a = libAsync(plain, c.s.asyncRequests);
            if (!a.run.ok)
                fail(c, "async requests: " + std::to_string(g_async.done.load()) + " done, " +
                            std::to_string(g_async.failed.load()) + " failed");
            async.add(a.run);
            growth.push_back(a.peakGrowthKiB);
            threadsBefore = a.threadsBefore;
            threadsDuring = std::max(threadsDuring, a.threadsDuring);
        });
        if (r % 2)
            std::reverse(steps.begin(), steps.end());
        for (auto& step : steps)
            step();
    }
    TableRow row{"7",
                 formatNumber(c.s.asyncRequests, 0) +
                     " async \"get\" queued on one connection (baseline: row 1 library)",
                 c.p.label,
                 lib.describe("req/s"),
                 fmtRate(summarize(async.rates).median, "req/s") + ", p50 gap " +
                     fmtUs(summarize(async.p50s).median) + ", CPU " +
                     fmtUs(summarize(async.cpus).median) + "/op; peak growth " +
                     fmtKiB(summarize(growth).median) + ", threads " +
                     std::to_string(threadsBefore) + " -> " + std::to_string(threadsDuring),
                 summarize(ratios(async.rates, lib.rates)),
                 true,
                 {},
                 false,
                 ">= 1.00, no thread per request",
                 ""};
    row.p50Ratio = summarize(ratios(lib.p50s, async.p50s));
    row.hasP50Ratio = true;
    row.verdict = verdictBoth(row.ratio, row.p50Ratio, 1.0);
    if (threadsDuring > threadsBefore)
        row.verdict += "; threads grew";
    c.table.push_back(row);
}

void rowManyConnections(Context& c) {
    Series single, many;
    std::vector<double> perConn, freeTimes;
    double idleCpuShare = -1; // of one CPU, over settings' idleSeconds
    for (int r = 0; r < c.s.rounds; ++r) {
        LibrarySession session;
        if (!session.ok()) {
            fail(c, "init");
            return;
        }
        // The row 1 figure of this round, on a connection of its own.
        const std::uint32_t one = libConnect(c.port, false);
        if (!one) {
            fail(c, "connect");
            return;
        }
        libRoundTrips(one, c.s.roundTrips / 10 + 1);
        single.add(libRoundTrips(one, c.s.roundTrips));
        DravolinClient_Disconnect(one, nullptr, nullptr);

        trimHeap();
        const MemoryStatus before = memoryStatus();
        std::vector<std::uint32_t> conns;
        for (int i = 0; i < c.s.manyConnections; ++i) {
            const std::uint32_t h = libConnect(c.port, false);
            if (!h) {
                fail(c, "connection " + std::to_string(i));
                break;
            }
            conns.push_back(h);
        }
        trimHeap();
        const MemoryStatus idle = memoryStatus();
        if (!conns.empty())
            perConn.push_back(static_cast<double>(idle.rssKiB - before.rssKiB) /
                              static_cast<double>(conns.size()));
        if (r == 0) {
            // What the open, unused connections cost while nobody calls: their workers must
            // sleep, not spin. A moment first for the logins' last spins to end.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const double cpu0 = processCpuSeconds();
            const double t0 = now();
            std::this_thread::sleep_for(std::chrono::duration<double>(c.s.idleSeconds));
            idleCpuShare = (processCpuSeconds() - cpu0) / (now() - t0);
        }

        std::atomic<int> failures{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        const int nThreads = c.s.manyThreads;
        for (int t = 0; t < nThreads; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < c.s.requestsPerConnection; ++i)
                    for (std::size_t k = static_cast<std::size_t>(t); k < conns.size();
                         k += static_cast<std::size_t>(nThreads))
                        if (!libGet(conns[k]))
                            failures.fetch_add(1);
            });
        }
        const double t0 = now();
        go = true;
        for (auto& th : threads)
            th.join();
        const double elapsed = now() - t0;
        if (failures)
            fail(c, std::to_string(failures.load()) + " of the many-connection requests failed");
        const double total = static_cast<double>(conns.size()) * c.s.requestsPerConnection;
        many.add({failures == 0, total / elapsed, 0, 0});
        freeTimes.push_back(session.free());
    }
    TableRow row{"6",
                 formatNumber(c.s.manyConnections, 0) + " connections from " +
                     std::to_string(c.s.manyThreads) + " threads, " +
                     std::to_string(c.s.requestsPerConnection) +
                     " sync requests each (baseline: row 1 library)",
                 c.p.label,
                 single.describe("req/s"),
                 fmtRate(summarize(many.rates).median, "req/s") + " aggregate",
                 summarize(ratios(many.rates, single.rates)),
                 true,
                 {},
                 false,
                 "all succeed; reported",
                 c.allOk ? "all succeeded" : "FAILURES"};
    c.table.push_back(row);
    if (idleCpuShare >= 0) {
        char share[64];
        std::snprintf(share, sizeof share, "%.3f %% of one CPU", idleCpuShare * 100);
        c.table.push_back({"-",
                           "CPU of " + formatNumber(c.s.manyConnections, 0) +
                               " idle connections over " + formatNumber(c.s.idleSeconds, 0) +
                               " s (the whole benchmark process)",
                           c.p.label,
                           "",
                           share,
                           {},
                           false,
                           {},
                           false,
                           "< 1 % of one CPU",
                           idleCpuShare < 0.01 ? "met" : "MISSED"});
    }
    c.table.push_back({"-",
                       "resident memory per idle connection",
                       c.p.label,
                       "",
                       fmtKiB(summarize(perConn).median) + " [" +
                           formatNumber(summarize(perConn).low, 0) + "-" +
                           formatNumber(summarize(perConn).high, 0) + "]",
                       {},
                       false,
                       {},
                       false,
                       "reported",
                       "reported"});
    c.table.push_back(
        {"-",
         "DravolinClient_Free with " + formatNumber(c.s.manyConnections, 0) + " open connections",
         c.p.label,
         "",
         formatNumber(summarize(freeTimes).median * 1e3, 2) + " ms [" +
             formatNumber(summarize(freeTimes).low * 1e3, 2) + "-" +
             formatNumber(summarize(freeTimes).high * 1e3, 2) + "]",
         {},
         false,
         {},
         false,
         "reported",
         "reported"});
}

// The server's command line: the users the benchmark logs in with, the size
// of the generated log.
std::vector<std::string> serverArguments(const Settings& s) {
    // The frames of an encrypted reply go out back to back (the server's default).
    return {"--port",
            "0",
            "--user",
            std::string(kUser) + ":" + kPassword,
            "--chap-user",
            std::string(kChapName) + ":" + kChapSecret,
            "--log-size",
            std::to_string(s.logBytes),
            "--exit-on-stdin-close"};
}

bool runPlacement(const Settings& s, const Placement& p, ServerProcess& server,
                  std::vector<TableRow>& table, bool firstPlacement, bool& devicesAdded) {
    bool allOk = true;
    if (!pinProcess(0, p.clientCpu) || !server.pin(p.serverCpu))
        std::cerr << "warning: could not pin to the CPUs of placement " << p.label << "\n";
    std::cerr << p.label << ": server on CPU " << p.serverCpu << ", benchmark on CPU "
              << p.clientCpu << "\n";
    Context c{s, p, server.port(), table, allOk, s.workdir, devicesAdded};

    {
        if (firstPlacement) {
            // Idle memory, in a fresh process: before Init, and with one
            // logged-in connection at rest.
            const auto v = probe("--probe idle --port " + std::to_string(c.port));
            if (v.size() != 2)
                fail(c, "memory probe of the idle library");
            else
                table.push_back({"-",
                                 "resident memory of the idle library with one connection",
                                 p.label,
                                 fmtKiB(v[0]) + " before Init",
                                 "+" + fmtKiB(v[1] - v[0]) + " (process " + fmtKiB(v[1]) + ")",
                                 {},
                                 false,
                                 {},
                                 false,
                                 "reported",
                                 "reported"});
        }
        LibrarySession session;
        if (!session.ok()) {
            fail(c, "DravolinClient_Init");
            return false;
        }
        const std::uint32_t plain = libConnect(c.port, false);
        if (!plain) {
            fail(c, "plain connect and login");
            return false;
        }
        if (DravolinClient_SetServiceLogDirectory(plain, c.logDir.c_str()) != DRAVOLIN_OK)
            fail(c, "log directory");
        const bool wantEnc = s.rows.count(2) || s.rows.count(4);
        const std::uint32_t enc = wantEnc ? libConnect(c.port, true) : 0;
        if (enc)
            DravolinClient_SetServiceLogDirectory(enc, c.logDir.c_str());
        RawClient raw;
        if (!rawConnect(raw, c.port)) {
            fail(c, "raw connect and login");
            return false;
        }
        if (s.rows.count(1) || s.rows.count(2)) {
            progress("round trips");
            rowRoundTrips(c, plain, enc, raw);
        }
        if (s.rows.count(4)) {
            progress("getlog");
            rowGetlog(c, plain, enc, raw);
        }
        if (s.rows.count(5)) {
            progress("listing");
            rowListing(c, plain, raw);
        }
        if (s.rows.count(7)) {
            progress("async");
            rowAsync(c, plain);
        }
        if (s.rows.count(8)) {
            progress("trace");
            const std::uint32_t traced = libConnect(c.port, false);
            if (!traced || DravolinClient_SetTrace(traced, countLine, nullptr) != DRAVOLIN_OK) {
                fail(c, "traced connection");
            } else {
                rowTrace(c, plain, traced);
            }
        }
    }
    if (s.rows.count(6)) {
        progress("many connections");
        rowManyConnections(c);
    }
    return allOk;
}

std::string defaultServer(const char* argv0) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        self = argv0;
    return (self.parent_path() / "dravolin-testserver").string();
}

int usage() {
    std::cerr
        << "usage: client_bench [--server PATH] [--rounds N] [--smoke] [--out FILE]\n"
           "                    [--codec FILE] [--placements one,two] [--rows 1,2,4,5,6,7,8]\n"
           "                    [--think-us 0,200,1000] [--workdir DIR]\n"
           "  --think-us  the server's think times before each reply in rows 1 and 2\n"
           "              (microseconds, default 0,200,1000)\n";
    return 2;
}

std::set<std::string> splitList(const std::string& text) {
    std::set<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ','))
        if (!item.empty())
            out.insert(item);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--probe" && std::string(argv[3]) == "--port") {
        alarm(120);
        return runProbe(argv[2], static_cast<std::uint16_t>(std::atoi(argv[4])));
    }
    Settings s;
    s.server = defaultServer(argv[0]);
    bool roundsGiven = false;
    bool thinkGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--server")
            s.server = next();
        else if (a == "--rounds") {
            s.rounds = std::max(1, std::atoi(next().c_str()));
            roundsGiven = true;
        } else if (a == "--smoke")
            s.smoke = true;
        else if (a == "--out")
            s.out = next();
        else if (a == "--codec")
            s.codec = next();
        else if (a == "--workdir")
            s.workdir = next();
        else if (a == "--placements")
            s.placements = splitList(next());
        else if (a == "--think-us") {
            thinkGiven = true;
            s.thinkUs.clear();
            for (const auto& t : splitList(next()))
                s.thinkUs.insert(static_cast<unsigned>(std::strtoul(t.c_str(), nullptr, 10)));
        } else if (a == "--rows") {
            s.rows.clear();
            for (const auto& r : splitList(next()))
                s.rows.insert(std::atoi(r.c_str()));
        } else
            return usage();
    }
    if (s.smoke) {
        // Every path once, small: this keeps the program from rotting, it
        // measures nothing.
        if (!roundsGiven)
            s.rounds = 1;
        s.roundTrips = 50;
        s.asyncRequests = 200;
        s.logBytes = 1 << 20;
        s.listRecords = 1000;
        s.manyConnections = 16;
        s.manyThreads = 4;
        s.requestsPerConnection = 5;
        s.idleSeconds = 1;
        if (!thinkGiven)
            s.thinkUs = {0, 200};
    }
    // Whatever happens, the program ends: a stuck reply must not hang a test run.
    alarm(s.smoke ? 120 : 3600);

    bool createdWorkdir = false;
    if (s.workdir.empty()) {
        char tmpl[] = "/tmp/client-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            return 1;
        }
        s.workdir = tmpl;
        createdWorkdir = true;
    }
    const int cpus = static_cast<int>(std::thread::hardware_concurrency());
    std::vector<Placement> placements;
    if (s.placements.count("one"))
        placements.push_back({"one", "1 CPU", 0, 0});
    if (s.placements.count("two")) {
        if (cpus >= 2)
            placements.push_back({"two", "2 CPUs", 1, 0});
        else
            std::cerr << "only one CPU: the two-CPU placement is left out\n";
    }

    std::vector<TableRow> table;
    bool ok = true;
    ServerProcess server;
    if (!server.start(s.server, serverArguments(s),
                      placements.empty() ? -1 : placements[0].serverCpu, 15000)) {
        std::cerr << "FAILED: could not start " << s.server << " (first line \""
                  << server.firstLine() << "\")\n";
        ok = false;
    } else {
        std::cerr << "server: " << server.firstLine() << "\n";
        bool first = true;
        bool devicesAdded = false;
        for (const auto& p : placements) {
            ok &= runPlacement(s, p, server, table, first, devicesAdded);
            first = false;
        }
    }
    server.stop();
    if (createdWorkdir)
        fs::remove_all(s.workdir);

    if (!s.codec.empty()) {
        // Row 3 comes from the frame codec benchmark, run before this program.
        std::ifstream in(s.codec);
        std::size_t found = 0;
        for (std::string line; std::getline(in, line);)
            if (auto row = parseCodecLine(line)) {
                table.push_back(*row);
                ++found;
            }
        if (!found)
            std::cerr << "no frame codec results in " << s.codec << "\n";
    }
    sortRows(table);
    std::ostringstream report;
    report << renderTable(table);
    std::cout << report.str() << std::flush;
    if (!s.out.empty())
        std::ofstream(s.out) << report.str();
    if (!ok)
        std::cerr << "some measurements failed; see above\n";
    return ok ? 0 : 1;
}
