// The connect of every system: the race over a host's addresses (connect_race.h), carried out
// with the primitives of socket_os.h. Its outcome is told at once, as open()'s result.
#include "socket.h"

#include "connect_race.h"
#include "socket_os.h"
#include "system_error.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace dravolin::net {

namespace {

// While attempts are in flight, the interrupt mark is looked at between slices of this length
// (a shutdown does not wake a wait on a socket that is still connecting everywhere).
constexpr int kSliceMs = 50;

// One socket of an attempt; closed unless taken.
struct Attempt {
    sys::Handle handle = sys::kNoHandle;
    std::size_t index = 0;
    Attempt(sys::Handle h, std::size_t i) : handle(h), index(i) {}
    Attempt(Attempt&& other) noexcept
        : handle(std::exchange(other.handle, sys::kNoHandle)), index(other.index) {}
    Attempt& operator=(Attempt&& other) noexcept {
        std::swap(handle, other.handle);
        index = other.index;
        return *this;
    }
    ~Attempt() {
        if (handle != sys::kNoHandle) {
            sys::closeHandle(handle);
        }
    }
};

class Clock {
  public:
    long long elapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - begin_)
            .count();
    }

  private:
    std::chrono::steady_clock::time_point begin_ = std::chrono::steady_clock::now();
};

// Waits one slice for the attempts in flight and tells the race what became of them; 0, or
// the error code of the wait itself.
int waitForAttempts(ConnectRace& race, std::vector<Attempt>& flying, long long waitMs,
                    int& lastError) {
    std::vector<sys::Handle> handles;
    for (const Attempt& attempt : flying) {
        handles.push_back(attempt.handle);
    }
    std::vector<int> outcomes(handles.size(), -1);
    const int slice =
        static_cast<int>(waitMs < 0 ? kSliceMs : std::min<long long>(waitMs, kSliceMs));
    if (const int error = sys::waitConnects(handles, slice, outcomes); error != 0) {
        return error;
    }
    for (std::size_t i = flying.size(); i-- > 0;) {
        if (outcomes[i] < 0) {
            continue;
        }
        if (outcomes[i] == 0) {
            race.won(flying[i].index);
            break;
        }
        race.failed(flying[i].index, systemErrorText(static_cast<std::uint32_t>(outcomes[i])));
        lastError = outcomes[i];
        flying.erase(flying.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return 0;
}

sys::Handle take(std::vector<Attempt>& flying, std::size_t index) {
    auto winner = std::find_if(flying.begin(), flying.end(),
                               [&](const Attempt& a) { return a.index == index; });
    return std::exchange(winner->handle, sys::kNoHandle);
}

} // namespace

bool Socket::isInterrupted() const {
    std::lock_guard guard(lock_);
    return interrupted_;
}

int Socket::open(const std::string& host, std::uint16_t port, int timeoutMs,
                 const KeepAlive& keepAlive) {
    close();
    report_.clear();
    attempts_.clear();
    if (isInterrupted()) {
        return sys::interruptedError();
    }
    std::vector<sys::Address> addresses;
    std::vector<std::string> endpoints;
    if (sys::resolve(hostForResolver(host), port, addresses, endpoints, report_) != 0) {
        return kHostNotFound;
    }
    ConnectRace connectRace(std::move(endpoints));
    const int result = race(connectRace, addresses, timeoutMs, keepAlive);
    attempts_ = connectRace.outcomes();
    report_ = connectRace.report();
    return result;
}

// Runs the race to its end: 0 with the winner kept, or the failure's code.
int Socket::race(ConnectRace& race, const std::vector<sys::Address>& addresses, int timeoutMs,
                 const KeepAlive& keepAlive) {
    std::vector<Attempt> flying; // the others are closed when the race ends
    const Clock clock;
    int lastError = sys::refusedError();
    for (;;) {
        const ConnectRace::Step step = race.next(clock.elapsedMs(), timeoutMs);
        switch (step.kind) {
        case ConnectRace::Step::Kind::Start: {
            sys::Handle handle = sys::kNoHandle;
            if (const int error = sys::startConnect(addresses[step.index], handle); error != 0) {
                race.failed(step.index, systemErrorText(static_cast<std::uint32_t>(error)));
                lastError = error;
            } else {
                race.started(step.index, clock.elapsedMs());
                flying.emplace_back(handle, step.index);
            }
            continue;
        }
        case ConnectRace::Step::Kind::Won:
            return keepWinner(take(flying, step.index), keepAlive);
        case ConnectRace::Step::Kind::Failed:
            return lastError;
        case ConnectRace::Step::Kind::TimedOut:
            race.timedOut();
            return timedOutError();
        case ConnectRace::Step::Kind::Wait:
            break;
        }
        if (isInterrupted()) {
            return sys::interruptedError();
        }
        if (const int error = waitForAttempts(race, flying, step.waitMs, lastError); error != 0) {
            return error;
        }
    }
}

int Socket::keepWinner(std::intptr_t handle, const KeepAlive& keepAlive) {
    sys::finishConnect(handle, keepAlive);
    std::lock_guard guard(lock_);
    if (interrupted_) {
        sys::closeHandle(handle);
        return sys::interruptedError();
    }
    handle_ = handle;
    return 0;
}

} // namespace dravolin::net
