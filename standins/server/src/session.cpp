#include "session.h"

#include <charconv>

namespace dravolin::testserver {

namespace {

bool parseU64(const std::string& s, std::uint64_t& out) {
    if (s.empty())
        return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

// A named value from -name:"value", or else the n-th plain word.
std::string pick(const Command& cmd, std::initializer_list<const char*> names, std::size_t word) {
    for (const char* n : names)
        if (const std::string* v = cmd.option(n))
            return *v;
    return word < cmd.words.size() ? cmd.words[word] : std::string();
}

bool validAccess(const std::string& a) {
    return a == "r" || a == "w" || a == "rw" || a == "none";
}

// The key a fault's "on" is matched against.
std::string faultKey(const Command& cmd) {
    if (cmd.word == "auth" && !cmd.words.empty())
        return "auth " + cmd.words[0];
    return cmd.word;
}

bool needsLogin(const Command& cmd) {
    if (cmd.word == "login" || cmd.word == "logoff" || cmd.word == "auth")
        return false;
    // Clients ask for the login method before they log in.
    if (cmd.word == "get" && !cmd.words.empty() && cmd.words[0] == "CtlAuthMode")
        return false;
    return true;
}

} // namespace

bool isTestControl(const Command& cmd) {
    return cmd.word == "control" &&
           (cmd.option("fault") || cmd.option("clear") || cmd.option("logsize") ||
            cmd.option("logname") || cmd.option("delay"));
}

Session::Session(const ServerConfig& config, ServerState& state, std::uint64_t connectionIndex,
                 RandomFill random)
    : config_(config), state_(state), chap_(config, std::move(random)) {
    std::uint64_t seed = config.seedGiven ? config.seed : std::random_device{}();
    rng_.seed(seed ^ (connectionIndex * 0x9E3779B97F4A7C15ull));
    for (const auto& f : config.faults)
        faults_.arm(f);
}

std::optional<FaultSpec> Session::nextFault(const std::string& key) {
    if (auto f = faults_.take(key))
        return f;
    if (config_.randomFaultRate <= 0.0 || config_.randomModes.empty())
        return std::nullopt;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng_) >= config_.randomFaultRate)
        return std::nullopt;
    FaultSpec spec;
    spec.mode = config_.randomModes[std::uniform_int_distribution<std::size_t>(
        0, config_.randomModes.size() - 1)(rng_)];
    spec.on = key;
    spec.status = std::uniform_int_distribution<int>(100, 105)(rng_);
    return spec;
}

Outgoing Session::finish(Answer answer, std::optional<FaultSpec> fault, std::string what) {
    Outgoing out;
    if (fault && fault->mode == FaultMode::LongLine)
        answer.reply.records.insert(answer.reply.records.begin(),
                                    {"Filler", std::string(fault->size, 'x')});
    if (fault)
        state_.faultsInjected++;
    out.head = formatHead(answer.reply);
    out.tail = formatTail(answer.reply);
    out.body = std::move(answer.body);
    out.closeAfter = answer.close;
    out.stopServer = answer.stopServer;
    out.channel = answer.channel;
    out.fault = std::move(fault);
    out.what = std::move(what);
    out.status = answer.reply.status;
    out.delayUs = replyDelayUs_.value_or(config_.replyDelayUs);
    return out;
}

Outgoing Session::greeting() {
    Answer a;
    a.reply = Reply(status::Ok, "management service ready");
    a.reply.add("Service", "dravolin-testserver").add("Version", "1.0");
    a.reply.add("CtlAuthMode", config_.authMode);
    auto fault = nextFault("greeting");
    if (fault && fault->mode == FaultMode::Status)
        a.reply = Reply(fault->status, "refused");
    return finish(std::move(a), fault, "greeting");
}

Outgoing Session::handle(std::string_view line) {
    Command cmd = parseCommand(line);
    if (cmd.word.empty()) {
        Outgoing out;
        out.silent = true;
        return out;
    }
    state_.commands++;
    const std::string key = faultKey(cmd);
    // Steering commands are never themselves hit by a fault.
    std::optional<FaultSpec> fault = isTestControl(cmd) ? std::nullopt : nextFault(key);
    if (fault && fault->mode == FaultMode::Status) {
        Answer a;
        a.reply = Reply(fault->status, "refused");
        return finish(std::move(a), fault, key);
    }
    Answer a = dispatch(cmd, key, fault);
    if (a.channel) {
        // The key never changes once the channel is on.
        if (encrypted_)
            a.channel.reset();
        else
            encrypted_ = true;
    }
    Outgoing out = finish(std::move(a), fault, key);
    if (isTestControl(cmd))
        out.delayUs = 0; // steering lines answer at once
    return out;
}

