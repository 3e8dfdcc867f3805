#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "DravolinClient.h"
#include "cli.h"

using namespace dravolinctl;

namespace {

ParseResult parse(std::vector<std::string> args) {
    return parseCommandLine(args);
}

const Step& onlyStep(const ParseResult& r) {
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.steps.size(), 1u);
    return r.invocation.steps.front();
}

} // namespace

TEST(CtlCommandTable, MapsEveryCommandToItsRequestCode) {
    const std::map<std::string, unsigned> expected = {
        {"logoff", DRAVOLIN_REQUEST_LOGOFF},
        {"add", DRAVOLIN_REQUEST_ADD},
        {"remove", DRAVOLIN_REQUEST_REMOVE},
        {"allow", DRAVOLIN_REQUEST_ALLOW},
        {"list-devices", DRAVOLIN_REQUEST_LIST_DEVICES},
        {"list-permissions", DRAVOLIN_REQUEST_LIST_PERMISSIONS},
        {"set", DRAVOLIN_REQUEST_SET_PARAMETER},
        {"get", DRAVOLIN_REQUEST_GET_PARAMETER},
        {"getlog", DRAVOLIN_REQUEST_GET_LOG},
        {"shutdown", DRAVOLIN_REQUEST_SHUTDOWN},
        {"statistics", DRAVOLIN_REQUEST_STATISTICS},
        {"control", DRAVOLIN_REQUEST_CONTROL},
    };
    ASSERT_EQ(commandTable().size(), expected.size());
    for (const auto& [name, code] : expected) {
        const CommandSpec* spec = findCommand(name);
        ASSERT_NE(spec, nullptr) << name;
        EXPECT_EQ(spec->code, code) << name;
    }
    EXPECT_EQ(findCommand("List-Devices"), nullptr); // names are exact
}

TEST(CtlCommandTable, RequiresArgumentsWhereTheLibraryRefusesNull) {
    // The library refuses a null argument for these; the parser must catch it first.
    for (const char* name : {"add", "remove", "allow", "set", "get", "control"})
        EXPECT_EQ(findCommand(name)->arg, ArgRule::Required) << name;
    for (const char* name : {"getlog", "shutdown", "logoff"})
        EXPECT_EQ(findCommand(name)->arg, ArgRule::None) << name;
}

