#include "app.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <streambuf>
#include <system_error>

#include "DravolinClient.h"
#include "cli.h"
#include "output.h"

namespace fs = std::filesystem;

namespace dravolinctl {

namespace {

constexpr const char* kProgram = "dravolinctl: ";

// Completions of asynchronous operations. The library's callback carries no context pointer,
// so the one active tracker is published through a global; the callback may run before the
// submitting call has returned its request identifier, hence the lookup by identifier.
class Completions {
  public:
    void complete(std::uint32_t id, int failed) {
        {
            std::lock_guard lock(mutex_);
            done_[id] = failed != 0;
        }
        changed_.notify_all();
    }

    // True when the operation completed within the wait; failed is set then.
    bool waitFor(std::uint32_t id, std::chrono::milliseconds wait, bool& failed) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, wait, [&] { return done_.count(id) != 0; }))
            return false;
        failed = done_[id];
        return true;
    }

    bool waitFor(std::uint32_t id, bool& failed) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return done_.count(id) != 0; });
        failed = done_[id];
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint32_t, bool> done_;
};

std::atomic<Completions*> activeCompletions{nullptr};

void DRAVOLIN_CALL onCompletion(std::uint32_t requestId, int failed, Response*) {
    if (Completions* c = activeCompletions.load())
        c->complete(requestId, failed);
}

// Publishes a tracker for the lifetime of a session.
class CompletionScope {
  public:
    explicit CompletionScope(Completions& c) { activeCompletions.store(&c); }
    ~CompletionScope() { activeCompletions.store(nullptr); }
    CompletionScope(const CompletionScope&) = delete;
    CompletionScope& operator=(const CompletionScope&) = delete;
};

// Standard error shared by the program and the library's trace, which writes from the
// connection's worker thread: every write goes through one lock.
class LockedBuffer : public std::streambuf {
  public:
    explicit LockedBuffer(std::streambuf* target) : target_(target) {}
    void writeLine(const std::string& line) {
        std::lock_guard guard(lock_);
        target_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
        target_->pubsync();
    }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        std::lock_guard guard(lock_);
        return target_->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard guard(lock_);
        return target_->sputn(s, n);
    }
    int sync() override {
        std::lock_guard guard(lock_);
        return target_->pubsync();
    }

  private:
    std::mutex lock_;
    std::streambuf* target_;
};

void DRAVOLIN_CALL traceToStandardError(uint32_t, int direction, const char* line, void* context) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    static_cast<LockedBuffer*>(context)->writeLine(
        formatTraceLine(static_cast<std::int64_t>(now.count()), direction, line));
}

