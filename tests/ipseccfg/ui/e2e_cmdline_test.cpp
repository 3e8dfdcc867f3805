// The real configurator program run with switches under Wine, against the
// real registry and the stand-in policy agent service.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

#include "e2e_support_win32.h"
#include "policy/policy_model.h"
#include "policy/store_objects.h"

namespace {

using namespace e2e;
using ipseccfg::ConfiguratorPolicyGuid;
using ipseccfg::PolicyModel;

class CommandLineRun : public AgentSuite {
  protected:
    void SetUp() override {
        ASSERT_TRUE(agent_ && agent_->ok());
        ASSERT_TRUE(StopAgent());
        SetAgentMode("run");
        ClearAgentLog();
        ClearStore();
    }

    struct ServiceRule {
        std::array<std::uint8_t, 4> address;
        std::uint16_t port;
        std::u16string key;
    };

    static std::vector<ServiceRule> StoredServiceRules(bool* loaded = nullptr) {
        auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
        const bool ok = model->Load();
        if (loaded)
            *loaded = ok;
        std::vector<ServiceRule> rules;
        for (const auto& list : model->filterLists) {
            if (list.ipsecName.rfind("DravService", 0) != 0 || list.specs.empty() ||
                list.ownersReference.empty())
                continue;
            rules.push_back({list.specs[0].destinationAddress, list.specs[0].destinationPort,
                             model->GetRuleKey(list.ownersReference[0])});
        }
        return rules;
    }
};

TEST_F(CommandLineRun, ActivatesPolicyWithLowerCasedSwitchesAndNotifiesAgent) {
    ASSERT_EQ(RunConfigurator(L"-A10.0.0.1 -P3260 -KMySecret"), 0);

    EXPECT_EQ(ActivePolicy(), kOurPolicyPath);

    bool loaded = false;
    const auto rules = StoredServiceRules(&loaded);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].address, (std::array<std::uint8_t, 4>{10, 0, 0, 1}));
    EXPECT_EQ(rules[0].port, 3260);
    EXPECT_EQ(rules[1].port, 3261);
    EXPECT_EQ(rules[0].key, u"mysecret");
    EXPECT_EQ(rules[1].key, u"mysecret");
    // Policy, ISAKMP policy, three rules, two filter lists.
    EXPECT_EQ(StoreKeys().size(), 7u);

    // The agent was started and saw the new active policy with the control.
    const auto log = AgentLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "start run");
    EXPECT_EQ(log[1], std::string("control 129 ") + kOurPolicyPath);
}

TEST_F(CommandLineRun, SlashSwitchesAndRepeatedRunsUpdateInPlace) {
    ASSERT_EQ(RunConfigurator(L"/a192.168.0.5 /p3260 /kone"), 0);
    const auto keys = StoreKeys();
    ASSERT_EQ(RunConfigurator(L"-a192.168.0.6 -p65535 -ktwo"), 0);
    EXPECT_EQ(StoreKeys(), keys);
    const auto rules = StoredServiceRules();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].address, (std::array<std::uint8_t, 4>{192, 168, 0, 6}));
    EXPECT_EQ(rules[0].port, 65535);
    EXPECT_EQ(rules[1].port, 0);
    EXPECT_EQ(rules[0].key, u"two");
    // Running agent: no second start, one control per run.
    const auto log = AgentLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "start run"), 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("control 129", 0) == 0; }),
              2);
}

TEST_F(CommandLineRun, DeactivateRemovesServiceRulesAndKeepsPolicyActive) {
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1 -kk"), 0);
    ASSERT_EQ(RunConfigurator(L"-u"), 0);
    bool loaded = false;
    EXPECT_TRUE(StoredServiceRules(&loaded).empty());
    EXPECT_TRUE(loaded);
    EXPECT_EQ(ActivePolicy(), kOurPolicyPath);
    EXPECT_EQ(StoreKeys().size(), 3u);
}

TEST_F(CommandLineRun, RejectedLinesExitWithOneAndChangeNothing) {
    WriteActivePolicy(kForeignPolicyPath);
    for (const wchar_t* line :
         {L"-x1", L"a10.0.0.1", L"-p3260  -u", L"-p0", L"-p65536", L"-p-1", L"-p12a -k a",
          L"-kmy key",
          // A label too long to be sent as a DNS query: the lookup fails
          // without leaving the machine.
          L"-axxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}) {
        EXPECT_EQ(RunConfigurator(line), 1) << std::wstring(line).size();
    }
    EXPECT_TRUE(StoreKeys().empty());
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
    EXPECT_TRUE(AgentLog().empty());
}

TEST_F(CommandLineRun, AppliesEvenWhileAnotherPolicyIsActive) {
    WriteActivePolicy(kForeignPolicyPath);
    ASSERT_EQ(RunConfigurator(L"-a10.0.0.1"), 0);
    EXPECT_EQ(ActivePolicy(), kOurPolicyPath);
    const auto rules = StoredServiceRules();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].port, 3260);
    EXPECT_EQ(rules[0].key, u"");
}

TEST_F(CommandLineRun, FailedActivationExitsWithTwo) {
    ASSERT_TRUE(SetAgentStartType(SERVICE_DISABLED));
    WriteActivePolicy(kForeignPolicyPath);
    EXPECT_EQ(RunConfigurator(L"-a10.0.0.1"), 2);
    ASSERT_TRUE(SetAgentStartType(SERVICE_DEMAND_START));
    // The policy is stored, but the agent could not be started, so the
    // foreign policy stays recorded.
    EXPECT_EQ(StoredServiceRules().size(), 2u);
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);

    // An agent that stops right at its start fails the run too.
    SetAgentMode("fail");
    EXPECT_EQ(RunConfigurator(L"-u"), 2);
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
}

} // namespace