Session::Answer Session::dispatch(const Command& cmd, const std::string& key,
                                  const std::optional<FaultSpec>& fault) {
    if (isTestControl(cmd))
        return testControl(cmd);
    if (!loggedIn_ && !config_.open && needsLogin(cmd)) {
        Answer a;
        a.reply = Reply(status::NotAllowed, "login required");
        return a;
    }
    const std::string& w = cmd.word;
    if (w == "login")
        return login(cmd);
    if (w == "logoff") {
        loggedIn_ = false;
        user_.clear();
        chap_.reset();
        Answer a;
        a.reply = Reply(status::Ok, "logged off");
        return a;
    }
    if (w == "auth") {
        ChapServer::Outcome o;
        if (key == "auth start")
            o = chap_.start(fault);
        else if (key == "auth check")
            o = chap_.check(cmd, fault);
        else if (key == "auth ok")
            o = chap_.confirm(cmd);
        else
            o.reply = Reply(status::BadCommand, "unknown auth step");
        Answer a;
        a.reply = std::move(o.reply);
        if (o.loggedIn) {
            loggedIn_ = true;
            user_ = o.user;
            a.reply.add("User", user_);
        }
        a.channel = o.channel;
        return a;
    }
    if (w == "list")
        return list(cmd);
    if (w == "add")
        return add(cmd);
    if (w == "remove")
        return remove(cmd);
    if (w == "allow")
        return allow(cmd);
    if (w == "get")
        return get(cmd);
    if (w == "set")
        return set(cmd);
    if (w == "statistics")
        return statistics(cmd);
    if (w == "control")
        return control(cmd);
    if (w == "getlog")
        return getlog();
    if (w == "shutdown") {
        Answer a;
        a.reply = Reply(status::Ok, "shutting down");
        a.close = true;
        a.stopServer = config_.exitOnShutdown;
        return a;
    }
    Answer a;
    a.reply = Reply(status::BadCommand, "unknown command");
    return a;
}

Session::Answer Session::login(const Command& cmd) {
    // "login", then the name and the password, each after one blank; the
    // password is the rest of the line, blanks included.
    std::string name, password;
    const std::string& rest = cmd.rest;
    std::size_t blank = rest.find(' ');
    name = rest.substr(0, blank);
    if (blank != std::string::npos)
        password = rest.substr(blank + 1);
    Answer a;
    for (const auto& u : config_.users) {
        // An empty name leaves the password alone on the line, where it
        // reads as a name: "login pw" also matches the user "" with "pw".
        bool match = (u.name == name && u.secret == password) ||
                     (u.name.empty() && blank == std::string::npos && u.secret == name);
        if (match) {
            name = u.name;
            loggedIn_ = true;
            user_ = name;
            a.reply = Reply(status::Ok, "logged in");
            a.reply.add("User", name);
            return a;
        }
    }
    loggedIn_ = false;
    user_.clear();
    a.reply = Reply(status::AuthFailed, "login refused");
    return a;
}

Session::Answer Session::list(const Command& cmd) {
    Answer a;
    const std::string* what = cmd.option("what");
    if (!what) {
        a.reply = Reply(status::BadCommand, "list needs -what");
        return a;
    }
    if (*what == "devices") {
        // A bare number after the option is the detail level (0: names only).
        std::uint64_t level = 1;
        if (!cmd.words.empty() && !parseU64(cmd.words[0], level)) {
            a.reply = Reply(status::BadCommand, "bad detail level");
            return a;
        }
        const std::string* only = cmd.option("device");
        std::vector<Device> devices;
        for (auto& d : state_.devices())
            if (!only || d.name == *only)
                devices.push_back(d);
        a.reply = Reply(status::Ok, "devices");
        a.reply.add("Count", std::to_string(devices.size()));
        for (const auto& d : devices) {
            a.reply.add("Device", d.name);
            if (level > 0) {
                a.reply.add("Type", d.type);
                a.reply.add("Size", std::to_string(d.size));
                a.reply.add("Status", d.status);
            }
        }
        return a;
    }
    if (*what == "permissions") {
        const std::string* user = cmd.option("user");
        const std::string* device = cmd.option("device");
        std::vector<Permission> perms;
        for (auto& p : state_.permissions())
            if ((!user || p.user == *user) && (!device || p.device == *device))
                perms.push_back(p);
        a.reply = Reply(status::Ok, "permissions");
        a.reply.add("Count", std::to_string(perms.size()));
        for (const auto& p : perms) {
            a.reply.add("User", p.user);
            a.reply.add("Device", p.device);
            a.reply.add("Access", p.access);
        }
        return a;
    }
    a.reply = Reply(status::BadCommand, "unknown list");
    return a;
}

