// dravolinctl end to end against the stand-in server on loopback: exit codes, the one-line
// messages, output formats, batch and async runs, CHAP logins and the log transfer.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "app.h"
#include "cli.h"
#include "console.h"
#include "json_reader.h"
#include "server.h"

namespace fs = std::filesystem;
namespace ts = dravolin::testserver;
using dravolinctl::Console;

namespace {

// A console with scripted answers; name resolution is the real one.
class ScriptedConsole final : public Console {
  public:
    bool stdinTerminal = false;
    bool stderrTerminal = false;
    std::map<std::string, std::string> env;
    std::vector<std::string> answers; // given to the prompts in order
    std::vector<std::string> prompts;

    bool stdinIsTerminal() const override { return stdinTerminal; }
    bool stderrIsTerminal() const override { return stderrTerminal; }
    int terminalWidth() const override { return 60; }
    std::optional<std::string> readSecret(const std::string& prompt) override {
        prompts.push_back(prompt);
        if (answers.empty())
            return std::nullopt;
        std::string a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    std::optional<std::string> environment(const char* name) const override {
        const auto it = env.find(name);
        if (it == env.end())
            return std::nullopt;
        return it->second;
    }
    std::optional<std::string> input; // standard input, for "--batch -"
    std::optional<std::string> readAllInput() override { return input; }
};

// A scratch directory removed at the end of the test.
class TempDir {
  public:
    TempDir() {
        static std::atomic<unsigned> counter{0};
        std::random_device rd;
        path_ = fs::temp_directory_path() /
                ("dravolinctl-test-" + std::to_string(rd()) + "-" + std::to_string(++counter));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name, const std::string& content) const {
        const fs::path p = path_ / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

  private:
    fs::path path_;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

class CtlSession : public ::testing::Test {
  protected:
    void SetUp() override { startServer({}); }

    void startServer(std::vector<std::string> faults) {
        server_.reset();
        ts::ServerConfig config;
        config.users = {{"admin", "pw"}};
        config.chapUsers = {{"alice", "alicesecret12", "srv", "srvsecret1234"}};
        config.logSize = 200000;
        for (const auto& f : faults) {
            std::string error;
            auto spec = ts::parseFaultSpec(f, error);
            ASSERT_TRUE(spec) << error;
            config.faults.push_back(*spec);
        }
        server_ = std::make_unique<ts::Server>(config);
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
        servicePort_ = std::to_string(server_->port() - 1);
    }

    // Runs dravolinctl against the server with the given arguments after --port.
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", servicePort_});
        return runRaw(args);
    }

    int runRaw(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int rc = dravolinctl::runMain(args, console_, out, err);
        out_ = out.str();
        err_ = err.str();
        return rc;
    }

    std::uint64_t connections() const { return server_->state().connectionsTotal.load(); }

    void expectOneErrorLine(const std::string& mentions) {
        const auto l = lines(err_);
        ASSERT_EQ(l.size(), 1u) << err_;
        EXPECT_EQ(l[0].rfind("dravolinctl: ", 0), 0u) << err_;
        EXPECT_NE(l[0].find(mentions), std::string::npos) << err_;
    }

    ts::net::NetworkInit network_;
    std::unique_ptr<ts::Server> server_;
    std::string servicePort_;
    ScriptedConsole console_;
    std::string out_, err_;
};

} // namespace

TEST_F(CtlSession, PlainLoginPrintsRecordsAsNameValueLines) {
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "list-devices"}), 0) << err_;
    EXPECT_EQ(err_, "");
    const auto l = lines(out_);
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l[0], "Count=3");
    EXPECT_NE(out_.find("\nDevice=disk0\n"), std::string::npos) << out_;
    for (const auto& line : l)
        EXPECT_NE(line.find('='), std::string::npos) << line;
}

