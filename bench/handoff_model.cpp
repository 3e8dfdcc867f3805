// What the caller -> worker -> caller hand-off costs, and what spinning before
// blocking buys, measured apart from the library: the same round trip done by
// the calling thread itself, and handed to a worker thread over condition
// variables (the library's events), with and without bounded spins.
//
//   handoff_model [--rounds N] [--requests N] [--spin-us N] [--think-us N]
//
// The peer is a child process on loopback answering every line with an empty
// reply, after --think-us microseconds (its think time, default 0); both
// placements (all on CPU 0; peer on CPU 1) are measured.
#include "bench_stats.h"
#include "proc_info.h"
#include "report_table.h"
#include "server_process.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

using Clock = std::chrono::steady_clock;

double now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

const char kLine[] = "get CtlAuthMode\n";
const char kReply[] = "200 ok\r\nCtlAuthMode=chap\r\n\r\n\r\n";

// The peer: accepts one connection, answers each line with kReply, after thinkUs.
pid_t startPeer(int cpu, std::uint16_t& port, int thinkUs) {
    const int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(ls, 1);
    socklen_t len = sizeof a;
    getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    const pid_t pid = fork();
    if (pid == 0) {
        pinCurrentThread(cpu);
        alarm(900);
#if defined(PR_SET_TIMERSLACK)
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // a think time of 200 us, not 250
#endif
        const int c = accept(ls, nullptr, nullptr);
        const int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buf[4096];
        while (true) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                _exit(0);
            if (thinkUs > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(thinkUs));
            if (send(c, kReply, sizeof kReply - 1, 0) < 0)
                _exit(0);
        }
    }
    close(ls);
    return pid;
}

int connectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return -1;
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// One blocking round trip on the calling thread.
bool roundTrip(int fd) {
    if (send(fd, kLine, sizeof kLine - 1, MSG_NOSIGNAL) != sizeof kLine - 1)
        return false;
    char buf[256];
    std::size_t got = 0;
    while (got < sizeof kReply - 1) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// An auto-reset event like the library's, with an optional bounded spin
// (checking the flag and yielding the CPU) before it blocks.
class Event {
  public:
    explicit Event(int spinUs) : spinUs_(spinUs) {}
    void set() {
        if (spinUs_ > 0) {
            flag_.store(true, std::memory_order_seq_cst);
            if (sleepers_.load(std::memory_order_seq_cst) == 0)
                return; // the waiter is spinning and will see the flag
        }
        {
            std::lock_guard<std::mutex> g(m_);
            flag_.store(true, std::memory_order_release);
        }
        cv_.notify_one();
    }
    void wait() {
        if (spinUs_ > 0) {
            const auto end = Clock::now() + std::chrono::microseconds(spinUs_);
            do {
                if (flag_.exchange(false, std::memory_order_acquire))
                    return;
                sched_yield();
            } while (Clock::now() < end);
        }
        std::unique_lock<std::mutex> g(m_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        cv_.wait(g, [&] { return flag_.load(std::memory_order_seq_cst); });
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        flag_.store(false, std::memory_order_relaxed);
    }

  private:
    int spinUs_;
    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<bool> flag_{false};
    std::atomic<int> sleepers_{0};
};

struct Handoff {
    Handoff(int fd, int callerSpin, int workerSpin)
        : fd(fd), work(workerSpin), done(callerSpin), worker([this] { run(); }) {}
    ~Handoff() {
        stop = true;
        work.set();
        worker.join();
    }
    bool request() {
        work.set();
        done.wait();
        return ok;
    }
    void run() {
        while (true) {
            work.wait();
            if (stop)
                return;
            ok = roundTrip(fd);
            done.set();
        }
    }
    int fd;
    Event work, done;
    std::atomic<bool> stop{false};
    bool ok = false;
    std::thread worker;
};

struct Variant {
    std::string name;
    int callerSpin; // -1: no hand-off at all (the raw client)
    int workerSpin;
};

} // namespace

int main(int argc, char** argv) {
    int rounds = 5, requests = 4000, spin = 50, think = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (a == "--requests")
            requests = std::atoi(argv[i + 1]);
        else if (a == "--spin-us")
            spin = std::atoi(argv[i + 1]);
        else if (a == "--think-us")
            think = std::atoi(argv[i + 1]);
    }
    alarm(900);
    const std::vector<Variant> variants = {{"raw client", -1, -1},
                                           {"hand-off, blocking", 0, 0},
                                           {"hand-off, caller spins", spin, 0},
                                           {"hand-off, worker spins", 0, spin},
                                           {"hand-off, both spin", spin, spin}};
    std::vector<TableRow> table;
    for (const int serverCpu : {0, 1}) {
        pinCurrentThread(0);
        std::uint16_t port = 0;
        const pid_t peer = startPeer(serverCpu, port, think);
        const int fd = connectTo(port);
        if (fd < 0) {
            std::cerr << "no peer\n";
            return 1;
        }
        std::vector<std::vector<double>> rates(variants.size()), p50(variants.size()),
            cpu(variants.size());
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t v = 0; v < variants.size(); ++v) {
                // Rotate the order every round.
                const auto& var = variants[(v + static_cast<std::size_t>(r)) % variants.size()];
                const std::size_t idx = (v + static_cast<std::size_t>(r)) % variants.size();
                std::function<bool()> op;
                std::unique_ptr<Handoff> h;
                if (var.callerSpin < 0) {
                    op = [&] { return roundTrip(fd); };
                } else {
                    h = std::make_unique<Handoff>(fd, var.callerSpin, var.workerSpin);
                    op = [&] { return h->request(); };
                }
                for (int i = 0; i < requests / 10; ++i)
                    op();
                std::vector<double> lat;
                lat.reserve(static_cast<std::size_t>(requests));
                const double c0 = processCpuSeconds();
                const double t0 = now();
                for (int i = 0; i < requests; ++i) {
                    const double t = now();
                    if (!op()) {
                        std::cerr << "round trip failed\n";
                        return 1;
                    }
                    lat.push_back(now() - t);
                }
                const double el = now() - t0;
                rates[idx].push_back(requests / el);
                p50[idx].push_back(percentile(lat, 0.5));
                cpu[idx].push_back((processCpuSeconds() - c0) / requests);
            }
        }
        close(fd);
        kill(peer, SIGTERM);
        waitpid(peer, nullptr, 0);
        for (std::size_t v = 0; v < variants.size(); ++v) {
            std::vector<double> ratio;
            for (std::size_t r = 0; r < rates[v].size(); ++r)
                ratio.push_back(rates[v][r] / rates[0][r]);
            TableRow row;
            row.id = "-";
            row.measure = variants[v].name;
            row.placement = serverCpu == 0 ? "1 CPU" : "2 CPUs";
            row.library = formatNumber(summarize(rates[v]).median, 0) + " req/s, p50 " +
                          formatNumber(summarize(p50[v]).median * 1e6, 1) + " us, CPU " +
                          formatNumber(summarize(cpu[v]).median * 1e6, 1) + " us/req";
            row.ratio = summarize(ratio);
            row.hasRatio = true;
            row.target =
                "spin " + std::to_string(spin) + " us, think " + std::to_string(think) + " us";
            table.push_back(row);
        }
    }
    std::cout << renderTable(table);
    return 0;
}