Session::Answer Session::add(const Command& cmd) {
    Answer a;
    Device d;
    d.name = pick(cmd, {"device", "name"}, 0);
    d.type = pick(cmd, {"type"}, 1);
    if (d.type.empty())
        d.type = "file";
    std::string size = pick(cmd, {"size"}, 2);
    if (d.name.empty() || (!size.empty() && !parseU64(size, d.size))) {
        a.reply = Reply(status::BadCommand, "add needs a device name and a numeric size");
        return a;
    }
    if (!state_.addDevice(d)) {
        a.reply = Reply(status::NotFound, "device exists");
        return a;
    }
    a.reply = Reply(status::Ok, "added");
    a.reply.add("Device", d.name);
    return a;
}

Session::Answer Session::remove(const Command& cmd) {
    Answer a;
    std::string name = pick(cmd, {"device", "name"}, 0);
    if (name.empty()) {
        a.reply = Reply(status::BadCommand, "remove needs a device name");
        return a;
    }
    if (!state_.removeDevice(name)) {
        a.reply = Reply(status::NotFound, "no such device");
        return a;
    }
    a.reply = Reply(status::Ok, "removed");
    a.reply.add("Device", name);
    return a;
}

Session::Answer Session::allow(const Command& cmd) {
    Answer a;
    Permission p;
    p.user = pick(cmd, {"user"}, 0);
    p.device = pick(cmd, {"device"}, 1);
    p.access = pick(cmd, {"access"}, 2);
    if (p.access.empty())
        p.access = "rw";
    if (p.user.empty() || p.device.empty() || !validAccess(p.access)) {
        a.reply = Reply(status::BadCommand, "allow needs a user, a device and r, w, rw or none");
        return a;
    }
    if (!state_.allow(p)) {
        a.reply = Reply(status::NotFound, "no such device");
        return a;
    }
    a.reply = Reply(status::Ok, "allowed");
    a.reply.add("User", p.user).add("Device", p.device).add("Access", p.access);
    return a;
}

Session::Answer Session::get(const Command& cmd) {
    Answer a;
    std::string name = pick(cmd, {"name"}, 0);
    auto p = state_.parameter(name);
    if (!p) {
        a.reply = Reply(status::NotFound, "no such parameter");
        return a;
    }
    // The value is the second record: clients read it by position.
    a.reply = Reply(status::Ok, "parameter");
    a.reply.add("Parameter", p->name).add("Value", p->value);
    return a;
}

Session::Answer Session::set(const Command& cmd) {
    Answer a;
    std::string name, value;
    if (cmd.option("name")) {
        name = *cmd.option("name");
        value = cmd.option("value") ? *cmd.option("value") : std::string();
    } else if (!cmd.words.empty()) {
        // "set Name=Value" or "set Name Value"
        std::size_t eq = cmd.words[0].find('=');
        if (eq != std::string::npos) {
            name = cmd.words[0].substr(0, eq);
            value = cmd.words[0].substr(eq + 1);
        } else {
            name = cmd.words[0];
            std::size_t at = cmd.rest.find(name) + name.size();
            while (at < cmd.rest.size() && cmd.rest[at] == ' ')
                ++at;
            value = cmd.rest.substr(at);
        }
    }
    if (name.empty()) {
        a.reply = Reply(status::BadCommand, "set needs a parameter name");
        return a;
    }
    switch (state_.setParameter(name, value)) {
    case ServerState::SetResult::Unknown:
        a.reply = Reply(status::NotFound, "no such parameter");
        return a;
    case ServerState::SetResult::ReadOnly:
        a.reply = Reply(status::NotAllowed, "parameter is read-only");
        return a;
    case ServerState::SetResult::Ok:
        break;
    }
    a.reply = Reply(status::Ok, "parameter set");
    a.reply.add("Parameter", name).add("Value", value);
    return a;
}