TEST_F(CtlSession, FailuresExitWithTheirCodeAndOneLine) {
    // Refused login: 2, and the message names the user and the port.
    EXPECT_EQ(run({"--user", "admin", "--password", "wrong", "list-devices"}), 2);
    expectOneErrorLine("login as 'admin' refused by 127.0.0.1 port " +
                       std::to_string(server_->port()));
    EXPECT_EQ(out_, "");

    // The server refuses a command: 1, naming the command.
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "get", "NoSuchParameter"}), 1);
    expectOneErrorLine("'get' refused by the server at 127.0.0.1 port");
    EXPECT_NE(err_.find(": 103 "), std::string::npos) << "the status and its text: " << err_;

    // Bad option: 64 before any connection is made.
    const auto before = connections();
    EXPECT_EQ(run({"--colour", "list-devices"}), 64);
    expectOneErrorLine("unknown option '--colour'");
    EXPECT_EQ(run({"add"}), 64);
    expectOneErrorLine("'add' needs an argument");
    EXPECT_EQ(connections(), before);
}

TEST_F(CtlSession, ConnectFailuresTellUnknownHostFromClosedPort) {
    const std::string port = servicePort_;
    const std::string listening = std::to_string(server_->port());
    server_->stop(); // nothing listens there any more
    EXPECT_EQ(runRaw({"--port", port, "list-devices"}), 2);
    expectOneErrorLine("cannot connect to 127.0.0.1 port " + listening + " (service port " + port +
                       ")");

    EXPECT_EQ(runRaw({"--host", "nosuch.invalid", "--port", port, "list-devices"}), 2);
    expectOneErrorLine("unknown host 'nosuch.invalid'");
}

TEST_F(CtlSession, JsonOutputParsesAndMatchesTheRecords) {
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "list-devices"}), 0);
    const auto textLines = lines(out_);
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "--json", "list-devices"}), 0) << err_;
    const auto doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    EXPECT_EQ(doc->get("command")->text, "list-devices");
    EXPECT_TRUE(doc->get("ok")->boolean);
    const auto& recs = doc->get("records")->items;
    ASSERT_EQ(recs.size(), textLines.size());
    for (size_t i = 0; i < recs.size(); ++i)
        EXPECT_EQ(recs[i].get("name")->text + "=" + recs[i].get("value")->text, textLines[i]);

    // A value the server echoes back with quotes and backslashes stays valid JSON.
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "--json", "set",
                   "Alias a \"quoted\" \\ value"}),
              0)
        << err_;
    const auto set = jsontest::parse(out_);
    ASSERT_TRUE(set) << out_;
    EXPECT_EQ(set->get("records")->items.back().get("value")->text, "a \"quoted\" \\ value");
}

TEST_F(CtlSession, BatchRunsEveryLineOverOneConnectionSyncAndAsync) {
    TempDir dir;
    const std::string batch = dir.file("cmds.txt", "# a session\n"
                                                   "get MaxSessions\n"
                                                   "set LogLevel=3\n"
                                                   "get LogLevel\n"
                                                   "get NoSuchParameter\n"
                                                   "control ping\n"
                                                   "statistics\n"
                                                   "logoff\n");
    const auto before = connections();
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--batch", batch}), 1);
    EXPECT_EQ(connections(), before + 1);
    const std::string syncOut = out_;
    EXPECT_NE(syncOut.find("# get LogLevel\nParameter=LogLevel\nValue=3\n"), std::string::npos)
        << syncOut;
    EXPECT_NE(syncOut.find("# control ping\nAction=ping\nResult=pong\n"), std::string::npos);
    expectOneErrorLine("cmds.txt:5: 'get' refused by the server");

    // Async: every command submitted at once; results print in line order all the same.
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--async", "--json", "--batch", batch}),
              1);
    EXPECT_EQ(connections(), before + 2);
    const auto doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    ASSERT_EQ(doc->items.size(), 7u);
    const std::vector<bool> expectOk = {true, true, true, false, true, true, true};
    for (size_t i = 0; i < expectOk.size(); ++i)
        EXPECT_EQ(doc->items[i].get("ok")->boolean, expectOk[i]) << i;
    EXPECT_EQ(doc->items[2].get("records")->items[1].get("value")->text, "3");
    EXPECT_EQ(doc->items[0].get("records")->items[1].get("value")->text, "64");

    // A bad line stops the run before any connection.
    const std::string bad = dir.file("bad.txt", "list-devices\nfrobnicate now\n");
    EXPECT_EQ(run({"--batch", bad}), 64);
    expectOneErrorLine("bad.txt:2: unknown command 'frobnicate'");
    EXPECT_EQ(run({"--batch", (dir.path() / "missing.txt").string()}), 64);
    expectOneErrorLine("cannot read batch file");
    EXPECT_EQ(connections(), before + 2);
}

