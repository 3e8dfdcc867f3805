#include "fault.h"

#include <algorithm>
#include <charconv>

namespace dravolin::testserver {

namespace {

struct ModeName {
    FaultMode mode;
    std::string_view name;
};

constexpr ModeName kModes[] = {
    {FaultMode::Close, "close"},       {FaultMode::Reset, "reset"},
    {FaultMode::Drip, "drip"},         {FaultMode::LongLine, "longline"},
    {FaultMode::Double, "double"},     {FaultMode::Hang, "hang"},
    {FaultMode::Mute, "mute"},         {FaultMode::Status, "status"},
    {FaultMode::BadProof, "badproof"}, {FaultMode::BadName, "badname"},
    {FaultMode::NoCrypt, "nocrypt"},   {FaultMode::CorruptFrame, "corruptframe"},
    {FaultMode::Frame16, "frame16"},   {FaultMode::Frame40, "frame40"},
    {FaultMode::Split, "split"},       {FaultMode::Coalesce, "coalesce"},
};

template <typename T> bool parseNumber(std::string_view s, T& out) {
    if (s.empty())
        return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

} // namespace

std::optional<FaultMode> faultModeFromName(std::string_view name) {
    for (const auto& m : kModes)
        if (m.name == name)
            return m.mode;
    return std::nullopt;
}

std::string_view faultModeName(FaultMode mode) {
    for (const auto& m : kModes)
        if (m.mode == mode)
            return m.name;
    return "?";
}

std::optional<FaultSpec> parseFaultSpec(std::string_view text, std::string& error) {
    FaultSpec spec;
    bool first = true;
    bool onGiven = false;
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        if (first) {
            auto mode = faultModeFromName(item);
            if (!mode) {
                error = "unknown fault mode '" + std::string(item) + "'";
                return std::nullopt;
            }
            spec.mode = *mode;
            first = false;
        } else {
            std::size_t eq = item.find('=');
            std::string_view key = item.substr(0, eq);
            std::string_view value = eq == std::string_view::npos ? "" : item.substr(eq + 1);
            bool ok = eq != std::string_view::npos;
            if (ok && key == "on") {
                spec.on = std::string(value);
                onGiven = true;
                ok = !value.empty();
            } else if (ok && key == "times") {
                ok = parseNumber(value, spec.times);
            } else if (ok && key == "status") {
                ok = parseNumber(value, spec.status) && spec.status >= 0 && spec.status <= 999;
            } else if (ok && key == "at") {
                std::uint64_t at = 0;
                ok = parseNumber(value, at);
                spec.at = at;
            } else if (ok && key == "size") {
                ok = parseNumber(value, spec.size) && spec.size <= 64 * 1024 * 1024;
                spec.sizeGiven = true;
            } else if (ok && key == "gap") {
                ok = parseNumber(value, spec.gapMs) && spec.gapMs <= 10000;
            } else {
                ok = false;
            }
            if (!ok) {
                error = "bad fault setting '" + std::string(item) + "'";
                return std::nullopt;
            }
        }
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    // The login faults only mean something on one step of the exchange.
    if (!onGiven && (spec.mode == FaultMode::BadProof || spec.mode == FaultMode::BadName))
        spec.on = "auth check";
    if (!onGiven && spec.mode == FaultMode::NoCrypt)
        spec.on = "auth start";
    if (spec.mode == FaultMode::Split && spec.sizeGiven && spec.size == 0) {
        error = "split needs a piece size of at least 1";
        return std::nullopt;
    }
    return spec;
}

bool faultApplies(const FaultSpec& spec, std::string_view key) {
    if (spec.on == "*")
        return key != "greeting";
    if (spec.on == key)
        return true;
    // "auth" covers "auth start", "auth check" and "auth ok".
    return key.size() > spec.on.size() && key.substr(0, spec.on.size()) == spec.on &&
           key[spec.on.size()] == ' ';
}

std::optional<FaultSpec> FaultQueue::take(std::string_view key) {
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        if (!faultApplies(*it, key))
            continue;
        FaultSpec spec = *it;
        if (it->times != 0 && --it->times == 0)
            armed_.erase(it);
        return spec;
    }
    return std::nullopt;
}

SendPlan planSend(std::uint64_t total, const std::optional<FaultSpec>& fault,
                  std::size_t frameText) {
    SendPlan plan;
    plan.sendBytes = total;
    plan.chunk = frameText ? frameText : kPlainChunk;
    if (!fault)
        return plan;
    switch (fault->mode) {
    case FaultMode::Close:
    case FaultMode::Reset:
        plan.sendBytes = std::min<std::uint64_t>(fault->at.value_or(total / 2), total);
        plan.after = fault->mode == FaultMode::Close ? AfterReply::Close : AfterReply::Reset;
        break;
    case FaultMode::Drip:
        plan.dripBytes = std::min(total, kMaxDripBytes);
        plan.dripGapMs = fault->gapMs;
        break;
    case FaultMode::Double:
        plan.appendExtraReply = true;
        break;
    case FaultMode::Hang:
        // Everything but the final CR LF: the reply never ends.
        plan.sendBytes = total >= 2 ? total - 2 : 0;
        plan.after = AfterReply::Hang;
        break;
    case FaultMode::Mute:
        plan.sendBytes = 0;
        plan.after = AfterReply::Hang;
        break;
    case FaultMode::CorruptFrame:
        plan.corruptFirstFrame = frameText != 0;
        break;
    case FaultMode::Frame16:
    case FaultMode::Frame40:
        if (frameText != 0) {
            plan.junkFrame = fault->mode == FaultMode::Frame16 ? 16 : 40;
            plan.sendBytes = 0;
        }
        break;
    case FaultMode::Split:
        plan.splitPiece = fault->sizeGiven ? fault->size : kDefaultSplitPiece;
        plan.splitGapMs = fault->gapMs;
        break;
    case FaultMode::Coalesce:
        plan.coalesce = true;
        break;
    default:
        // The others change the reply's content, not its sending.
        break;
    }
    return plan;
}

std::string extraReplyText() {
    return "200 unsolicited\r\nExtra=\"1\"\r\n\r\n\r\n";
}

} // namespace dravolin::testserver
