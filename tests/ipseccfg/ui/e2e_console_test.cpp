// The console twin DravolinIPSecCfg.com beside the window program, both run
// for real under Wine against the registry and the stand-in policy agent:
// the same command lines give the same results through either, the twin
// says what happened, and "show" and "remove" in each state.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "e2e_support_win32.h"
#include "policy/policy_model.h"
#include "policy/store_objects.h"

namespace {

using namespace e2e;
using ipseccfg::ConfiguratorPolicyGuid;
using ipseccfg::PolicyModel;

// --- A small JSON reader: enough to check the twin's "show" object ----------------

struct Json;
using JsonObject = std::map<std::string, Json>;
using JsonArray = std::vector<Json>;
struct Json {
    std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> value;
    bool IsNull() const { return std::holds_alternative<std::nullptr_t>(value); }
    bool Bool() const { return std::get<bool>(value); }
    const std::string& String() const { return std::get<std::string>(value); }
    const JsonArray& Array() const { return std::get<JsonArray>(value); }
    const JsonObject& Object() const { return std::get<JsonObject>(value); }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    // The whole text must be one value (white space around it allowed).
    bool Read(Json& out) {
        if (!Value(out))
            return false;
        Skip();
        return pos_ == text_.size();
    }

  private:
    void Skip() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }
    bool Literal(const char* word) {
        const std::string w(word);
        if (text_.compare(pos_, w.size(), w) != 0)
            return false;
        pos_ += w.size();
        return true;
    }
    bool StringValue(std::string& out) {
        if (text_[pos_] != '"')
            return false;
        ++pos_;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c == '\\') {
                if (pos_ >= text_.size())
                    return false;
                c = text_[pos_++];
                if (c == 'u') {
                    if (pos_ + 4 > text_.size())
                        return false;
                    const unsigned code = std::stoul(text_.substr(pos_, 4), nullptr, 16);
                    pos_ += 4;
                    if (code >= 0x80)
                        return false; // not needed here
                    c = static_cast<char>(code);
                } else if (c == 'n') {
                    c = '\n';
                } else if (c != '"' && c != '\\' && c != '/') {
                    return false;
                }
            }
            out += c;
        }
        if (pos_ >= text_.size())
            return false;
        ++pos_;
        return true;
    }
    bool Value(Json& out) {
        Skip();
        if (pos_ >= text_.size())
            return false;
        const char c = text_[pos_];
        if (c == 'n' && Literal("null")) {
            out.value = nullptr;
            return true;
        }
        if (c == 't' && Literal("true")) {
            out.value = true;
            return true;
        }
        if (c == 'f' && Literal("false")) {
            out.value = false;
            return true;
        }
        if (c == '"') {
            std::string s;
            if (!StringValue(s))
                return false;
            out.value = s;
            return true;
        }
        if (c == '[') {
            ++pos_;
            JsonArray array;
            Skip();
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                out.value = array;
                return true;
            }
            while (true) {
                Json item;
                if (!Value(item))
                    return false;
                array.push_back(item);
                Skip();
                if (pos_ < text_.size() && text_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < text_.size() && text_[pos_] == ']') {
                    ++pos_;
                    out.value = array;
                    return true;
                }
                return false;
            }
        }
        if (c == '{') {
            ++pos_;
            JsonObject object;
            Skip();
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                out.value = object;
                return true;
            }
            while (true) {
                Skip();
                std::string key;
                if (pos_ >= text_.size() || !StringValue(key) || object.count(key))
                    return false;
                Skip();
                if (pos_ >= text_.size() || text_[pos_] != ':')
                    return false;
                ++pos_;
                Json item;
                if (!Value(item))
                    return false;
                object.emplace(key, item);
                Skip();
                if (pos_ < text_.size() && text_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < text_.size() && text_[pos_] == '}') {
                    ++pos_;
                    out.value = object;
                    return true;
                }
                return false;
            }
        }
        if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            std::size_t used = 0;
            out.value = std::stod(text_.substr(pos_), &used);
            pos_ += used;
            return used > 0;
        }
        return false;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
};

// --- Helpers ------------------------------------------------------------------------