TEST(CtlParse, DefaultsAndOptionForms) {
    auto r = parse({"list-devices"});
    const Step& s = onlyStep(r);
    EXPECT_EQ(r.invocation.options.host, "127.0.0.1");
    EXPECT_EQ(r.invocation.options.port, 3260);
    EXPECT_FALSE(s.arg.has_value()); // the library's default listing, not an empty text
    EXPECT_EQ(r.invocation.mode, Invocation::Mode::Run);

    r = parse({"--host=srv.example", "--port", "4000", "get", "CtlAuthMode", "--json"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.options.host, "srv.example");
    EXPECT_EQ(r.invocation.options.port, 4000);
    EXPECT_TRUE(r.invocation.options.json); // options may follow the command
    EXPECT_EQ(*onlyStep(r).arg, "CtlAuthMode");

    // Time limits: 10 s to connect, 60 s of reply silence; 0 waits forever.
    r = parse({"logoff"});
    EXPECT_EQ(r.invocation.options.connectTimeout, 10);
    EXPECT_EQ(r.invocation.options.timeout, 60);
    r = parse({"--connect-timeout=0", "--timeout", "3", "logoff"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.options.connectTimeout, 0);
    EXPECT_EQ(r.invocation.options.timeout, 3);

    // IPv6 hosts go to the library as written, with or without brackets.
    for (const char* host : {"::1", "[::1]", "fe80::1%eth0", "[2001:db8::7]"}) {
        r = parse({"--host", host, "logoff"});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.invocation.options.host, host);
    }

    // Keep-alive: the library's default unless given; the parts left out keep theirs.
    EXPECT_FALSE(parse({"logoff"}).invocation.options.keepAlive.has_value());
    struct KeepAliveRow {
        const char* text;
        int idle, interval, count;
    };
    for (const KeepAliveRow row : {KeepAliveRow{"0", 0, 10, 6}, KeepAliveRow{"1,1,2", 1, 1, 2},
                                   KeepAliveRow{"30", 30, 10, 6}, KeepAliveRow{"30,5", 30, 5, 6},
                                   KeepAliveRow{"32767,32767,127", 32767, 32767, 127}}) {
        r = parse({"--keepalive", row.text, "logoff"});
        ASSERT_TRUE(r.ok) << row.text << ": " << r.error;
        ASSERT_TRUE(r.invocation.options.keepAlive.has_value());
        EXPECT_EQ(r.invocation.options.keepAlive->idle, row.idle) << row.text;
        EXPECT_EQ(r.invocation.options.keepAlive->interval, row.interval) << row.text;
        EXPECT_EQ(r.invocation.options.keepAlive->count, row.count) << row.text;
    }
}

TEST(CtlParse, ArgumentWordsAndDashArguments) {
    auto r = parse({"add", "disk1", "-size:\"10\""});
    EXPECT_FALSE(r.ok); // an unknown option, not a silently swallowed word
    r = parse({"add", "--", "disk1", "-size:\"10\""});
    EXPECT_EQ(*onlyStep(r).arg, "disk1 -size:\"10\"");
    r = parse({"list-devices", " -what:\"x\""});
    EXPECT_EQ(*onlyStep(r).arg, " -what:\"x\""); // leading blank kept: appended as it is
    r = parse({"set", "a=b c"});
    EXPECT_EQ(*onlyStep(r).arg, "a=b c");
}

TEST(CtlParse, PortRange) {
    for (const char* bad : {"", "abc", "-1", "65535", "99999", "12a", "+5", "123456"}) {
        auto r = parse({"--port", bad, "logoff"});
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_NE(r.error.find("port"), std::string::npos) << r.error;
    }
    EXPECT_EQ(parse({"--port", "65534", "logoff"}).invocation.options.port, 65534);
    EXPECT_EQ(parse({"--port=0", "logoff"}).invocation.options.port, 0);
}

TEST(CtlParse, UsageErrorsNameTheProblem) {
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {{}, "no command"},
        {{"frobnicate"}, "'frobnicate'"},
        {{"--frob", "logoff"}, "'--frob'"},
        {{"-x", "logoff"}, "'-x'"},
        {{"logoff", "--host"}, "'--host' needs a value"},
        {{"--host=", "logoff"}, "--host"},
        {{"--json=yes", "logoff"}, "takes no value"},
        {{"add"}, "'add' needs an argument"},
        {{"logoff", "now"}, "'logoff' takes no argument"},
        {{"getlog", "x"}, "'getlog' takes no argument"},
        {{"--user", "a", "--chap", "b", "logoff"}, "exclude"},
        {{"--password", "p", "logoff"}, "--user"},
        {{"--secret", "s", "logoff"}, "--chap"},
        {{"--peer", "p", "logoff"}, "--chap"},
        {{"--chap", "c", "--peer-secret", "s", "logoff"}, "--peer"},
        {{"--encrypt", "logoff"}, "--chap"},
        {{"--dir", "/tmp", "logoff"}, "getlog only"},
        {{"--batch", "f", "logoff"}, "exclude"},
        {{"help", "nosuch"}, "'nosuch'"},
        {{"--timeout", "-1", "logoff"}, "bad time-out"},
        {{"--connect-timeout", "1.5", "logoff"}, "bad time-out"},
        {{"--timeout", "99999999", "logoff"}, "bad time-out"},
        {{"--keepalive", "", "logoff"}, "bad keep-alive"},
        {{"--keepalive", "1,0", "logoff"}, "bad keep-alive"},
        {{"--keepalive", "1,1,0", "logoff"}, "bad keep-alive"},
        {{"--keepalive", "1,1,128", "logoff"}, "bad keep-alive"},
        {{"--keepalive", "1,1,1,1", "logoff"}, "bad keep-alive"},
        {{"--keepalive", "-1", "logoff"}, "bad keep-alive"},
        {{"--keepalive", "40000", "logoff"}, "bad keep-alive"},
        {{"--stop-on-error", "logoff"}, "--batch only"},
        {{"--batch", "f", "--async", "--stop-on-error"}, "exclude"},
        {{"--quiet", "--verbose", "logoff"}, "exclude"},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.args);
        EXPECT_FALSE(r.ok) << testing::PrintToString(c.args);
        EXPECT_NE(r.error.find(c.mentions), std::string::npos)
            << testing::PrintToString(c.args) << " -> " << r.error;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line: " << r.error;
    }
}

