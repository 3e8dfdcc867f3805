// Which of a host's addresses to try when: the decisions of a connect over several resolved
// addresses, without any socket or clock (the socket files ask it and do what it says).
//
// Addresses are tried in the resolver's order. The next one starts when every attempt started
// so far has failed, or when the stagger has passed since the last start (the Happy Eyeballs
// idea). The first attempt to connect wins; the others are to be closed. With a limit, the
// whole race ends when it runs out. The report names every address and what became of it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dravolin::net {

// The usual delay before the next address is tried while the previous one is still pending.
constexpr int kConnectStaggerMs = 250;

// The host as the resolver takes it: an IPv6 literal may come in brackets ("[::1]").
std::string hostForResolver(std::string_view host);

// "127.0.0.1:3261", or "[::1]:3261" for an address with a colon in it.
std::string endpointText(std::string_view address, unsigned port);

class ConnectRace {
  public:
    // `endpoints` as endpointText() writes them, in the resolver's order.
    explicit ConnectRace(std::vector<std::string> endpoints, int staggerMs = kConnectStaggerMs);

    struct Step {
        enum class Kind {
            Start,    // start the attempt at `index` now
            Wait,     // wait for the attempts in flight, at most `waitMs` (-1: no limit)
            Won,      // attempt `index` connected: keep it, close the others
            Failed,   // every attempt failed
            TimedOut, // the limit ran out first: close the attempts in flight
        };
        Kind kind = Kind::Wait;
        std::size_t index = 0;
        long long waitMs = -1;
    };
    // What to do `nowMs` after the race began; `limitMs` < 0: no limit.
    Step next(long long nowMs, long long limitMs) const;

    void started(std::size_t index, long long nowMs);
    void failed(std::size_t index, std::string why);
    void won(std::size_t index);
    // The limit ran out: the attempts in flight and those never started say so in report().
    void timedOut();

    std::size_t size() const { return attempts_.size(); }
    const std::string& endpoint(std::size_t index) const { return attempts_[index].endpoint; }
    // Attempts started and not yet ended.
    std::size_t inFlight() const;

    // One "endpoint: outcome" per address, in order.
    std::vector<std::string> outcomes() const;
    // The outcomes joined by "; ": "[::1]:3261: Connection refused; 127.0.0.1:3261: no answer
    // within the time-out".
    std::string report() const;

  private:
    enum class State { Waiting, InFlight, Failed, Won, NoAnswer, NotTried };
    struct Attempt {
        std::string endpoint;
        State state = State::Waiting;
        std::string why;
    };
    std::vector<Attempt> attempts_;
    int staggerMs_;
    std::size_t startedCount_ = 0;
    long long lastStartMs_ = -(1LL << 40); // long ago: the first attempt starts at once
};

} // namespace dravolin::net