// The library between Init and Free.
class Library {
  public:
    Library() : ok_(DravolinClient_Init() == DRAVOLIN_OK) {}
    ~Library() { DravolinClient_Free(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

// A Response owned by this program.
struct ResponseDeleter {
    void operator()(Response* r) const { DravolinClient_ResponseFree(r); }
};
using ResponsePtr = std::unique_ptr<Response, ResponseDeleter>;

std::vector<Record> readRecords(Response* response) {
    std::vector<Record> records;
    if (!response)
        return records;
    std::vector<char> name(DRAVOLIN_MAX_LINE + 1), value(DRAVOLIN_MAX_LINE + 1);
    DravolinClient_ResponseReset(response);
    while (DravolinClient_ResponseGetNext(response, name.data(), value.data()))
        records.push_back({name.data(), value.data()});
    return records;
}

// How one operation ended, as the library's extension tells it.
struct Outcome {
    bool ok = false;
    int status = 0;
    std::string text; // the status line's text
    int reason = DRAVOLIN_REASON_NONE;
    std::string reasonText; // the client's reason
};

Outcome outcomeOf(Response* response, bool ok) {
    Outcome o;
    o.ok = ok;
    std::vector<char> text(DRAVOLIN_MAX_LINE + 1);
    if (!response ||
        DravolinClient_ResponseGetStatus(response, &o.status, text.data(),
                                         static_cast<unsigned>(text.size())) != DRAVOLIN_OK) {
        // Not completed by any operation: refused before it was sent.
        o.status = 105;
        o.reason = DRAVOLIN_REASON_CONNECTION_LOST;
        o.reasonText = "the command was not accepted by the client library";
        return o;
    }
    o.text = text.data();
    DravolinClient_ResponseGetReason(response, &o.reason, text.data(),
                                     static_cast<unsigned>(text.size()));
    o.reasonText = text.data();
    return o;
}

Outcome lastFailureOf(std::uint32_t connection) {
    Outcome o;
    char text[DRAVOLIN_MAX_REASON];
    if (DravolinClient_GetLastFailure(connection, &o.status, &o.reason, text, sizeof text) !=
        DRAVOLIN_OK) {
        o.status = 105;
        o.reason = DRAVOLIN_REASON_CONNECTION_LOST;
        o.reasonText = "no connection";
        return o;
    }
    (o.reason == DRAVOLIN_REASON_NONE ? o.text : o.reasonText) = text;
    return o;
}

// The exit code that an operation's outcome stands for.
int exitCodeFor(const Outcome& o) {
    if (o.ok)
        return kExitOk;
    if (o.reason == DRAVOLIN_REASON_NONE)
        return kExitRefused; // a status line arrived
    if (o.reason == DRAVOLIN_REASON_LINE_TOO_LONG || o.reason == DRAVOLIN_REASON_ARGUMENT_MISSING)
        return kExitUsage;
    return kExitConnection;
}

// "103 no such parameter" or the client's reason, cut for a message.
std::string describe(const Outcome& o) {
    if (o.reason != DRAVOLIN_REASON_NONE)
        return cutForMessage(o.reasonText);
    if (o.text.empty())
        return "status " + std::to_string(o.status);
    return std::to_string(o.status) + " " + cutForMessage(o.text);
}

std::string endpoint(const Options& o) {
    return o.host + " port " + std::to_string(o.port + 1) + " (service port " +
           std::to_string(o.port) + ")";
}

// Size and modification time of the regular files in a directory.
struct FileStamp {
    std::uintmax_t size = 0;
    fs::file_time_type time{};
};
using DirSnapshot = std::map<std::string, FileStamp>;

DirSnapshot snapshot(const fs::path& dir) {
    DirSnapshot files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (!it->is_regular_file(fileEc))
            continue;
        FileStamp stamp;
        stamp.size = it->file_size(fileEc);
        stamp.time = it->last_write_time(fileEc);
        if (!fileEc)
            files[it->path().filename().string()] = stamp;
    }
    return files;
}

// Bytes of the file that a running transfer is writing: the largest file that is new or has
// changed since the snapshot was taken.
std::uintmax_t growingFileSize(const fs::path& dir, const DirSnapshot& before) {
    std::uintmax_t best = 0;
    for (const auto& [name, stamp] : snapshot(dir)) {
        const auto old = before.find(name);
        const bool changed =
            old == before.end() || old->second.size != stamp.size || old->second.time != stamp.time;
        if (changed)
            best = std::max(best, stamp.size);
    }
    return best;
}

class Session {
  public:
    Session(const Invocation& inv, Console& console, std::ostream& out, std::ostream& err,
            LockedBuffer* trace)
        : o_(inv.options), console_(console), out_(out), err_(err), trace_(trace) {}

    int run(const std::vector<Step>& steps) {
        if (int rc = resolveSecrets(); rc != kExitOk)
            return rc;
        Library library;
        if (!library.ok()) {
            err_ << kProgram << "cannot initialise the client library\n";
            return kExitConnection;
        }
        if (trace_)
            DravolinClient_SetTrace(0, traceToStandardError, trace_);
        CompletionScope scope(completions_);
        const bool batch = o_.batchFile.has_value();
        if (int rc = connectAndLogin(); rc != kExitOk) {
            if (o_.json)
                out_ << formatJson(results_, batch);
            out_.flush();
            return rc;
        }
        int rc = o_.async ? runAsync(steps) : runSync(steps, batch);
        if (o_.json)
            out_ << formatJson(results_, batch);
        out_.flush();
        DravolinClient_Disconnect(connection_, nullptr, nullptr);
        return rc;
    }

  private:
    // Secrets come from the option, the environment, or a prompt on a terminal.
    int resolveSecret(std::optional<std::string>& value, const char* env, const std::string& prompt,
                      const std::string& what, bool required) {
        if (value)
            return kExitOk;
        if (auto fromEnv = console_.environment(env)) {
            value = *fromEnv;
            return kExitOk;
        }
        if (console_.stdinIsTerminal()) {
            value = console_.readSecret(prompt);
            if (value)
                return kExitOk;
        }
        if (!required)
            return kExitOk;
        err_ << kProgram << "no " << what << ": give it on the prompt (a terminal), in $" << env
             << " or with the option\n";
        return kExitUsage;
    }

    int resolveSecrets() {
        if (o_.user) {
            password_ = o_.password;
            if (int rc = resolveSecret(password_, kPasswordEnv, "Password for " + *o_.user + ": ",
                                       "password for '" + cutForMessage(*o_.user, 80) + "'", true))
                return rc;
        }
        if (o_.chapName) {
            secret_ = o_.secret;
            if (int rc =
                    resolveSecret(secret_, kSecretEnv, "CHAP secret for " + *o_.chapName + ": ",
                                  "CHAP secret for '" + *o_.chapName + "'", true))
                return rc;
            if (o_.peerName) {
                peerSecret_ = o_.peerSecret;
                if (int rc = resolveSecret(peerSecret_, kPeerSecretEnv,
                                           "Secret the server must prove as " + *o_.peerName + ": ",
                                           "peer secret for '" + *o_.peerName + "'", true))
                    return rc;
            }
        }
        return kExitOk;
    }

    // Records an operation without a Response (connect, login) for --json.
    void recordSession(const char* what, const Outcome& o) {
        StepResult result;
        result.command = what;
        result.ok = o.ok;
        result.status = o.status;
        result.text = o.text;
        if (o.reason != DRAVOLIN_REASON_NONE)
            result.reason = o.reasonText;
        results_.push_back(std::move(result));
    }

    void verbose(const std::string& line) {
        if (o_.verbose)
            err_ << line << "\n";
    }

    void verboseStatus(const Outcome& o) {
        if (!o_.verbose)
            return;
        if (o.reason != DRAVOLIN_REASON_NONE)
            err_ << "< " << o.status << " (" << cutForMessage(o.reasonText) << ")\n";
        else
            err_ << "< " << o.status << (o.text.empty() ? "" : " ") << cutForMessage(o.text, 1000)
                 << "\n";
    }

    int connectAndLogin() {
        if (int rc = connectToServer(); rc != kExitOk)
            return rc;
        if (!o_.user && !o_.chapName)
            return kExitOk;
        return login();
    }

    // Connects with the options' time limits and keep-alive; a failure is reported and
    // recorded.
    int connectToServer() {
        verbose("> (connect to " + endpoint(o_) + ", wait for the greeting)");
        if (o_.keepAlive) {
            // The default of the connections made from now on, so the connect uses it too.
            DravolinClient_SetKeepAlive(0, o_.keepAlive->idle * 1000, o_.keepAlive->interval * 1000,
                                        o_.keepAlive->count);
        }
        const int connected =
            DravolinClient_ConnectWithTimeouts(o_.host.c_str(), o_.port, o_.connectTimeout * 1000,
                                               o_.timeout * 1000, &connection_, nullptr, nullptr);
        if (connected == DRAVOLIN_OK) {
            verboseStatus(Outcome{true, 200, "", DRAVOLIN_REASON_NONE, ""});
            return kExitOk;
        }
        Outcome o = lastFailureOf(connection_);
        if (connected != DRAVOLIN_FAILED || connection_ == 0) {
            o = Outcome{};
            o.status = 105;
            o.reason = DRAVOLIN_REASON_CONNECT_FAILED;
            o.reasonText = "the client library could not make a connection";
        }
        verboseStatus(o);
        recordSession("connect", o);
        reportConnectFailure(o);
        if (connection_ != 0)
            DravolinClient_Disconnect(connection_, nullptr, nullptr);
        return kExitConnection;
    }

    // One line: an unknown host with the resolver's words, a time-out with each address tried,
    // or the client's reason.
    void reportConnectFailure(const Outcome& o) {
        err_ << kProgram;
        if (o.reason == DRAVOLIN_REASON_HOST_NOT_FOUND) {
            err_ << "unknown host '" << cutForMessage(o_.host, 80) << "'";
            // The resolver's own words follow the quoted name.
            const auto why = o.reasonText.find("': ");
            if (why != std::string::npos)
                err_ << " (" << cutForMessage(o.reasonText.substr(why + 3)) << ")";
            err_ << "\n";
        } else if (o.reason == DRAVOLIN_REASON_TIMED_OUT) {
            err_ << "cannot connect to " << endpoint(o_) << ": timed out after "
                 << o_.connectTimeout << " s (no connection, or no greeting from the server)";
            // Each address tried and what became of it.
            const auto addresses = o.reasonText.find(" ms: ");
            if (addresses != std::string::npos)
                err_ << ": " << cutForMessage(o.reasonText.substr(addresses + 5), 600);
            err_ << "\n";
        } else {
            err_ << "cannot connect to " << endpoint(o_) << ": " << describe(o) << "\n";
        }
    }

    // The login of the options (plain or CHAP); --verbose shows the commands it sends.
    LoginParameters loginParameters() {
        LoginParameters lp{};
        if (o_.user) {
            lp.mode = DRAVOLIN_LOGIN_PLAIN;
            lp.name = o_.user->c_str();
            lp.password = password_ ? password_->c_str() : nullptr;
            verbose("> login" + (o_.user->empty() ? "" : " " + *o_.user) +
                    (password_ && !password_->empty() ? " ********" : ""));
            return lp;
        }
        lp.mode = DRAVOLIN_LOGIN_CHAP;
        lp.name = o_.chapName->c_str();
        lp.password = secret_->c_str();
        if (o_.peerName) {
            lp.peerName = o_.peerName->c_str();
            lp.peerPassword = peerSecret_->c_str();
        }
        lp.encrypt = o_.encrypt ? 1 : 0;
        verbose("> get CtlAuthMode");
        verbose("> auth start");
        verbose("> auth check -CHAP_N:\"" + *o_.chapName + "\"  -CHAP_R:\"********\"" +
                (o_.encrypt ? " -crypt:yes" : "") + (o_.peerName ? " -CHAP_C:\"...\"" : ""));
        if (o_.peerName)
            verbose(std::string("> auth ok") + (o_.encrypt ? " -crypt:yes" : ""));
        return lp;
    }

    // Logs in on the open connection; a failure is reported, recorded and ends the connection.
    int login() {
        const LoginParameters lp = loginParameters();
        if (DravolinClient_Login(connection_, &lp, nullptr, nullptr) == DRAVOLIN_OK) {
            verboseStatus(Outcome{true, 200, "", DRAVOLIN_REASON_NONE, ""});
            return kExitOk;
        }
        const Outcome o = lastFailureOf(connection_);
        verboseStatus(o);
        recordSession("login", o);
        reportLoginFailure(o);
        DravolinClient_Disconnect(connection_, nullptr, nullptr);
        return kExitConnection;
    }

    // One line: refused by the server (a status line came) or failed on the way, and for a
    // refused CHAP login the likely cause.
    void reportLoginFailure(const Outcome& o) {
        err_ << kProgram;
        if (o.reason != DRAVOLIN_REASON_NONE && o.reason != DRAVOLIN_REASON_LOGIN) {
            err_ << (o_.user ? "login as '" + cutForMessage(*o_.user, 80) + "'"
                             : "CHAP login as '" + cutForMessage(*o_.chapName, 80) + "'")
                 << " failed at " << endpoint(o_) << ": " << describe(o) << "\n";
        } else if (o_.user) {
            err_ << "login as '" << cutForMessage(*o_.user, 80) << "' refused by " << endpoint(o_)
                 << ": " << describe(o) << "\n";
        } else if (o.reason == DRAVOLIN_REASON_LOGIN) {
            err_ << "CHAP login as '" << cutForMessage(*o_.chapName, 80) << "' failed at "
                 << endpoint(o_) << ": " << describe(o) << "\n";
        } else {
            err_ << "CHAP login as '" << cutForMessage(*o_.chapName, 80) << "' refused by "
                 << endpoint(o_) << ": " << describe(o)
                 << (o.status == 104 ? " (the server is not in CHAP mode or offers no encryption)"
                                     : " (wrong name or secret?)")
                 << "\n";
        }
    }

    static fs::path logDirectory(const Step& step) {
        return step.dir && !step.dir->empty() ? fs::path(*step.dir) : fs::current_path();
    }

    // Points the connection's log directory at the step's directory (getlog only).
    void prepareLogDirectory(const Step& step) {
        if (step.spec->code != DRAVOLIN_REQUEST_GET_LOG)
            return;
        const std::string dir = step.dir ? *step.dir : std::string();
        DravolinClient_SetServiceLogDirectory(connection_, dir.c_str());
    }

    // Submits a getlog asynchronously and draws a progress bar until it completes.
    bool getlogWithProgress(const Step& step, ResponsePtr& response) {
        const fs::path dir = logDirectory(step);
        const DirSnapshot before = snapshot(dir);
        Response* raw = nullptr;
        std::uint32_t id = 0;
        const int rc = DravolinClient_SendRequest(connection_, step.spec->code, nullptr, &raw, &id,
                                                  onCompletion);
        response.reset(raw);
        if (rc != DRAVOLIN_OK)
            return false;
        bool failed = false;
        const int width = std::max(20, console_.terminalWidth() - 1);
        // The reply's records, "LogSize" among them, arrive only with the completion: until
        // then the bar shows the bytes that have reached the file.
        for (unsigned tick = 0; !completions_.waitFor(id, std::chrono::milliseconds(100), failed);
             ++tick) {
            const auto line = renderActivity(growingFileSize(dir, before), tick, width);
            err_ << "\r" << line << "\x1b[K" << std::flush;
        }
        progressDrawn_ = true;
        return !failed;
    }

    // Reports where a fetched log landed and how it compares with the announced size.
    void reportLog(const Step& step, StepResult& result) {
        const auto name = findRecord(result.records, "filename");
        if (!name)
            return;
        std::error_code ec;
        fs::path file = logDirectory(step) / *name;
        const fs::path absolute = fs::absolute(file, ec);
        if (!ec)
            file = absolute;
        result.file = file.string();
        const std::uintmax_t got = fs::file_size(file, ec);
        const auto announced = findRecord(result.records, "LogSize");
        const auto total = announced ? parseSize(*announced) : std::nullopt;
        if (progressDrawn_) {
            const int width = std::max(20, console_.terminalWidth() - 1);
            err_ << "\r" << renderProgress(ec ? 0 : got, total ? total : got, width) << "\x1b[K\n";
            progressDrawn_ = false;
        }
        if (ec) {
            err_ << kProgram << "getlog: the server named '" << *name << "' but " << file.string()
                 << " cannot be read: " << ec.message() << "\n";
            return;
        }
        if (!o_.json && !o_.quiet)
            err_ << "log saved to " << file.string() << " (" << formatBytes(got) << ")\n";
        if (total && *total != got)
            err_ << kProgram << "warning: " << file.string() << " holds " << got
                 << " bytes, the server announced " << *total << "\n";
    }

    void reportFailure(const Step& step, const Outcome& o) {
        err_ << kProgram;
        if (!step.origin.empty())
            err_ << step.origin << ": ";
        err_ << "'" << step.spec->name << "' "
             << (o.reason == DRAVOLIN_REASON_NONE ? "refused by the server at " : "failed at ")
             << endpoint(o_) << ": " << describe(o) << "\n";
    }

    // Returns the step's exit code.
    int finishStep(const Step& step, bool ok, Response* response, bool batch) {
        const Outcome o = outcomeOf(response, ok);
        verboseStatus(o);
        StepResult result;
        result.command = std::string(step.spec->name);
        result.arg = step.arg;
        result.ok = ok;
        result.status = o.status;
        result.text = o.text;
        if (o.reason != DRAVOLIN_REASON_NONE)
            result.reason = o.reasonText;
        // A reply that did not complete shows nothing of what had arrived.
        if (o.reason == DRAVOLIN_REASON_NONE || o.reason == DRAVOLIN_REASON_LOG_FILE)
            result.records = readRecords(response);
        if (step.spec->code == DRAVOLIN_REQUEST_GET_LOG && ok)
            reportLog(step, result);
        else if (progressDrawn_) {
            err_ << "\n";
            progressDrawn_ = false;
        }
        if (!ok)
            reportFailure(step, o);
        if (!o_.json) {
            out_ << formatText(result, batch);
            out_.flush();
        }
        results_.push_back(std::move(result));
        return exitCodeFor(o);
    }

    int runSync(const std::vector<Step>& steps, bool batch) {
        int rc = kExitOk;
        const bool progress =
            !o_.noProgress && !o_.json && !o_.quiet && console_.stderrIsTerminal();
        for (const auto& step : steps) {
            prepareLogDirectory(step);
            verbose("> " + cutForMessage(wireLine(step), 1000));
            ResponsePtr response;
            bool ok = false;
            if (step.spec->code == DRAVOLIN_REQUEST_GET_LOG && progress) {
                ok = getlogWithProgress(step, response);
            } else {
                Response* raw = nullptr;
                ok = DravolinClient_SendRequest(connection_, step.spec->code, wireArgument(step),
                                                &raw, nullptr, nullptr) == DRAVOLIN_OK;
                response.reset(raw);
            }
            const int stepRc = finishStep(step, ok, response.get(), batch);
            if (rc == kExitOk)
                rc = stepRc; // the first failure decides
            if (stepRc != kExitOk && o_.stopOnError)
                break;
        }
        return rc;
    }

    int runAsync(const std::vector<Step>& steps) {
        struct Submitted {
            ResponsePtr response;
            std::uint32_t id = 0;
            bool accepted = false;
        };
        std::vector<Submitted> submitted(steps.size());
        for (size_t i = 0; i < steps.size(); ++i) {
            prepareLogDirectory(steps[i]);
            verbose("> " + cutForMessage(wireLine(steps[i]), 1000));
            Response* raw = nullptr;
            const int rc =
                DravolinClient_SendRequest(connection_, steps[i].spec->code, wireArgument(steps[i]),
                                           &raw, &submitted[i].id, onCompletion);
            submitted[i].response.reset(raw);
            submitted[i].accepted = rc == DRAVOLIN_OK;
        }
        int rc = kExitOk;
        for (size_t i = 0; i < steps.size(); ++i) {
            bool failed = true;
            if (submitted[i].accepted)
                completions_.waitFor(submitted[i].id, failed);
            const int stepRc = finishStep(steps[i], !failed, submitted[i].response.get(),
                                          o_.batchFile.has_value());
            if (rc == kExitOk)
                rc = stepRc;
        }
        return rc;
    }

    const Options& o_;
    Console& console_;
    std::ostream& out_;
    std::ostream& err_;
    LockedBuffer* trace_; // --trace: where the library's trace lines go
    std::optional<std::string> password_, secret_, peerSecret_;
    std::uint32_t connection_ = 0;
    Completions completions_;
    std::vector<StepResult> results_;
    bool progressDrawn_ = false;
};

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    text = buf.str();
    return !in.bad();
}

} // namespace

