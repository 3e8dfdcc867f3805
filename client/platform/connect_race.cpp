#include "connect_race.h"

#include <algorithm>

namespace dravolin::net {

namespace {
constexpr long long kLongAgo = -(1LL << 40);
}

std::string hostForResolver(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return std::string(host);
}

std::string endpointText(std::string_view address, unsigned port) {
    const std::string portText = std::to_string(port);
    if (address.find(':') != std::string_view::npos) {
        return "[" + std::string(address) + "]:" + portText;
    }
    return std::string(address) + ":" + portText;
}

ConnectRace::ConnectRace(std::vector<std::string> endpoints, int staggerMs)
    : staggerMs_(std::max(0, staggerMs)) {
    attempts_.reserve(endpoints.size());
    for (std::string& endpoint : endpoints) {
        attempts_.push_back({std::move(endpoint), State::Waiting, {}});
    }
}

std::size_t ConnectRace::inFlight() const {
    return static_cast<std::size_t>(
        std::count_if(attempts_.begin(), attempts_.end(),
                      [](const Attempt& a) { return a.state == State::InFlight; }));
}

ConnectRace::Step ConnectRace::next(long long nowMs, long long limitMs) const {
    Step step;
    for (std::size_t i = 0; i < attempts_.size(); ++i) {
        if (attempts_[i].state == State::Won) {
            step.kind = Step::Kind::Won;
            step.index = i;
            return step;
        }
    }
    const std::size_t flying = inFlight();
    const bool more = startedCount_ < attempts_.size();
    if (!more && flying == 0) {
        step.kind = Step::Kind::Failed;
        return step;
    }
    if (limitMs >= 0 && nowMs >= limitMs) {
        step.kind = Step::Kind::TimedOut;
        return step;
    }
    if (more && (flying == 0 || nowMs >= lastStartMs_ + staggerMs_)) {
        step.kind = Step::Kind::Start;
        step.index = startedCount_;
        return step;
    }
    step.kind = Step::Kind::Wait;
    step.waitMs = more ? lastStartMs_ + staggerMs_ - nowMs : -1;
    if (limitMs >= 0) {
        const long long left = limitMs - nowMs;
        step.waitMs = step.waitMs < 0 ? left : std::min(step.waitMs, left);
    }
    return step;
}

void ConnectRace::started(std::size_t index, long long nowMs) {
    if (index < attempts_.size() && attempts_[index].state == State::Waiting) {
        attempts_[index].state = State::InFlight;
        startedCount_ = std::max(startedCount_, index + 1);
        lastStartMs_ = nowMs;
    }
}

void ConnectRace::failed(std::size_t index, std::string why) {
    if (index < attempts_.size()) {
        if (attempts_[index].state == State::Waiting) {
            startedCount_ = std::max(startedCount_, index + 1); // failed before it could start
        }
        if (index + 1 == startedCount_) {
            lastStartMs_ = kLongAgo; // the latest attempt failed: the next one need not wait
        }
        attempts_[index].state = State::Failed;
        attempts_[index].why = std::move(why);
    }
}

void ConnectRace::won(std::size_t index) {
    if (index < attempts_.size()) {
        attempts_[index].state = State::Won;
    }
}

void ConnectRace::timedOut() {
    for (Attempt& attempt : attempts_) {
        if (attempt.state == State::InFlight) {
            attempt.state = State::NoAnswer;
        } else if (attempt.state == State::Waiting) {
            attempt.state = State::NotTried;
        }
    }
}

std::vector<std::string> ConnectRace::outcomes() const {
    std::vector<std::string> lines;
    lines.reserve(attempts_.size());
    for (const Attempt& attempt : attempts_) {
        std::string text = attempt.endpoint + ": ";
        switch (attempt.state) {
        case State::Failed:
            text += attempt.why;
            break;
        case State::Won:
            text += "connected";
            break;
        case State::NoAnswer:
            text += "no answer within the time-out";
            break;
        case State::InFlight:
            text += "pending";
            break;
        case State::Waiting:
        case State::NotTried:
            text += "not tried before the time-out";
            break;
        }
        lines.push_back(std::move(text));
    }
    return lines;
}

std::string ConnectRace::report() const {
    std::string text;
    for (const std::string& line : outcomes()) {
        if (!text.empty()) {
            text += "; ";
        }
        text += line;
    }
    return text;
}

} // namespace dravolin::net
