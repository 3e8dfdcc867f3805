// The configurator's apply step with every registry and service operation
// failing in turn, from each starting state of the store: nothing crashes,
// every handle is closed again, success is reported exactly when the
// configurator's policy is stored with the right rules, recorded in
// "ActivePolicy" and announced to the policy agent, and "ActivePolicy"
// never names a policy that is not stored.
#include "ops/policy_store_ops.h"
#include "policy/policy_model.h"
#include "store/memory_platform.h"
#include "store/registry_key.h"
#include "store/service_control.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace ipseccfg {
namespace {

const std::string kBase = kStoreBasePath;
const std::string kOurPolicy = kBase + "ipsecPolicy" + FormatGuid(ConfiguratorPolicyGuid);
const Guid kForeignGuid{0x11111111u, 0x2222, 0x3333, {0x44, 0x44, 5, 5, 5, 5, 5, 5}};
const std::string kForeignPolicy = kBase + "ipsecPolicy" + FormatGuid(kForeignGuid);
// Keys the probes below use; outside the store.
const std::string kProbeKey = "SOFTWARE\\RobustnessProbe";
constexpr std::uint32_t kAddress = 0xC0A8010Au; // 192.168.1.10
constexpr std::uint32_t kPort = 3260;

enum class Start {
    Empty,          // no store at all
    OursActive,     // the configurator's policy with its rules, active
    ForeignActive,  // another stored policy is active
    DanglingActive, // "ActivePolicy" names a policy that is not stored
};

const char* Name(Start s) {
    switch (s) {
    case Start::Empty:
        return "empty store";
    case Start::OursActive:
        return "own policy active";
    case Start::ForeignActive:
        return "foreign policy active";
    case Start::DanglingActive:
        return "dangling ActivePolicy";
    }
    return "?";
}

void NoSleep(unsigned) {}

std::string ActivePolicy() {
    CRegistryKey base;
    std::string text;
    if (!base.Open(kHkeyLocalMachine, kBase, OpenExisting, kKeyAllAccess) ||
        !base.ReadString(kActivePolicyValue, text))
        return "";
    return text;
}

bool PolicyStored(const std::string& path) {
    if (!standin::KeyExists(kHkeyLocalMachine, path))
        return false;
    for (const auto& name : standin::ValueNames(kHkeyLocalMachine, path))
        if (name == "ipsecData")
            return true;
    return false;
}

void Prepare(Start start, std::uint32_t agentState) {
    standin::ResetRegistry();
    standin::ResetServices();
    standin::ServiceScript script;
    script.state = agentState;
    script.queriesUntilRunning = 2;
    standin::InstallService(kPolicyAgentService, script);
    CRegistryKey probe;
    ASSERT_TRUE(probe.Open(kHkeyLocalMachine, kProbeKey, OpenExisting | CreateNew, kKeyAllAccess));
    ASSERT_TRUE(probe.WriteString("value", "probe"));
    probe.Close();
    switch (start) {
    case Start::Empty:
        break;
    case Start::OursActive:
        ASSERT_TRUE(ApplyConfiguration(0x0A000001u, 4000, u"oldkey", false, NoSleep));
        break;
    case Start::ForeignActive: {
        auto foreign = PolicyModel::CreateDefault(kForeignGuid);
        ASSERT_TRUE(foreign && foreign->Save());
        CRegistryKey base;
        ASSERT_TRUE(base.Open(kHkeyLocalMachine, kBase, OpenExisting, kKeyAllAccess));
        ASSERT_TRUE(base.WriteString(kActivePolicyValue, kForeignPolicy));
        break;
    }
    case Start::DanglingActive: {
        CRegistryKey base;
        ASSERT_TRUE(base.Open(kHkeyLocalMachine, kBase, OpenExisting | CreateNew, kKeyAllAccess));
        ASSERT_TRUE(base.WriteString(kActivePolicyValue, kForeignPolicy));
        break;
    }
    }
    standin::ResetServices();
    standin::InstallService(kPolicyAgentService, script);
}

// One operation of the kind, on keys outside the store: fails only when a
// failure of that kind is still armed, i.e. the apply step did not meet it.
bool ProbeFails(standin::RegOp op) {
    CRegistryKey key;
    switch (op) {
    case standin::RegOp::OpenKey:
        return !key.Open(kHkeyLocalMachine, kProbeKey, OpenExisting, kKeyAllAccess);
    case standin::RegOp::CreateKey: {
        const bool ok = key.Open(kHkeyLocalMachine, kProbeKey + "\\new", CreateNew, kKeyAllAccess);
        key.Close();
        CRegistryKey::DeleteKey(kHkeyLocalMachine, kProbeKey + "\\new");
        return !ok;
    }
    case standin::RegOp::QueryValue: {
        std::string text;
        return !key.Open(kHkeyLocalMachine, kProbeKey, OpenExisting, kKeyAllAccess) ||
               !key.ReadString("value", text);
    }
    case standin::RegOp::SetValue:
        return !key.Open(kHkeyLocalMachine, kProbeKey, OpenExisting, kKeyAllAccess) ||
               !key.WriteString("value", "probe");
    case standin::RegOp::DeleteKey:
        if (!key.Open(kHkeyLocalMachine, kProbeKey + "\\gone", OpenExisting | CreateNew,
                      kKeyAllAccess))
            return false;
        key.Close();
        return !CRegistryKey::DeleteKey(kHkeyLocalMachine, kProbeKey + "\\gone");
    }
    return false;
}

struct Totals {
    int runs = 0;
    int reportedFailures = 0;
};

// The checks that hold after every apply, failed or not.
void CheckOutcome(bool ok, bool deactivate, const std::string& activeBefore, bool danglingBefore,
                  std::size_t controlsBefore, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(standin::OpenRegistryHandles(), 0) << "a registry handle was left open";
    EXPECT_EQ(standin::OpenServiceHandles(), 0) << "a service handle was left open";

    const std::string active = ActivePolicy();
    if (!active.empty()) {
        // Only a pointer that dangled before the run may dangle after it.
        EXPECT_TRUE(PolicyStored(active) || (active == activeBefore && danglingBefore))
            << "\"ActivePolicy\" names " << active << ", which is not stored";
    }

    std::uint32_t address = 0, port = 0;
    std::u16string key;
    const bool rules = ReadCurrentSettings(address, port, key);
    const bool rulesRight =
        deactivate ? !rules : (rules && address == kAddress && port == kPort && key == u"newkey");
    const auto controls = standin::ServiceHistory(kPolicyAgentService).controls;
    const bool announced = controls.size() > controlsBefore && controls.back() == 129;
    const bool complete =
        rulesRight && active == kOurPolicy && PolicyStored(kOurPolicy) && announced;
    if (ok) {
        EXPECT_TRUE(complete) << "success reported, but rules " << rulesRight << ", active '"
                              << active << "', announced " << announced;
    } else {
        EXPECT_FALSE(complete) << "failure reported for a complete apply";
    }
}

class ApplyFaults : public testing::TestWithParam<Start> {
  protected:
    void TearDown() override {
        standin::ClearRegistryFailures();
        standin::ResetRegistry();
        standin::ResetServices();
    }
};

TEST_P(ApplyFaults, EachRegistryOperationFailingInTurn) {
    const Start start = GetParam();
    Totals totals;
    for (bool deactivate : {false, true}) {
        for (auto op :
             {standin::RegOp::OpenKey, standin::RegOp::CreateKey, standin::RegOp::QueryValue,
              standin::RegOp::SetValue, standin::RegOp::DeleteKey}) {
            int skip = 0;
            for (; skip < 2000; ++skip) {
                Prepare(start, kServiceRunning);
                const std::string activeBefore = ActivePolicy();
                const bool danglingBefore = !activeBefore.empty() && !PolicyStored(activeBefore);
                const auto controlsBefore =
                    standin::ServiceHistory(kPolicyAgentService).controls.size();
                standin::FailRegistry(op, {}, 1, skip);
                const bool ok = ApplyConfiguration(kAddress, kPort, u"newkey", deactivate, NoSleep);
                const bool metFailure = !ProbeFails(op);
                standin::ClearRegistryFailures();
                if (!metFailure)
                    break; // the apply step has fewer operations of this kind
                ++totals.runs;
                totals.reportedFailures += !ok;
                CheckOutcome(ok, deactivate, activeBefore, danglingBefore, controlsBefore,
                             std::string(deactivate ? "deactivate" : "activate") + ", operation " +
                                 std::to_string(static_cast<int>(op)) + " number " +
                                 std::to_string(skip) + " fails");
                if (HasFatalFailure())
                    return;
            }
            EXPECT_LT(skip, 2000);
        }
    }
    std::printf("%s: %d registry faults injected, %d reported as failure\n", Name(start),
                totals.runs, totals.reportedFailures);
    EXPECT_GT(totals.runs, 0);
}

TEST_P(ApplyFaults, EachServiceOperationFailing) {
    const Start start = GetParam();
    for (std::uint32_t agentState : {kServiceStopped, kServiceRunning}) {
        for (bool deactivate : {false, true}) {
            for (auto op : {standin::ServiceOp::OpenManager, standin::ServiceOp::OpenService,
                            standin::ServiceOp::Query, standin::ServiceOp::Start,
                            standin::ServiceOp::Control}) {
                Prepare(start, agentState);
                const std::string activeBefore = ActivePolicy();
                const bool danglingBefore = !activeBefore.empty() && !PolicyStored(activeBefore);
                const auto controlsBefore =
                    standin::ServiceHistory(kPolicyAgentService).controls.size();
                standin::FailService(op, 1);
                const bool ok = ApplyConfiguration(kAddress, kPort, u"newkey", deactivate, NoSleep);
                CheckOutcome(ok, deactivate, activeBefore, danglingBefore, controlsBefore,
                             std::string("agent state ") + std::to_string(agentState) +
                                 ", service operation " + std::to_string(static_cast<int>(op)));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, ApplyFaults,
                         testing::Values(Start::Empty, Start::OursActive, Start::ForeignActive,
                                         Start::DanglingActive),
                         [](const testing::TestParamInfo<Start>& info) {
                             std::string n = Name(info.param);
                             for (auto& c : n)
                                 if (c == ' ')
                                     c = '_';
                             return n;
                         });

} // namespace
} // namespace ipseccfg