TEST_F(CtlSession, ChapMutualWithEncryptionFromEnvironmentAndPrompt) {
    console_.env[dravolinctl::kSecretEnv] = "alicesecret12";
    console_.env[dravolinctl::kPeerSecretEnv] = "srvsecret1234";
    ASSERT_EQ(run({"--chap", "alice", "--peer", "srv", "--encrypt", "get", "CtlAuthMode"}), 0)
        << err_;
    EXPECT_EQ(out_, "Parameter=CtlAuthMode\nValue=chap\n");

    // The server proves a different peer secret than the one we expect: login fails.
    console_.env[dravolinctl::kPeerSecretEnv] = "notthesecret";
    EXPECT_EQ(run({"--chap", "alice", "--peer", "srv", "--encrypt", "statistics"}), 2);
    expectOneErrorLine("CHAP login as 'alice' failed at 127.0.0.1 port");

    // Secrets typed at a prompt (no echo) when there is a terminal.
    console_.env.clear();
    console_.stdinTerminal = true;
    console_.answers = {"alicesecret12", "srvsecret1234"};
    ASSERT_EQ(run({"--chap", "alice", "--peer", "srv", "control", "ping"}), 0) << err_;
    ASSERT_EQ(console_.prompts.size(), 2u);
    EXPECT_NE(console_.prompts[0].find("alice"), std::string::npos);
    EXPECT_NE(console_.prompts[1].find("srv"), std::string::npos);

    // No terminal and no variable: a usage error that says where a secret can come from.
    console_.stdinTerminal = false;
    const auto before = connections();
    EXPECT_EQ(run({"--chap", "alice", "statistics"}), 64);
    expectOneErrorLine("DRAVOLIN_SECRET");
    EXPECT_EQ(connections(), before);
}

TEST_F(CtlSession, GetlogSavesTheLogAndSaysWhere) {
    TempDir dir;
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "getlog", "--dir", dir.path().string()}),
              0)
        << err_;
    const fs::path file = dir.path() / "service.log";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_NE(out_.find("LogSize=" + std::to_string(fs::file_size(file)) + "\n"), std::string::npos)
        << out_;
    EXPECT_NE(err_.find("log saved to "), std::string::npos) << err_;
    EXPECT_NE(err_.find("service.log"), std::string::npos) << err_;
    EXPECT_EQ(err_.find("warning"), std::string::npos) << err_;

    // On a terminal a progress bar ends at 100 %; JSON names the file.
    console_.stderrTerminal = true;
    fs::remove(file);
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "--json", "getlog", "--dir",
                   dir.path().string()}),
              0)
        << err_;
    const auto doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    EXPECT_EQ(fs::path(doc->get("file")->text), fs::absolute(file));
    EXPECT_TRUE(fs::exists(file));

    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "getlog", "--dir", dir.path().string()}),
              0);
    EXPECT_NE(err_.find("\r["), std::string::npos) << err_;
    EXPECT_NE(err_.find("100%"), std::string::npos) << err_;

    // A directory that does not exist: the transfer fails, not a silent success.
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "getlog", "--dir",
                   (dir.path() / "missing").string()}),
              2);
    EXPECT_NE(err_.find("'getlog' failed"), std::string::npos) << err_;
    EXPECT_NE(err_.find("log file not created"), std::string::npos) << err_;
}

TEST_F(CtlSession, AsyncGetlogsLandInTheirOwnDirectories) {
    TempDir dir;
    fs::create_directories(dir.path() / "a");
    fs::create_directories(dir.path() / "b");
    const std::string batch =
        dir.file("logs.txt", "getlog --dir " + (dir.path() / "a").string() + "\n" + "statistics\n" +
                                 "getlog --dir " + (dir.path() / "b").string() + "\n");
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "--async", "--batch", batch}), 0) << err_;
    EXPECT_EQ(fs::file_size(dir.path() / "a" / "service.log"), 200000u);
    EXPECT_EQ(fs::file_size(dir.path() / "b" / "service.log"), 200000u);
}