int runMain(const std::vector<std::string>& args, Console& console, std::ostream& out,
            std::ostream& err) {
    const ParseResult parsed = parseCommandLine(args);
    if (!parsed.ok) {
        err << kProgram << parsed.error << "\n";
        return kExitUsage;
    }
    const Invocation& inv = parsed.invocation;
    switch (inv.mode) {
    case Invocation::Mode::Help:
        out << (inv.helpFor ? commandHelp(*inv.helpFor) : generalHelp());
        return kExitOk;
    case Invocation::Mode::Version:
        out << "dravolinctl 1.0.0, client library " << DravolinClient_GetVersion() << "\n";
        return kExitOk;
    case Invocation::Mode::Run:
        break;
    }

    std::vector<Step> steps = inv.steps;
    if (inv.options.batchFile) {
        const bool fromInput = *inv.options.batchFile == "-";
        std::string text;
        if (fromInput) {
            auto input = console.readAllInput();
            if (!input) {
                err << kProgram << "cannot read the batch from standard input\n";
                return kExitUsage;
            }
            text = std::move(*input);
        } else if (!readFile(*inv.options.batchFile, text)) {
            err << kProgram << "cannot read batch file '"
                << cutForMessage(*inv.options.batchFile, 200) << "'\n";
            return kExitUsage;
        }
        BatchResult batch = parseBatch(text, fromInput ? "stdin" : *inv.options.batchFile);
        if (!batch.ok) {
            err << kProgram << batch.error << "\n";
            return kExitUsage;
        }
        steps = std::move(batch.steps);
    }
    // With --trace the library writes to standard error from its worker thread: the program's
    // own messages then go through the same lock.
    std::optional<LockedBuffer> shared;
    std::optional<std::ostream> sharedErr;
    if (inv.options.trace) {
        shared.emplace(err.rdbuf());
        sharedErr.emplace(&*shared);
    }
    Session session(inv, console, out, sharedErr ? *sharedErr : err, shared ? &*shared : nullptr);
    return session.run(steps);
}

} // namespace dravolinctl