TEST(CtlParse, LoginOptions) {
    auto r = parse({"--chap", "alice", "--peer", "srv", "--encrypt", "statistics"});
    ASSERT_TRUE(r.ok) << r.error;
    const Options& o = r.invocation.options;
    EXPECT_EQ(*o.chapName, "alice");
    EXPECT_EQ(*o.peerName, "srv");
    EXPECT_FALSE(o.secret.has_value()); // comes from the environment or a prompt later
    EXPECT_TRUE(o.encrypt);
    r = parse({"--user", "bob", "--password", "pw", "logoff"});
    EXPECT_EQ(*r.invocation.options.password, "pw");
}

TEST(CtlParse, GetlogDirectoryAndBatch) {
    auto r = parse({"getlog", "--dir", "/tmp/logs"});
    EXPECT_EQ(*onlyStep(r).dir, "/tmp/logs");
    r = parse({"--batch", "cmds.txt", "--async"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.invocation.steps.empty());
    EXPECT_EQ(*r.invocation.options.batchFile, "cmds.txt");
    EXPECT_TRUE(r.invocation.options.async);
}

TEST(CtlParse, HelpAndVersion) {
    auto r = parse({"--help"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.invocation.mode, Invocation::Mode::Help);
    EXPECT_EQ(r.invocation.helpFor, nullptr);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"help", "getlog"}, {"getlog", "--help"}, {"-h", "getlog"}}) {
        r = parse(args);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.invocation.mode, Invocation::Mode::Help);
        ASSERT_NE(r.invocation.helpFor, nullptr);
        EXPECT_EQ(r.invocation.helpFor->name, "getlog");
    }
    // Help wins over an incomplete command line: "add --help" explains add.
    r = parse({"add", "--help"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.invocation.helpFor->name, "add");
    EXPECT_EQ(parse({"--version"}).invocation.mode, Invocation::Mode::Version);

    const std::string all = generalHelp();
    for (const auto& spec : commandTable())
        EXPECT_NE(all.find(std::string(spec.synopsis)), std::string::npos) << spec.name;
    EXPECT_NE(commandHelp(*findCommand("getlog")).find("--dir"), std::string::npos);
}