TEST_F(CtlSession, PlainPasswordFromEnvironmentOrPrompt) {
    console_.env[dravolinctl::kPasswordEnv] = "pw";
    EXPECT_EQ(run({"--user", "admin", "control", "ping"}), 0) << err_;
    console_.env.clear();
    console_.stdinTerminal = true;
    console_.answers = {"pw"};
    EXPECT_EQ(run({"--user", "admin", "control", "ping"}), 0) << err_;
    ASSERT_EQ(console_.prompts.size(), 1u);
    EXPECT_EQ(console_.prompts[0].find("pw"), std::string::npos);
    // An option wins over the environment.
    console_.env[dravolinctl::kPasswordEnv] = "wrong";
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "control", "ping"}), 0) << err_;
}

TEST_F(CtlSession, ConnectionLostMidReplyIsAFailureNotSuccess) {
    startServer({"close,on=statistics"});
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "statistics"}), 2)
        << "no status refused it: the connection broke";
    expectOneErrorLine("'statistics' failed");
    EXPECT_NE(err_.find("connection lost"), std::string::npos) << err_;
    EXPECT_EQ(out_, "") << "no partial records";
}

TEST_F(CtlSession, ShutdownAndHelp) {
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "shutdown"}), 0) << err_;
    const auto before = connections();
    EXPECT_EQ(run({"getlog", "--help"}), 0);
    EXPECT_NE(out_.find("--dir DIR"), std::string::npos);
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(out_.find("Exit codes"), std::string::npos);
    EXPECT_EQ(connections(), before);
}

TEST_F(CtlSession, TimeOutsEndSilentServersWithExitTwoAndNoRecords) {
    // The reply stops before its end: the idle limit ends it, nothing partial is printed.
    startServer({"hang,on=statistics"});
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--timeout", "1", "statistics"}), 2);
    expectOneErrorLine("'statistics' failed at 127.0.0.1 port");
    EXPECT_NE(err_.find("timed out"), std::string::npos) << err_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(
        run({"--user", "admin", "--password", "pw", "--timeout", "1", "--json", "statistics"}), 2);
    const auto doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    EXPECT_FALSE(doc->get("ok")->boolean);
    EXPECT_EQ(doc->get("status")->number, 105);
    EXPECT_NE(doc->get("reason")->text.find("timed out"), std::string::npos) << out_;
    EXPECT_TRUE(doc->get("records")->items.empty());

    // A server that accepts and never greets: the connect limit covers the greeting.
    startServer({"mute,on=greeting,times=0"});
    EXPECT_EQ(run({"--connect-timeout", "1", "list-devices"}), 2);
    expectOneErrorLine("cannot connect to 127.0.0.1 port");
    EXPECT_NE(err_.find("timed out after 1 s"), std::string::npos) << err_;
    EXPECT_EQ(run({"--connect-timeout", "1", "--json", "list-devices"}), 2);
    const auto connect = jsontest::parse(out_);
    ASSERT_TRUE(connect) << out_;
    EXPECT_EQ(connect->get("command")->text, "connect");
    EXPECT_EQ(connect->get("status")->number, 105);
}

TEST_F(CtlSession, JsonCarriesStatusTextAndOkForEveryCommand) {
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "--json", "get", "MaxSessions"}), 0);
    auto doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    EXPECT_TRUE(doc->get("ok")->boolean);
    EXPECT_EQ(doc->get("status")->number, 200);
    ASSERT_TRUE(doc->get("text"));
    EXPECT_EQ(doc->get("reason")->type, jsontest::Value::Type::Null);
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--json", "get", "NoSuchParameter"}), 1);
    doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    EXPECT_FALSE(doc->get("ok")->boolean);
    EXPECT_EQ(doc->get("status")->number, 103);
    EXPECT_FALSE(doc->get("text")->text.empty()) << "the server's own words";
    // A refused login is told as such, with the server's status.
    EXPECT_EQ(run({"--user", "admin", "--password", "wrong", "--json", "get", "MaxSessions"}), 2);
    doc = jsontest::parse(out_);
    ASSERT_TRUE(doc) << out_;
    EXPECT_EQ(doc->get("command")->text, "login");
    EXPECT_EQ(doc->get("status")->number, 102);
}

TEST_F(CtlSession, PlainLoginWithoutAnyPasswordIsAUsageError) {
    const auto before = connections();
    EXPECT_EQ(run({"--user", "admin", "statistics"}), 64);
    expectOneErrorLine("no password for 'admin'");
    EXPECT_EQ(connections(), before) << "nothing was sent";
    // An empty password given on purpose is sent.
    EXPECT_EQ(run({"--user", "admin", "--password", "", "statistics"}), 2);
}