Session::Answer Session::statistics(const Command& cmd) {
    Answer a;
    std::string what = pick(cmd, {"device"}, 0);
    if (what.empty() || what == "(null)" || what == "all" || what == "service") {
        a.reply = Reply(status::Ok, "statistics");
        a.reply.add("Connections", std::to_string(state_.connectionsTotal.load()));
        a.reply.add("ActiveConnections", std::to_string(state_.connectionsActive.load()));
        a.reply.add("Commands", std::to_string(state_.commands.load()));
        a.reply.add("BytesSent", std::to_string(state_.bytesSent.load()));
        a.reply.add("BytesReceived", std::to_string(state_.bytesReceived.load()));
        a.reply.add("Devices", std::to_string(state_.devices().size()));
        a.reply.add("FaultsInjected", std::to_string(state_.faultsInjected.load()));
        return a;
    }
    auto d = state_.device(what);
    if (!d) {
        a.reply = Reply(status::NotFound, "no such device");
        return a;
    }
    a.reply = Reply(status::Ok, "statistics");
    a.reply.add("Device", d->name);
    a.reply.add("Status", d->status);
    a.reply.add("ReadBytes", std::to_string(d->size / 4));
    a.reply.add("WrittenBytes", std::to_string(d->size / 16));
    return a;
}

Session::Answer Session::control(const Command& cmd) {
    Answer a;
    std::string action = pick(cmd, {"action"}, 0);
    static const char* const kActions[] = {"ping", "rescan", "flush", "reload"};
    for (const char* known : kActions) {
        if (action == known) {
            a.reply = Reply(status::Ok, "done");
            a.reply.add("Action", action).add("Result", action == "ping" ? "pong" : "done");
            return a;
        }
    }
    a.reply = Reply(action.empty() ? status::BadCommand : status::NotFound, "unknown action");
    return a;
}

Session::Answer Session::testControl(const Command& cmd) {
    Answer a;
    a.reply = Reply(status::Ok, "test settings");
    if (cmd.option("clear")) {
        faults_.clear();
        logSize_.reset();
        logName_.reset();
        replyDelayUs_.reset();
        a.reply.add("Cleared", *cmd.option("clear"));
    }
    if (const std::string* delay = cmd.option("delay")) {
        std::uint64_t us = 0;
        if (!parseU64(*delay, us) || us > kMaxReplyDelayUs) {
            a.reply = Reply(status::BadCommand, "bad delay");
            return a;
        }
        replyDelayUs_ = static_cast<unsigned>(us);
        a.reply.add("ReplyDelay", std::to_string(us));
    }
    if (const std::string* size = cmd.option("logsize")) {
        std::uint64_t n = 0;
        if (!parseU64(*size, n)) {
            a.reply = Reply(status::BadCommand, "bad logsize");
            return a;
        }
        logSize_ = n;
        a.reply.add("LogSize", std::to_string(GeneratedLog::effectiveSize(n)));
    }
    if (const std::string* name = cmd.option("logname")) {
        logName_ = *name;
        a.reply.add("LogFilename", *name);
    }
    if (const std::string* mode = cmd.option("fault")) {
        std::string spec = *mode;
        for (const char* key : {"on", "times", "status", "at", "size", "gap"})
            if (const std::string* v = cmd.option(key))
                spec += std::string(",") + key + "=" + *v;
        std::string error;
        auto parsed = parseFaultSpec(spec, error);
        if (!parsed) {
            a.reply = Reply(status::BadCommand, error);
            return a;
        }
        faults_.arm(*parsed);
        a.reply.add("Fault", std::string(faultModeName(parsed->mode)));
        a.reply.add("On", parsed->on);
        a.reply.add("Times", std::to_string(parsed->times));
    }
    return a;
}

Session::Answer Session::getlog() {
    Answer a;
    std::unique_ptr<LogBody> body;
    // A per-connection size asks for a generated log even when a file is set.
    if (!config_.logFile.empty() && !logSize_) {
        body = FileLog::open(config_.logFile);
        if (!body) {
            a.reply = Reply(status::ServerFailure, "log file unreadable");
            return a;
        }
    } else {
        body = std::make_unique<GeneratedLog>(logSize_.value_or(config_.logSize));
    }
    a.reply = Reply(status::Ok, "log follows");
    a.reply.add("LogFilename", logName_.value_or(config_.effectiveLogName()));
    a.reply.add("LogSize", std::to_string(body->size()));
    a.body = std::move(body);
    return a;
}

} // namespace dravolin::testserver