// The lines of a program's output, without their CR LF.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// Every key under the store base with every value, raw: to prove a run left
// them alone byte for byte.
using StoreSnapshot = std::map<std::string, std::map<std::string, std::pair<DWORD, std::string>>>;

StoreSnapshot Snapshot() {
    StoreSnapshot snapshot;
    for (const std::string& name : StoreKeys()) {
        const std::string path = std::string(kStoreBase) + "\\" + name;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        auto& values = snapshot[name];
        for (DWORD i = 0;; ++i) {
            char valueName[256];
            DWORD nameSize = sizeof valueName;
            DWORD type = 0;
            BYTE data[8192];
            DWORD dataSize = sizeof data;
            if (RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, data, &dataSize) !=
                ERROR_SUCCESS)
                break;
            values[std::string(valueName, nameSize)] = {
                type, std::string(reinterpret_cast<char*>(data), dataSize)};
        }
        RegCloseKey(key);
    }
    return snapshot;
}

// A foreign policy with a rule and a filter list, and the platform's
// negotiation policy that every rule refers to.
void StoreForeignPolicy() {
    const ipseccfg::Guid foreign{
        0x11111111u, 0x2222u, 0x3333u, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    auto model = PolicyModel::CreateDefault(foreign);
    ASSERT_TRUE(model);
    ASSERT_TRUE(model->AddServiceRule("ForeignRule", false, 0x0A0A0A0Au, 80, u"theirs"));
    ASSERT_TRUE(model->Save());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ipseccfg::kNegotiationPolicyPath, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char owners[] = "platform\0";
    RegSetValueExA(key, "ipsecOwnersReference", 0, REG_MULTI_SZ,
                   reinterpret_cast<const BYTE*>(owners), sizeof owners);
    RegCloseKey(key);
}

class ConsoleTwin : public AgentSuite {
  protected:
    void SetUp() override {
        ASSERT_TRUE(agent_ && agent_->ok());
        Reset();
    }

    static void Reset() {
        ASSERT_TRUE(StopAgent());
        ASSERT_TRUE(SetAgentStartType(SERVICE_DEMAND_START));
        SetAgentMode("run");
        ClearAgentLog();
        ClearStore();
    }

    // What a run left behind, to compare the two programs' effects.
    struct Effect {
        std::vector<std::string> keys; // kinds only: the GUIDs are new each run
        std::string activePolicy;
        std::vector<std::string> rules; // "a.b.c.d:port key" of each service rule
        std::vector<std::string> agentLog;
        bool operator==(const Effect&) const = default;
    };

    static Effect CurrentEffect() {
        Effect effect;
        for (const std::string& key : StoreKeys())
            effect.keys.push_back(key.substr(0, key.find('{')));
        effect.activePolicy = ActivePolicy();
        auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
        model->Load();
        for (const auto& list : model->filterLists) {
            if (list.ipsecName.rfind("DravService", 0) != 0 || list.specs.empty() ||
                list.ownersReference.empty())
                continue;
            const auto& a = list.specs[0].destinationAddress;
            std::string key;
            for (char16_t c : model->GetRuleKey(list.ownersReference[0]))
                key += static_cast<char>(c);
            effect.rules.push_back(std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                                   std::to_string(a[2]) + "." + std::to_string(a[3]) + ":" +
                                   std::to_string(list.specs[0].destinationPort) + " " + key);
        }
        effect.agentLog = AgentLog();
        return effect;
    }

    // "show" through the twin: text and JSON, checked against each other and
    // against the window program's exit code. Returns the parsed object.
    static JsonObject Show(int expectedExit) {
        const CapturedRun text = RunCaptured(kConsoleProgram, L"/show");
        EXPECT_EQ(text.exitCode, expectedExit) << text.out << text.err;
        // With the blank cmd.exe leaves before a redirection.
        const CapturedRun json = RunCaptured(kConsoleProgram, L"-SHOW -Json ");
        EXPECT_EQ(json.exitCode, expectedExit) << json.out << json.err;
        const CapturedRun window = RunCaptured(kWindowProgram, L"/show /json");
        EXPECT_EQ(window.exitCode, expectedExit);
        EXPECT_EQ(window.out + window.err, "");
        lastText_ = Lines(text.out);
        lastErr_ = Lines(json.err);

        Json parsed;
        EXPECT_TRUE(JsonReader(json.out).Read(parsed)) << json.out;
        if (!std::holds_alternative<JsonObject>(parsed.value)) {
            ADD_FAILURE() << "no JSON object: " << json.out;
            return {};
        }
        JsonObject object = parsed.Object();
        std::vector<std::string> keys;
        for (const auto& [key, value] : object)
            keys.push_back(key);
        EXPECT_EQ(keys,
                  (std::vector<std::string>{"activePolicy", "address", "agent", "configured",
                                            "otherPolicy", "ports", "presharedKey", "protected"}));
        return object;
    }

    static bool HasLine(const std::string& line) {
        for (const auto& l : lastText_)
            if (l == line)
                return true;
        return false;
    }

    static std::vector<double> Ports(const JsonObject& o) {
        std::vector<double> ports;
        for (const Json& p : o.at("ports").Array())
            ports.push_back(std::get<double>(p.value));
        return ports;
    }

    static std::vector<std::string> lastText_;
    static std::vector<std::string> lastErr_;
};

std::vector<std::string> ConsoleTwin::lastText_;
std::vector<std::string> ConsoleTwin::lastErr_;

// --- The command lines of today through both programs -----------------------------------

TEST_F(ConsoleTwin, EveryCommandLineGivesTheSameResultThroughBothAndTheTwinSaysWhat) {
    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::wstring> lines;
        std::vector<int> exits;
        std::string lastMessage; // the twin's one line on standard error for the last line
    };
    const std::string empty =
        "Switch not understood: \"\" (two blanks in a row or a blank at the end of the line).";
    const std::vector<Row> rows = {
        {"activate",
         [] {},
         {L"-A10.0.0.1 -P3260 -KMySecret"},
         {0},
         "IP Security activated for 10.0.0.1, ports 3260 and 3261."},
        {"update in place",
         [] {},
         {L"/a192.168.0.5 /p3260 /kone", L"-a192.168.0.6 -p65535 -ktwo"},
         {0, 0},
         "IP Security activated for 192.168.0.6, ports 65535 and 0."},
        {"deactivate",
         [] {},
         {L"-a10.0.0.1 -kk", L"-u"},
         {0, 0},
         "IP Security deactivated: the service rules were removed."},
        {"foreign policy active",
         [] { WriteActivePolicy(kForeignPolicyPath); },
         {L"-a10.0.0.1"},
         {0},
         "IP Security activated for 10.0.0.1, ports 3260 and 3261."},
        {"unknown switch", [] {}, {L"-x1"}, {1}, "Switch not understood: \"-x1\"."},
        {"no switch", [] {}, {L"a10.0.0.1"}, {1}, "Switch not understood: \"a10.0.0.1\"."},
        {"two blanks", [] {}, {L"-p3260  -u"}, {1}, empty},
        {"trailing blank", [] {}, {L"-u "}, {1}, empty},
        {"port 0", [] {}, {L"-p0"}, {1}, "Invalid port number."},
        {"port 65536", [] {}, {L"-p65536"}, {1}, "Invalid port number."},
        {"port -1", [] {}, {L"-p-1"}, {1}, "Invalid port number."},
        {"port 12a then key", [] {}, {L"-p12a -k a"}, {1}, "Switch not understood: \"a\"."},
        {"key with blank", [] {}, {L"-kmy key"}, {1}, "Switch not understood: \"key\"."},
        {"unresolvable address",
         [] {},
         {L"-axxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
         {1},
         "Invalid IP address."},
        {"agent disabled",
         [] {
             SetAgentStartType(SERVICE_DISABLED);
             WriteActivePolicy(kForeignPolicyPath);
         },
         {L"-a10.0.0.1"},
         {2},
         "The IP Security settings could not be applied. The policy agent (\"PolicyAgent\") "
         "could not be started."},
        {"agent stops at start",
         [] { SetAgentMode("fail"); },
         {L"-u"},
         {2},
         "The IP Security settings could not be applied. The policy agent (\"PolicyAgent\") "
         "could not be started."},
    };
    for (const Row& row : rows) {
        std::map<const wchar_t*, Effect> effects;
        for (const wchar_t* program : {kWindowProgram, kConsoleProgram}) {
            Reset();
            row.arrange();
            CapturedRun run;
            for (std::size_t i = 0; i < row.lines.size(); ++i) {
                run = RunCaptured(program, row.lines[i]);
                EXPECT_EQ(run.exitCode, row.exits[i]) << row.name;
            }
            if (program == kWindowProgram) {
                EXPECT_EQ(run.out + run.err, "") << row.name;
            } else {
                EXPECT_EQ(run.out, "") << row.name;
                EXPECT_EQ(Lines(run.err), std::vector<std::string>{row.lastMessage}) << row.name;
            }
            effects[program] = CurrentEffect();
        }
        EXPECT_EQ(effects[kWindowProgram], effects[kConsoleProgram]) << row.name;
    }
    SetAgentStartType(SERVICE_DEMAND_START);
}

TEST_F(ConsoleTwin, HelpNamesEverySwitchAndWindowProgramStaysSilent) {
    for (const wchar_t* help : {L"/?", L"-?", L"/help", L"/HELP"}) {
        const CapturedRun twin = RunCaptured(kConsoleProgram, help);
        EXPECT_EQ(twin.exitCode, 0);
        EXPECT_EQ(twin.err, "");
        for (const char* word : {"-a", "-p", "-k", "-u", "/show", "/json", "/remove", "/?"})
            EXPECT_NE(twin.out.find(word), std::string::npos) << word;
        const CapturedRun window = RunCaptured(kWindowProgram, help);
        EXPECT_EQ(window.exitCode, 0);
        EXPECT_EQ(window.out + window.err, "");
    }
    EXPECT_TRUE(StoreKeys().empty());
    EXPECT_TRUE(AgentLog().empty());
}

// --- "show" -----------------------------------------------------------------------------

TEST_F(ConsoleTwin, ShowInEachState) {
    // Nothing stored, agent stopped.
    JsonObject o = Show(3);
    EXPECT_FALSE(o.at("protected").Bool());
    EXPECT_FALSE(o.at("configured").Bool());
    EXPECT_TRUE(o.at("address").IsNull());
    EXPECT_TRUE(Ports(o).empty());
    EXPECT_TRUE(o.at("presharedKey").IsNull());
    EXPECT_EQ(o.at("activePolicy").String(), "none");
    EXPECT_TRUE(o.at("otherPolicy").IsNull());
    EXPECT_EQ(o.at("agent").String(), "stopped");
    EXPECT_TRUE(HasLine("Protected: no"));
    EXPECT_TRUE(HasLine("Active policy: none"));
    EXPECT_TRUE(HasLine("Policy agent: stopped"));

    // Applied and active.
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1 -p3260 -ksecret"), 0);
    const auto stored = Snapshot();
    o = Show(0);
    EXPECT_TRUE(o.at("protected").Bool());
    EXPECT_TRUE(o.at("configured").Bool());
    EXPECT_EQ(o.at("address").String(), "10.0.0.1");
    EXPECT_EQ(Ports(o), (std::vector<double>{3260, 3261}));
    EXPECT_EQ(o.at("presharedKey").String(), "set");
    EXPECT_EQ(o.at("activePolicy").String(), "configurator");
    EXPECT_EQ(o.at("agent").String(), "running");
    EXPECT_TRUE(HasLine("Protected: yes"));
    EXPECT_TRUE(HasLine("Server address: 10.0.0.1"));
    EXPECT_TRUE(HasLine("Ports: 3260 3261"));
    EXPECT_TRUE(HasLine("Preshared key: set"));
    EXPECT_TRUE(HasLine("Active policy: configurator"));
    EXPECT_TRUE(HasLine("Policy agent: running"));
    for (const auto& line : lastText_)
        EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    // Looking changed nothing and told the agent nothing more.
    EXPECT_EQ(Snapshot(), stored);
    EXPECT_EQ(AgentLog().size(), 2u);

    // The agent stopped: still our policy with both rules.
    ASSERT_TRUE(StopAgent());
    o = Show(0);
    EXPECT_EQ(o.at("agent").String(), "stopped");
    EXPECT_TRUE(HasLine("Policy agent: stopped"));

    // Another policy active.
    WriteActivePolicy(kForeignPolicyPath);
    o = Show(3);
    EXPECT_FALSE(o.at("protected").Bool());
    EXPECT_TRUE(o.at("configured").Bool());
    EXPECT_EQ(o.at("activePolicy").String(), "other");
    EXPECT_EQ(o.at("otherPolicy").String(), kForeignPolicyPath);
    EXPECT_TRUE(HasLine(std::string("Active policy: other (") + kForeignPolicyPath + ")"));

    // After -u.
    ASSERT_EQ(RunConfigurator(L"-u"), 0);
    o = Show(3);
    EXPECT_FALSE(o.at("protected").Bool());
    EXPECT_FALSE(o.at("configured").Bool());
    EXPECT_TRUE(Ports(o).empty());
    EXPECT_TRUE(o.at("address").IsNull());
    EXPECT_EQ(o.at("activePolicy").String(), "configurator");

    // A damaged blob: reported as such, never as a valid configuration.
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1 -p3260 -ksecret"), 0);
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kOurPolicyPath, 0, KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        const BYTE junk[3] = {1, 2, 3};
        RegSetValueExA(key, "ipsecData", 0, REG_BINARY, junk, sizeof junk);
        RegCloseKey(key);
    }
    o = Show(2);
    EXPECT_FALSE(o.at("protected").Bool());
    EXPECT_FALSE(o.at("configured").Bool());
    EXPECT_TRUE(o.at("address").IsNull());
    EXPECT_TRUE(HasLine(std::string("Stored policy: damaged (") + kOurPolicyPath + ")"));
    EXPECT_EQ(lastErr_, std::vector<std::string>{std::string("The stored policy is damaged: ") +
                                                 kOurPolicyPath + "."});

    // The agent not installed at all.
    ClearStore();
    agent_.reset();
    ASSERT_EQ(AgentState(), 0u) << "a PolicyAgent of the prefix's own stays installed";
    o = Show(3);
    EXPECT_EQ(o.at("agent").String(), "missing");
    EXPECT_TRUE(HasLine("Policy agent: not installed"));
    agent_ = std::make_unique<AgentInstallation>();
}

