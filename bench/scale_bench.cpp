// Connections per process: opens connections to the stand-in server one after the other
// until --count are open or one fails, runs one synchronous "get" on each, and reports how
// far it got, why it stopped, and the resident memory per idle connection. Built natively
// and for Win32 (run under Wine); bench/scale.sh runs both.
//
//   dravolin_scale_bench --port P [--count N] [--seconds S] [--stall-seconds S]
//
// A watchdog ends the program (exit code 3) when nothing has moved for --stall-seconds
// (a Connect or a request that never returns), and (exit code 4) after --seconds in all.
#include "DravolinClient.h"
#include "scale_os.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int port = 0;
    int count = 1500;
    int seconds = 600;
    int stallSeconds = 60;
};

// What the watchdog looks at: the step in progress and when anything last moved.
std::atomic<long long> lastMove{0};
std::atomic<int> opened{0};
std::atomic<const char*> phase{"starting"};

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

void moved() {
    lastMove = nowMs();
}

void watch(Options options) {
    const long long start = nowMs();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long long now = nowMs();
        if (now - lastMove.load() > options.stallSeconds * 1000LL) {
            std::printf("STALLED: nothing moved for %d s while %s, %d connections open\n",
                        options.stallSeconds, phase.load(), opened.load());
            std::fflush(stdout);
            std::_Exit(3);
        }
        if (now - start > options.seconds * 1000LL) {
            std::printf("TIME LIMIT: %d s passed while %s, %d connections open\n", options.seconds,
                        phase.load(), opened.load());
            std::fflush(stdout);
            std::_Exit(4);
        }
    }
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--port") == 0) {
            options.port = value;
        } else if (std::strcmp(argv[i], "--count") == 0) {
            options.count = value;
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            options.seconds = value;
        } else if (std::strcmp(argv[i], "--stall-seconds") == 0) {
            options.stallSeconds = value;
        } else {
            return false;
        }
    }
    return options.port > 0 && options.count > 0 && argc % 2 == 1;
}

std::string lastFailure(std::uint32_t handle) {
    int status = 0;
    int reason = 0;
    char text[DRAVOLIN_MAX_REASON] = {};
    if (DravolinClient_GetLastFailure(handle, &status, &reason, text, sizeof text) != 0) {
        return "(no handle to ask)";
    }
    return "status " + std::to_string(status) + ", reason " + std::to_string(reason) + ": " + text;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: dravolin_scale_bench --port P [--count N] [--seconds S] "
                             "[--stall-seconds S]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::int64_t descriptors = scale::raiseDescriptorLimit();
    moved();
    std::thread(watch, options).detach();

    const std::int64_t before = scale::residentKiB();
    if (DravolinClient_Init() != DRAVOLIN_OK) {
        std::printf("Init failed\n");
        return 1;
    }
    std::printf("target %d connections to 127.0.0.1 service port %d; descriptor limit %lld\n",
                options.count, options.port, static_cast<long long>(descriptors));

    // Memory per connection is taken between the first kBase connections and the last, so
    // that what the first connection sets up once (the library, the first sockets) is left out.
    constexpr int kBase = 100;
    std::int64_t atBase = -1;
    std::vector<std::uint32_t> handles;
    handles.reserve(static_cast<std::size_t>(options.count));
    phase = "connecting";
    const auto connectStart = Clock::now();
    std::string stop = "target reached";
    for (int i = 0; i < options.count; ++i) {
        std::uint32_t handle = 0;
        const int rc = DravolinClient_ConnectWithTimeouts("127.0.0.1", options.port, 30000, 30000,
                                                          &handle, nullptr, nullptr);
        moved();
        if (rc != DRAVOLIN_OK) {
            stop = "Connect " + std::to_string(i + 1) + " returned " + std::to_string(rc) + ", " +
                   lastFailure(handle);
            break;
        }
        handles.push_back(handle);
        opened = static_cast<int>(handles.size());
        if (handles.size() == kBase) {
            atBase = scale::residentKiB();
        }
        if (handles.size() % 1000 == 0) {
            std::printf("  %zu open after %.1f s\n", handles.size(), secondsSince(connectStart));
        }
    }
    const double connectSeconds = secondsSince(connectStart);
    std::printf("connections open: %zu of %d in %.1f s (%s)\n", handles.size(), options.count,
                connectSeconds, stop.c_str());

    // Idle: the workers have gone to sleep on their waits.
    phase = "idle";
    std::this_thread::sleep_for(std::chrono::seconds(2));
    moved();
    const std::int64_t idle = scale::residentKiB();
    const auto count = static_cast<std::int64_t>(handles.size());
    std::printf("resident: %lld KiB before Init, %lld KiB with %lld idle connections\n",
                static_cast<long long>(before), static_cast<long long>(idle),
                static_cast<long long>(count));
    if (atBase >= 0 && count > kBase) {
        std::printf("resident per idle connection: %.1f KiB (connections %d to %lld)\n",
                    static_cast<double>(idle - atBase) / static_cast<double>(count - kBase),
                    kBase + 1, static_cast<long long>(count));
    }

    phase = "requesting";
    int succeeded = 0;
    const auto requestStart = Clock::now();
    for (const std::uint32_t handle : handles) {
        Response* response = nullptr;
        if (DravolinClient_SendRequest(handle, DRAVOLIN_REQUEST_GET_PARAMETER, "CtlAuthMode",
                                       &response, nullptr, nullptr) == DRAVOLIN_OK) {
            ++succeeded;
        }
        DravolinClient_ResponseFree(response);
        moved();
    }
    std::printf("requests: %d of %lld succeeded in %.1f s\n", succeeded,
                static_cast<long long>(count), secondsSince(requestStart));

    phase = "freeing";
    const auto freeStart = Clock::now();
    DravolinClient_Free();
    moved();
    std::printf("DravolinClient_Free: %.2f s\n", secondsSince(freeStart));
    const bool reached = static_cast<int>(count) == options.count && succeeded == count;
    std::printf("%s\n", reached ? "RESULT: target met" : "RESULT: target missed");
    return reached ? 0 : 1;
}