// --help and the parser come from one option table: every option the help names is one the
// parser knows, and every option the parser knows is in the help with its value.
TEST(CtlParse, HelpNamesEveryOptionTheParserAcceptsAndNoOther) {
    std::string texts = generalHelp();
    for (const auto& spec : commandTable())
        texts += commandHelp(spec);
    const std::regex word(R"((^|[\s\[(|,])(--?[a-z][a-z-]*))");
    std::set<std::string> named;
    for (std::sregex_iterator it(texts.begin(), texts.end(), word), end; it != end; ++it)
        named.insert((*it)[2]);
    EXPECT_GE(named.size(), optionTable().size()) << testing::PrintToString(named);
    for (const auto& option : named) {
        EXPECT_NE(findOption(option), nullptr) << option;
        EXPECT_EQ(parse({option}).error.find("unknown option"), std::string::npos) << option;
    }

    const std::string help = generalHelp();
    for (const auto& option : optionTable()) {
        std::string spelling = std::string(option.name);
        if (!option.placeholder.empty())
            spelling += " " + std::string(option.placeholder);
        EXPECT_NE(help.find(spelling), std::string::npos) << spelling;
        EXPECT_EQ(named.count(std::string(option.name)), 1u) << option.name;
        if (!option.alias.empty()) {
            EXPECT_EQ(named.count(std::string(option.alias)), 1u) << option.alias;
        }
        // Accepted with a value exactly when the help shows one.
        const auto r = parse({std::string(option.name) + "=1", "logoff"});
        EXPECT_EQ(r.error.find("takes no value") == std::string::npos, !option.placeholder.empty())
            << option.name << ": " << r.error;
    }
    EXPECT_EQ(findOption("--frob"), nullptr);
    EXPECT_EQ(findOption("--h"), nullptr); // the short spelling has one dash
}

TEST(CtlParse, WireArgumentNeverFormatsNull) {
    Step s;
    s.spec = findCommand("statistics");
    ASSERT_NE(wireArgument(s), nullptr); // "statistics %s" would send "(null)"
    EXPECT_STREQ(wireArgument(s), "");
    s.arg = "disk0";
    EXPECT_STREQ(wireArgument(s), "disk0");
    s.arg.reset();
    s.spec = findCommand("list-devices");
    EXPECT_EQ(wireArgument(s), nullptr); // the library's default listing
    s.spec = findCommand("list-permissions");
    EXPECT_EQ(wireArgument(s), nullptr);
    for (const char* name : {"getlog", "shutdown", "logoff"}) {
        s.spec = findCommand(name);
        EXPECT_EQ(wireArgument(s), nullptr) << name;
    }
}

TEST(CtlBatch, ParsesCommandsCommentsAndLineEnds) {
    const std::string text = "# session\r\n"
                             "\n"
                             "list-devices\r\n"
                             "  get   CtlAuthMode  \r\n"
                             "list-permissions  -who:\"a b\"\n"
                             "getlog --dir /tmp/x y\n"
                             "getlog\n"
                             "logoff"; // no final line feed
    const auto r = parseBatch(text, "cmds.txt");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.steps.size(), 6u);
    EXPECT_EQ(r.steps[0].spec->name, "list-devices");
    EXPECT_FALSE(r.steps[0].arg.has_value());
    EXPECT_EQ(r.steps[0].origin, "cmds.txt:3");
    EXPECT_EQ(*r.steps[1].arg, "CtlAuthMode");
    EXPECT_EQ(*r.steps[2].arg, "-who:\"a b\"");
    EXPECT_EQ(*r.steps[3].dir, "/tmp/x y");
    EXPECT_FALSE(r.steps[4].dir.has_value());
    EXPECT_EQ(r.steps[5].spec->name, "logoff");
    EXPECT_EQ(r.steps[5].origin, "cmds.txt:8");
}

TEST(CtlBatch, ErrorsNameFileAndLine) {
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"logoff\nfrob\n", "b.txt:2: unknown command 'frob'"},
        {"\n\nadd\n", "b.txt:3: 'add' needs an argument"},
        {"shutdown now\n", "b.txt:1: 'shutdown' takes no argument"},
        {"getlog /tmp\n", "b.txt:1: 'getlog' takes only --dir DIR"},
        {"getlog --dirx\n", "b.txt:1: 'getlog' takes only --dir DIR"},
        {"getlog --dir\n", "b.txt:1: option '--dir' needs a value"},
        {"# nothing\n\n", "b.txt: no commands"},
        {"", "b.txt: no commands"},
    };
    for (const auto& c : cases) {
        const auto r = parseBatch(c.text, "b.txt");
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << c.text << " -> " << r.error;
    }
}