// --- "remove" ---------------------------------------------------------------------------

TEST_F(ConsoleTwin, RemoveAfterApplyTwiceAndWithStoppedAgent) {
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1 -p3260 -ksecret"), 0);
    ClearAgentLog();
    CapturedRun run = RunCaptured(kConsoleProgram, L"/remove");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Lines(run.err),
              std::vector<std::string>{"The IP Security configuration was removed."});
    EXPECT_TRUE(StoreKeys().empty());
    EXPECT_EQ(ActivePolicy(), "(missing)");
    // The running agent heard of it after "ActivePolicy" was gone.
    EXPECT_EQ(AgentLog(), std::vector<std::string>{"control 129 (none)"});

    run = RunCaptured(kConsoleProgram, L"-REMOVE");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Lines(run.err), std::vector<std::string>{"No IP Security configuration was stored."});
    EXPECT_EQ(AgentLog().size(), 1u);
    EXPECT_EQ(RunCaptured(kWindowProgram, L"/remove").exitCode, 0);

    // A stopped agent is not started for it.
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1"), 0);
    ASSERT_TRUE(StopAgent());
    ClearAgentLog();
    run = RunCaptured(kWindowProgram, L"/remove");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_TRUE(StoreKeys().empty());
    EXPECT_EQ(ActivePolicy(), "(missing)");
    EXPECT_TRUE(AgentLog().empty());
    EXPECT_EQ(AgentState(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ConsoleTwin, RemoveLeavesForeignPolicyAndNegotiationPolicyByteForByte) {
    StoreForeignPolicy();
    const StoreSnapshot foreignOnly = Snapshot();
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1 -p3260 -ksecret"), 0);
    WriteActivePolicy(kForeignPolicyPath);
    ClearAgentLog();
    for (const wchar_t* program : {kWindowProgram, kConsoleProgram}) {
        EXPECT_EQ(RunCaptured(program, L"/remove").exitCode, 0);
        EXPECT_EQ(Snapshot(), foreignOnly);
        EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
        EXPECT_TRUE(AgentLog().empty());
    }
}

} // namespace
