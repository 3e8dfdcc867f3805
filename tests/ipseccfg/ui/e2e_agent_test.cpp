// Activation against the real service control manager under Wine, with the
// stand-in policy agent scripted into every branch.
#include <gtest/gtest.h>

#include <memory>

#include "e2e_support_win32.h"
#include "ops/policy_store_ops.h"
#include "policy/policy_types.h"

namespace {

using namespace e2e;
using ipseccfg::ActivatePolicy;
using ipseccfg::ConfiguratorPolicyGuid;

class AgentActivation : public AgentSuite {
  protected:
    void SetUp() override {
        ASSERT_TRUE(agent_ && agent_->ok());
        ASSERT_TRUE(StopAgent());
        ASSERT_TRUE(SetAgentStartType(SERVICE_DEMAND_START));
        SetAgentMode("run");
        ClearAgentLog();
        ClearStore();
        WriteActivePolicy(kForeignPolicyPath);
    }
};

TEST_F(AgentActivation, StoppedAgentIsStartedThenToldAfterPolicyIsRecorded) {
    ASSERT_TRUE(ActivatePolicy(ConfiguratorPolicyGuid));
    EXPECT_EQ(AgentState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ActivePolicy(), kOurPolicyPath);
    const auto log = AgentLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "start run");
    EXPECT_EQ(log[1], std::string("control 129 ") + kOurPolicyPath);
}

TEST_F(AgentActivation, RunningAgentIsOnlyTold) {
    ASSERT_TRUE(StartAgent());
    ASSERT_TRUE(WaitAgentState(SERVICE_RUNNING, 20000));
    ASSERT_TRUE(ActivatePolicy(ConfiguratorPolicyGuid));
    const auto log = AgentLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], std::string("control 129 ") + kOurPolicyPath);
}

TEST_F(AgentActivation, AgentThatNeverRunsFailsWithoutRecordingPolicy) {
    // Stays start-pending longer than the configurator polls.
    SetAgentMode("pending", 12000);
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid));
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
    EXPECT_EQ(AgentLog(), std::vector<std::string>{"start pending"});
    EXPECT_TRUE(WaitAgentState(SERVICE_STOPPED, 20000));
}

TEST_F(AgentActivation, AgentFoundPendingFailsAtOnce) {
    SetAgentMode("pending", 4000);
    ASSERT_TRUE(StartAgent());
    ASSERT_EQ(AgentState(), static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid));
    // Failed without waiting: the agent is still pending.
    EXPECT_EQ(AgentState(), static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
    EXPECT_TRUE(WaitAgentState(SERVICE_STOPPED, 20000));
}

TEST_F(AgentActivation, AgentThatStopsAtStartFails) {
    SetAgentMode("fail");
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid));
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
    EXPECT_EQ(AgentLog(), std::vector<std::string>{"start fail"});
}

TEST_F(AgentActivation, DisabledAgentCannotBeStarted) {
    ASSERT_TRUE(SetAgentStartType(SERVICE_DISABLED));
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid));
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
    EXPECT_TRUE(AgentLog().empty());
}

TEST_F(AgentActivation, MissingAgentFailsWithoutRecordingPolicy) {
    agent_.reset(); // removes the service
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid));
    EXPECT_EQ(ActivePolicy(), kForeignPolicyPath);
    agent_ = std::make_unique<AgentInstallation>();
    ASSERT_TRUE(agent_ && agent_->ok());
}

TEST_F(AgentActivation, MissingStoreBaseKeyFailsBeforeControl) {
    ClearStore();
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kStoreBase), ERROR_SUCCESS);
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid));
    const auto log = AgentLog();
    ASSERT_EQ(log.size(), 1u); // started, never told
    EXPECT_EQ(log[0], "start run");
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStoreBase, 0, KEY_READ, &key), ERROR_SUCCESS);
}

} // namespace