TEST_F(CtlSession, BatchFromStandardInputStopOnErrorQuietAndVerbose) {
    console_.input = "get MaxSessions\nget NoSuchParameter\ncontrol ping\n";
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--batch", "-"}), 1);
    EXPECT_NE(out_.find("# control ping\n"), std::string::npos) << out_;
    expectOneErrorLine("stdin:2: 'get' refused by the server");
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--stop-on-error", "--batch", "-"}), 1);
    EXPECT_EQ(out_.find("# control ping"), std::string::npos) << "stopped at line 2: " << out_;
    EXPECT_NE(out_.find("# get NoSuchParameter"), std::string::npos) << out_;

    TempDir dir;
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--quiet", "getlog", "--dir",
                   dir.path().string()}),
              0);
    EXPECT_EQ(err_, "") << "no informational lines";
    EXPECT_TRUE(fs::exists(dir.path() / "service.log"));

    console_.input = "get NoSuchParameter\n";
    EXPECT_EQ(run({"--user", "admin", "--password", "pw", "--verbose", "--batch", "-"}), 1);
    EXPECT_NE(err_.find("> login admin ********\n"), std::string::npos) << err_;
    EXPECT_EQ(err_.find("pw"), std::string::npos) << "secrets never shown: " << err_;
    EXPECT_NE(err_.find("> get NoSuchParameter\n< 103 "), std::string::npos) << err_;

    EXPECT_EQ(run({"--stop-on-error", "list-devices"}), 64);
    EXPECT_EQ(run({"--timeout", "soon", "list-devices"}), 64);
    expectOneErrorLine("bad time-out 'soon'");
    EXPECT_EQ(run({"--help"}), 0);
    for (const char* option : {"--connect-timeout", "--timeout", "--stop-on-error", "--quiet",
                               "--verbose", "--batch FILE"})
        EXPECT_NE(out_.find(option), std::string::npos) << option;
    EXPECT_EQ(run({"get", "--help"}), 0);
    EXPECT_NE(out_.find("--timeout"), std::string::npos) << out_;
}

// --trace: every line on standard error with its time and direction, the secrets masked, the
// output itself unchanged.
TEST_F(CtlSession, TraceShowsTheWireOnStandardErrorWithoutSecrets) {
    ASSERT_EQ(run({"--user", "admin", "--password", "pw", "--trace", "get", "CtlAuthMode"}), 0)
        << err_;
    EXPECT_EQ(out_, "Parameter=CtlAuthMode\nValue=chap\n");
    const auto traced = lines(err_);
    ASSERT_FALSE(traced.empty());
    // "HH:MM:SS.mmm" and a mark: the shape of every line.
    const auto shaped = [](const std::string& line) {
        if (line.size() < 15 || line[2] != ':' || line[5] != ':' || line[8] != '.' ||
            line[12] != ' ' || std::string("<>*").find(line[13]) == std::string::npos ||
            line[14] != ' ')
            return false;
        for (const int i : {0, 1, 3, 4, 6, 7, 9, 10, 11})
            if (!std::isdigit(static_cast<unsigned char>(line[i])))
                return false;
        return true;
    };
    for (const auto& line : traced) {
        EXPECT_TRUE(shaped(line)) << line;
    }
    EXPECT_NE(err_.find("* connect 127.0.0.1:"), std::string::npos) << err_;
    EXPECT_NE(err_.find("> login admin <redacted>\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find("> get CtlAuthMode\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find("< Value=\"chap\"\n"), std::string::npos) << err_;
    EXPECT_EQ(err_.find(" pw"), std::string::npos) << err_;

    ASSERT_EQ(run({"--chap", "alice", "--secret", "alicesecret12", "--peer", "srv", "--peer-secret",
                   "srvsecret1234", "--encrypt", "--trace", "get", "CtlAuthMode"}),
              0)
        << err_;
    EXPECT_NE(err_.find("* encrypted channel on\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find("-CHAP_R:\"<redacted>\""), std::string::npos) << err_;
    EXPECT_NE(err_.find("< CHAP_R=\"<redacted>\""), std::string::npos) << err_;
    EXPECT_EQ(err_.find("secret"), std::string::npos) << err_;
}
