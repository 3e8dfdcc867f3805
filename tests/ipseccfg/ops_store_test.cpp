// Store operations on the in-memory registry and service stand-in: what is
// active, read-back, activation through a scripted policy agent, and the
// apply step with failures injected at every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ops/policy_store_ops.h"
#include "policy/policy_model.h"
#include "policy/store_objects.h"
#include "store/memory_platform.h"
#include "store/registry_key.h"
#include "store/service_control.h"

namespace ipseccfg {
namespace {

const std::string kBase = kStoreBasePath;
const std::string kOurPolicyPath = kBase + "ipsecPolicy{07F7805E-A746-486C-B1FF-5A6A33DE185D}";
const std::string kForeignPolicyPath = kBase + "ipsecPolicy{11111111-2222-3333-4444-555555555555}";
const std::uint32_t kAddress = 0xC0A80005u; // 192.168.0.5

class StoreOps : public ::testing::Test {
  protected:
    void SetUp() override {
        standin::ResetRegistry();
        standin::ResetServices();
        CRegistryKey base;
        ASSERT_TRUE(base.Open(kHkeyLocalMachine, kBase, OpenExisting | CreateNew, kKeyAllAccess));
        InstallAgent(standin::ServiceScript{kServiceRunning});
    }
    void TearDown() override {
        standin::ClearRegistryFailures();
        // Every operation releases what it opened, on every path.
        EXPECT_EQ(standin::OpenRegistryHandles(), 0);
        EXPECT_EQ(standin::OpenServiceHandles(), 0);
    }

    static void InstallAgent(const standin::ServiceScript& script) {
        standin::ResetServices();
        standin::InstallService(kPolicyAgentService, script);
    }

    static std::string ActivePolicyText() {
        CRegistryKey base;
        std::uint32_t type = 0;
        Bytes bytes;
        if (!base.Open(kHkeyLocalMachine, kBase, OpenExisting, kKeyAllAccess) ||
            !base.ReadValue(kActivePolicyValue, type, bytes))
            return "(missing)";
        return std::string(bytes.begin(), bytes.end());
    }

    static void WriteActivePolicy(const std::string& text) {
        CRegistryKey base;
        ASSERT_TRUE(base.Open(kHkeyLocalMachine, kBase, OpenExisting, kKeyAllAccess));
        ASSERT_TRUE(base.WriteString(kActivePolicyValue, text));
    }

    static std::unique_ptr<PolicyModel> Stored(bool* loaded = nullptr) {
        auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
        const bool ok = model->Load();
        if (loaded)
            *loaded = ok;
        return model;
    }

    static std::vector<const FilterList*> ServiceLists(const PolicyModel& model) {
        std::vector<const FilterList*> lists;
        for (const auto& list : model.filterLists)
            if (list.ipsecName.rfind(kServiceRuleName, 0) == 0)
                lists.push_back(&list);
        return lists;
    }

    static const RuleObject* Owner(const PolicyModel& model, const FilterList& list) {
        for (const auto& rule : model.rules)
            if (!list.ownersReference.empty() && ObjectPath(rule) == list.ownersReference.front())
                return &rule;
        return nullptr;
    }

    static bool PolicyStored(const std::string& path) {
        return standin::KeyExists(kHkeyLocalMachine, path);
    }

    static std::vector<std::string> StoreKeys() {
        return standin::SubKeys(kHkeyLocalMachine, kBase);
    }

    static std::vector<std::uint32_t> Controls() {
        return standin::ServiceHistory(kPolicyAgentService).controls;
    }
};

// Counts the pauses between polls instead of sleeping.
struct PauseCounter {
    std::vector<unsigned> pauses;
    SleepFunction fn() {
        return [this](unsigned ms) { pauses.push_back(ms); };
    }
};

// --- What is active ---------------------------------------------------------

TEST_F(StoreOps, ReadActivePolicyClassifiesStoredText) {
    Guid guid;
    EXPECT_FALSE(ReadActivePolicy(&guid)); // no value
    WriteActivePolicy("");
    EXPECT_FALSE(ReadActivePolicy(&guid));
    EXPECT_FALSE(IsForeignPolicyActive());

    WriteActivePolicy(kOurPolicyPath);
    ASSERT_TRUE(ReadActivePolicy(&guid));
    EXPECT_EQ(guid, ConfiguratorPolicyGuid);
    EXPECT_TRUE(ReadActivePolicy());
    EXPECT_FALSE(IsForeignPolicyActive());

    WriteActivePolicy(kForeignPolicyPath);
    ASSERT_TRUE(ReadActivePolicy(&guid));
    EXPECT_EQ(FormatGuid(guid), "{11111111-2222-3333-4444-555555555555}");
    EXPECT_TRUE(IsForeignPolicyActive());
}

TEST_F(StoreOps, ActivePolicyWithoutGuidCountsAsForeign) {
    // Shorter than a braced GUID, and 38 characters that are none.
    for (const std::string& text :
         {std::string("x"), std::string("ipsecPolicy{07F7805E}"), std::string(37, 'A'),
          std::string(38, 'A'), kOurPolicyPath.substr(0, kOurPolicyPath.size() - 1)}) {
        WriteActivePolicy(text);
        Guid guid = ConfiguratorPolicyGuid;
        ASSERT_TRUE(ReadActivePolicy(&guid)) << text;
        EXPECT_EQ(guid, Guid{}) << text;
        EXPECT_TRUE(IsForeignPolicyActive()) << text;
    }
}

TEST_F(StoreOps, ActivePolicyOfWrongTypeOrUnreadableStoreIsNoPolicy) {
    CRegistryKey base;
    ASSERT_TRUE(base.Open(kHkeyLocalMachine, kBase, OpenExisting, kKeyAllAccess));
    const std::string path = kForeignPolicyPath;
    ASSERT_TRUE(base.WriteValue(kActivePolicyValue, kRegBinary, Bytes(path.begin(), path.end())));
    base.Close();
    EXPECT_FALSE(ReadActivePolicy());

    WriteActivePolicy(kForeignPolicyPath);
    standin::FailRegistry(standin::RegOp::OpenKey, {}, -1);
    EXPECT_FALSE(ReadActivePolicy());
    EXPECT_FALSE(IsForeignPolicyActive());
}

// --- Activation ---------------------------------------------------------------

TEST_F(StoreOps, ActivateRunningAgentRecordsPolicyThenSendsControl) {
    PauseCounter pauses;
    ASSERT_TRUE(ActivatePolicy(ConfiguratorPolicyGuid, pauses.fn()));
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath); // no terminating NUL stored
    const auto history = standin::ServiceHistory(kPolicyAgentService);
    EXPECT_EQ(history.starts, 0);
    EXPECT_EQ(history.controls, std::vector<std::uint32_t>{129});
    EXPECT_EQ(history.lastOpenAccess, 0x114u);
    EXPECT_TRUE(pauses.pauses.empty());
}

TEST_F(StoreOps, ActivateStartsStoppedAgentAndPollsUntilRunning) {
    standin::ServiceScript script;
    script.state = kServiceStopped;
    script.queriesUntilRunning = 5;
    InstallAgent(script);
    PauseCounter pauses;
    ASSERT_TRUE(ActivatePolicy(ConfiguratorPolicyGuid, pauses.fn()));
    EXPECT_EQ(standin::ServiceHistory(kPolicyAgentService).starts, 1);
    EXPECT_EQ(Controls(), std::vector<std::uint32_t>{129});
    ASSERT_FALSE(pauses.pauses.empty());
    EXPECT_LT(pauses.pauses.size(), 200u);
    for (unsigned ms : pauses.pauses)
        EXPECT_EQ(ms, 50u);
}

TEST_F(StoreOps, ActivateGivesUpAfter200PollsWithoutTouchingActivePolicy) {
    standin::ServiceScript script;
    script.state = kServiceStopped;
    script.queriesUntilRunning = -1;
    InstallAgent(script);
    WriteActivePolicy(kForeignPolicyPath);
    PauseCounter pauses;
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, pauses.fn()));
    EXPECT_EQ(pauses.pauses.size(), 200u);
    EXPECT_EQ(ActivePolicyText(), kForeignPolicyPath);
    EXPECT_TRUE(Controls().empty());
}

TEST_F(StoreOps, ActivateFailsAtOnceForPendingAgent) {
    for (std::uint32_t pending : {kServiceStartPending, kServiceStopPending}) {
        standin::ServiceScript script;
        script.state = pending;
        InstallAgent(script);
        PauseCounter pauses;
        EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, pauses.fn())) << pending;
        EXPECT_TRUE(pauses.pauses.empty());
        EXPECT_EQ(standin::ServiceHistory(kPolicyAgentService).starts, 0);
        EXPECT_EQ(ActivePolicyText(), "(missing)");
    }
}

TEST_F(StoreOps, ActivateFailsWhenStartIsRefused) {
    standin::ServiceScript script;
    script.state = kServiceStopped;
    script.refuseStart = true;
    InstallAgent(script);
    PauseCounter pauses;
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, pauses.fn()));
    EXPECT_TRUE(pauses.pauses.empty());
    EXPECT_EQ(ActivePolicyText(), "(missing)");
}

TEST_F(StoreOps, ActivateStopsPollingWhenQueryFails) {
    standin::ServiceScript script;
    script.state = kServiceStopped;
    script.queriesUntilRunning = -1;
    InstallAgent(script);
    PauseCounter pauses;
    auto failSecondQuery = [&](unsigned ms) {
        pauses.pauses.push_back(ms);
        if (pauses.pauses.size() == 3)
            standin::FailService(standin::ServiceOp::Query);
    };
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, failSecondQuery));
    EXPECT_EQ(pauses.pauses.size(), 3u);
    EXPECT_EQ(ActivePolicyText(), "(missing)");
}

TEST_F(StoreOps, ActivateFailsWhenAgentCannotBeReached) {
    for (auto op : {standin::ServiceOp::OpenManager, standin::ServiceOp::OpenService,
                    standin::ServiceOp::Query}) {
        InstallAgent(standin::ServiceScript{kServiceRunning});
        standin::FailService(op);
        EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, PauseCounter{}.fn()));
        EXPECT_EQ(ActivePolicyText(), "(missing)");
        EXPECT_TRUE(Controls().empty());
    }
    standin::ResetServices(); // no agent installed at all
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, PauseCounter{}.fn()));
}

TEST_F(StoreOps, ActivateSendsNoControlWhenPolicyCannotBeRecorded) {
    standin::FailRegistry(standin::RegOp::OpenKey, {}, 1);
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, PauseCounter{}.fn()));
    EXPECT_TRUE(Controls().empty());

    standin::FailRegistry(standin::RegOp::SetValue, kActivePolicyValue, 1);
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, PauseCounter{}.fn()));
    EXPECT_TRUE(Controls().empty());
    EXPECT_EQ(ActivePolicyText(), "(missing)");

    // Nothing creates the base key behind the caller's back.
    standin::ResetRegistry();
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, PauseCounter{}.fn()));
    EXPECT_FALSE(standin::KeyExists(kHkeyLocalMachine, kBase));
}

TEST_F(StoreOps, ActivateReportsRefusedControlButKeepsRecordedPolicy) {
    standin::ServiceScript script;
    script.state = kServiceRunning;
    script.refuseControls = true;
    InstallAgent(script);
    EXPECT_FALSE(ActivatePolicy(ConfiguratorPolicyGuid, PauseCounter{}.fn()));
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath);
}

// --- Apply ------------------------------------------------------------------------

TEST_F(StoreOps, ActivatingFromScratchWritesBothServiceRulesAndActivates) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"secret", false, PauseCounter{}.fn()));
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath);
    EXPECT_EQ(Controls(), std::vector<std::uint32_t>{129});

    bool loaded = false;
    const auto model = Stored(&loaded);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(model->rules.size(), 3u);
    const auto lists = ServiceLists(*model);
    ASSERT_EQ(lists.size(), 2u);
    const std::uint16_t ports[] = {3260, 3261};
    for (std::size_t i = 0; i < 2; ++i) {
        const FilterSpec& spec = lists[i]->specs.at(0);
        EXPECT_EQ(spec.destinationAddress, (Ipv4Bytes{192, 168, 0, 5}));
        EXPECT_EQ(spec.destinationMask, (Ipv4Bytes{255, 255, 255, 255}));
        EXPECT_EQ(spec.sourceMask, (Ipv4Bytes{0, 0, 0, 0}));
        EXPECT_EQ(spec.destinationPort, ports[i]);
        EXPECT_EQ(spec.protocol, 6u);
        const RuleObject* owner = Owner(*model, *lists[i]);
        ASSERT_NE(owner, nullptr);
        EXPECT_EQ(owner->authMethods.at(0).method, 1u);
        EXPECT_EQ(owner->authMethods.at(0).text, u"secret");
    }

    std::uint32_t address = 0, port = 0;
    std::u16string key;
    ASSERT_TRUE(ReadCurrentSettings(address, port, key));
    EXPECT_EQ(address, kAddress);
    EXPECT_EQ(port, 3260u);
    EXPECT_EQ(key, u"secret");
}

TEST_F(StoreOps, DeactivatingFromScratchStoresEmptyPolicyAndActivatesIt) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"secret", true, PauseCounter{}.fn()));
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath);
    bool loaded = false;
    const auto model = Stored(&loaded);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(model->rules.size(), 1u); // default response rule only
    EXPECT_TRUE(model->filterLists.empty());
    std::uint32_t address = 1, port = 2;
    std::u16string key = u"kept";
    EXPECT_FALSE(ReadCurrentSettings(address, port, key));
    EXPECT_EQ(address, 1u);
    EXPECT_EQ(port, 2u);
    EXPECT_EQ(key, u"kept");
}

TEST_F(StoreOps, ActivatingAgainUpdatesRulesInPlace) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"first", false, PauseCounter{}.fn()));
    const auto keysBefore = StoreKeys();
    const auto before = Stored();
    ASSERT_TRUE(ApplyConfiguration(0x0A000001u, 4000, u"second", false, PauseCounter{}.fn()));
    const auto after = Stored();

    EXPECT_EQ(StoreKeys(), keysBefore); // same objects, nothing created
    ASSERT_EQ(after->rules.size(), before->rules.size());
    for (std::size_t i = 0; i < after->rules.size(); ++i)
        EXPECT_EQ(after->rules[i].ipsecId, before->rules[i].ipsecId);
    const auto lists = ServiceLists(*after);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0]->specs.at(0).destinationPort, 4000);
    EXPECT_EQ(lists[1]->specs.at(0).destinationPort, 4001);
    for (const auto* list : lists) {
        EXPECT_EQ(list->specs.at(0).destinationAddress, (Ipv4Bytes{10, 0, 0, 1}));
        EXPECT_EQ(Owner(*after, *list)->authMethods.at(0).text, u"second");
    }
    EXPECT_EQ(Controls(), (std::vector<std::uint32_t>{129, 129}));
}

TEST_F(StoreOps, WithOneRuleStoredTheOtherIsAdded) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    {
        // Drop the second service rule from the stored policy.
        auto model = Stored();
        const auto lists = ServiceLists(*model);
        ASSERT_EQ(lists.size(), 2u);
        const std::string second = lists[1]->ownersReference.at(0);
        model->RemoveRule(second);
        DeleteStoredPolicy(ConfiguratorPolicyGuid);
        ASSERT_TRUE(model->Save());
    }
    const std::string keptId = ServiceLists(*Stored())[0]->ipsecId;
    ASSERT_TRUE(ApplyConfiguration(0x0A000002u, 5000, u"k2", false, PauseCounter{}.fn()));
    const auto model = Stored();
    const auto lists = ServiceLists(*model);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0]->ipsecId, keptId);
    EXPECT_EQ(lists[0]->specs.at(0).destinationPort, 5000);
    EXPECT_NE(lists[1]->ipsecId, keptId);
    EXPECT_EQ(lists[1]->specs.at(0).destinationPort, 5001);
    EXPECT_EQ(model->rules.size(), 3u);
}

TEST_F(StoreOps, Port65535GivesSecondRulePortZero) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 65535, u"k", false, PauseCounter{}.fn()));
    const auto model = Stored();
    const auto lists = ServiceLists(*model);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0]->specs.at(0).destinationPort, 65535);
    EXPECT_EQ(lists[1]->specs.at(0).destinationPort, 0);
    // Read back, the smaller port wins.
    std::uint32_t address = 0, port = 0;
    std::u16string key;
    ASSERT_TRUE(ReadCurrentSettings(address, port, key));
    EXPECT_EQ(port, 0u);
}

TEST_F(StoreOps, DeactivatingRemovesBothServiceRulesButKeepsPolicyActive) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    const auto before = Stored();
    ASSERT_TRUE(ApplyConfiguration(0, 3260, u"", true, PauseCounter{}.fn()));
    const auto after = Stored();
    ASSERT_EQ(after->rules.size(), 1u);
    EXPECT_EQ(after->rules[0].ipsecId, before->rules[0].ipsecId); // default response rule
    EXPECT_TRUE(after->filterLists.empty());
    EXPECT_EQ(after->policy.ruleReferences.size(), 1u);
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath);
    // Only the policy, its ISAKMP policy and the default response rule remain.
    EXPECT_EQ(StoreKeys().size(), 3u);
}

TEST_F(StoreOps, ReadBackTakesFirstListForKeyAndSmallestOfFirstAndLastPort) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3000, u"k", false, PauseCounter{}.fn()));
    {
        auto model = Stored();
        model->AddServiceRule(kServiceRuleName, false, 0x01020304u, 100, u"third");
        DeleteStoredPolicy(ConfiguratorPolicyGuid);
        ASSERT_TRUE(model->Save());
    }
    std::uint32_t address = 0, port = 0;
    std::u16string key;
    ASSERT_TRUE(ReadCurrentSettings(address, port, key));
    EXPECT_EQ(address, kAddress);
    EXPECT_EQ(key, u"k");
    EXPECT_EQ(port, 100u); // first 3000 against last 100; 3001 in between does not count
}

TEST_F(StoreOps, UnrepresentableKeyReachesExistingRuleUnchanged) {
    const std::u16string euro = u"\x20AC";
    // A new rule receives the key through the narrow code page.
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, euro, false, PauseCounter{}.fn()));
    std::uint32_t address = 0, port = 0;
    std::u16string key;
    ASSERT_TRUE(ReadCurrentSettings(address, port, key));
    EXPECT_NE(key, euro);
    // An existing rule takes the wide text as it is.
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, euro, false, PauseCounter{}.fn()));
    ASSERT_TRUE(ReadCurrentSettings(address, port, key));
    EXPECT_EQ(key, euro);
}

TEST_F(StoreOps, DamagedServiceRulesAreSkippedAndFreshOnesAdded) {
    enum Damage { NoAuthMethod, NoSpec, NoOwner };
    for (Damage damage : {NoAuthMethod, NoSpec, NoOwner}) {
        SetUp();
        ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
        {
            auto model = Stored();
            for (auto& list : model->filterLists) {
                if (damage == NoSpec)
                    list.specs.clear();
                if (damage == NoOwner)
                    list.ownersReference.clear();
            }
            if (damage == NoAuthMethod)
                for (auto& rule : model->rules)
                    rule.authMethods.clear();
            DeleteStoredPolicy(ConfiguratorPolicyGuid);
            ASSERT_TRUE(model->Save());
        }
        std::uint32_t address = 0, port = 0;
        std::u16string key;
        EXPECT_FALSE(ReadCurrentSettings(address, port, key)) << damage;

        ASSERT_TRUE(ApplyConfiguration(0x0A000001u, 4000, u"new", false, PauseCounter{}.fn()))
            << damage;
        ASSERT_TRUE(ReadCurrentSettings(address, port, key)) << damage;
        EXPECT_EQ(address, 0x0A000001u);
        EXPECT_EQ(port, 4000u);
        EXPECT_EQ(key, u"new");
        EXPECT_EQ(Stored()->filterLists.size(), 4u) << damage;

        // Deactivating removes the fresh rules and leaves the damaged ones.
        ASSERT_TRUE(ApplyConfiguration(0, 3260, u"", true, PauseCounter{}.fn())) << damage;
        EXPECT_EQ(Stored()->filterLists.size(), 2u) << damage;
        TearDown();
    }
}

TEST_F(StoreOps, FailedSaveNeverRecordsThePolicyAsActive) {
    WriteActivePolicy(kForeignPolicyPath);
    standin::FailRegistry(standin::RegOp::SetValue, "ipsecData", 1);
    EXPECT_FALSE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    EXPECT_EQ(ActivePolicyText(), kForeignPolicyPath);
    EXPECT_TRUE(Controls().empty());
    EXPECT_FALSE(PolicyStored(kOurPolicyPath)); // the partial tree is gone again
}

TEST_F(StoreOps, ActivePolicyNeverNamesAnUnstoredPolicyWhateverStepFails) {
    // Every registry write, key creation, open and delete of an apply run
    // fails in turn; whatever happens, "ActivePolicy" either keeps its old
    // text or names a policy that is stored.
    struct Injection {
        standin::RegOp op;
        int skip;
    };
    std::vector<Injection> injections;
    for (auto op : {standin::RegOp::OpenKey, standin::RegOp::CreateKey, standin::RegOp::SetValue,
                    standin::RegOp::QueryValue, standin::RegOp::DeleteKey})
        for (int skip = 0; skip < 60; skip += 3)
            injections.push_back({op, skip});
    int failures = 0;
    for (const auto& injection : injections) {
        for (bool deactivate : {false, true}) {
            standin::ResetRegistry();
            standin::ResetServices();
            InstallAgent(standin::ServiceScript{kServiceRunning});
            CRegistryKey base;
            ASSERT_TRUE(
                base.Open(kHkeyLocalMachine, kBase, OpenExisting | CreateNew, kKeyAllAccess));
            base.Close();
            WriteActivePolicy(kForeignPolicyPath);
            standin::FailRegistry(injection.op, {}, 1, injection.skip);
            const bool ok =
                ApplyConfiguration(kAddress, 3260, u"k", deactivate, PauseCounter{}.fn());
            standin::ClearRegistryFailures();
            const std::string active = ActivePolicyText();
            if (active != kForeignPolicyPath) {
                EXPECT_EQ(active, kOurPolicyPath);
                EXPECT_TRUE(PolicyStored(kOurPolicyPath))
                    << static_cast<int>(injection.op) << " skip " << injection.skip;
            }
            if (!ok)
                ++failures;
            // Success is reported only for a stored and recorded policy.
            if (ok) {
                EXPECT_EQ(active, kOurPolicyPath);
                EXPECT_TRUE(PolicyStored(kOurPolicyPath));
            }
        }
    }
    EXPECT_GT(failures, 0);
}

TEST_F(StoreOps, FailedActivationIsReportedWithPolicyStillStored) {
    standin::ServiceScript script;
    script.state = kServiceStopped;
    script.refuseStart = true;
    InstallAgent(script);
    EXPECT_FALSE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    EXPECT_TRUE(PolicyStored(kOurPolicyPath));
    EXPECT_EQ(ActivePolicyText(), "(missing)");
}

TEST_F(StoreOps, FailedDeleteOfOldTreeDoesNotStopTheApply) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    standin::FailRegistry(standin::RegOp::DeleteKey, {}, -1);
    EXPECT_TRUE(ApplyConfiguration(kAddress, 4000, u"k", false, PauseCounter{}.fn()));
    standin::ClearRegistryFailures();
    std::uint32_t address = 0, port = 0;
    std::u16string key;
    ASSERT_TRUE(ReadCurrentSettings(address, port, key));
    EXPECT_EQ(port, 4000u);
}

TEST_F(StoreOps, ApplyLeavesForeignPoliciesStored) {
    // The command line applies even while another policy is active; that
    // policy's objects stay where they are.
    CRegistryKey foreign;
    ASSERT_TRUE(foreign.Open(kHkeyLocalMachine, kForeignPolicyPath, OpenExisting | CreateNew,
                             kKeyAllAccess));
    foreign.Close();
    WriteActivePolicy(kForeignPolicyPath);
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    EXPECT_TRUE(PolicyStored(kForeignPolicyPath));
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath);
}

// --- What is configured ("show") -------------------------------------------------

// Every object under the store base with its values, to compare the store
// byte for byte before and after.
std::map<std::string, std::vector<std::pair<std::uint32_t, Bytes>>> Snapshot() {
    std::map<std::string, std::vector<std::pair<std::uint32_t, Bytes>>> snapshot;
    for (const std::string& name : standin::SubKeys(kHkeyLocalMachine, kBase)) {
        CRegistryKey key;
        if (!key.Open(kHkeyLocalMachine, kBase + name, OpenExisting, kKeyAllAccess))
            continue;
        auto& values = snapshot[name];
        for (const std::string& value : standin::ValueNames(kHkeyLocalMachine, kBase + name)) {
            std::uint32_t type = 0;
            Bytes bytes;
            key.ReadValue(value, type, bytes);
            values.emplace_back(type, bytes);
        }
    }
    return snapshot;
}

// A foreign policy with a rule, a filter list, its ISAKMP policy, and the
// platform's negotiation policy that every rule refers to.
void StoreForeignPolicy() {
    const Guid foreign{
        0x11111111u, 0x2222u, 0x3333u, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    auto model = PolicyModel::CreateDefault(foreign);
    ASSERT_TRUE(model);
    ASSERT_TRUE(model->AddServiceRule("ForeignRule", false, 0x0A0A0A0Au, 80, u"theirs"));
    ASSERT_TRUE(model->Save());
    CRegistryKey negotiation;
    ASSERT_TRUE(negotiation.Open(kHkeyLocalMachine, kNegotiationPolicyPath,
                                 OpenExisting | CreateNew, kKeyAllAccess));
    ASSERT_TRUE(negotiation.WriteMultiString("ipsecOwnersReference", {"platform"}));
}

TEST_F(StoreOps, StatusInEachState) {
    struct Row {
        const char* state;
        std::function<void()> arrange;
        bool protectedTraffic, configured, stored;
        std::vector<std::uint16_t> ports;
        ActivePolicyKind active;
        AgentState agent;
    };
    const std::vector<Row> rows = {
        {"nothing stored",
         [] {},
         false,
         false,
         false,
         {},
         ActivePolicyKind::None,
         AgentState::Running},
        {"applied and active",
         [] { ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()); },
         true,
         true,
         true,
         {3260, 3261},
         ActivePolicyKind::Configurator,
         AgentState::Running},
        {"after -u",
         [] {
             ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn());
             ApplyConfiguration(0, 3260, u"", true, PauseCounter{}.fn());
         },
         false,
         false,
         true,
         {},
         ActivePolicyKind::Configurator,
         AgentState::Running},
        {"foreign policy active",
         [] {
             ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn());
             WriteActivePolicy(kForeignPolicyPath);
         },
         false,
         true,
         true,
         {3260, 3261},
         ActivePolicyKind::Other,
         AgentState::Running},
        {"agent stopped",
         [] {
             ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn());
             InstallAgent(standin::ServiceScript{kServiceStopped});
         },
         true,
         true,
         true,
         {3260, 3261},
         ActivePolicyKind::Configurator,
         AgentState::Stopped},
        {"agent start pending",
         [] { InstallAgent(standin::ServiceScript{kServiceStartPending}); },
         false,
         false,
         false,
         {},
         ActivePolicyKind::None,
         AgentState::Stopped},
        {"agent not installed",
         [] { standin::ResetServices(); },
         false,
         false,
         false,
         {},
         ActivePolicyKind::None,
         AgentState::Missing},
        {"only one service rule",
         [] {
             ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn());
             auto model = Stored();
             const std::string second = ServiceLists(*model)[1]->ownersReference.at(0);
             model->RemoveRule(second);
             DeleteStoredPolicy(ConfiguratorPolicyGuid);
             model->Save();
         },
         false,
         false,
         true,
         {3260},
         ActivePolicyKind::Configurator,
         AgentState::Running},
    };
    for (const Row& row : rows) {
        SetUp();
        row.arrange();
        const std::size_t writes = standin::RegistryWriteJournal().size();
        const auto before = Snapshot();
        const auto history = standin::ServiceHistory(kPolicyAgentService);
        const ConfigurationStatus status = ReadConfigurationStatus();
        EXPECT_EQ(status.Protected(), row.protectedTraffic) << row.state;
        EXPECT_EQ(status.configured, row.configured) << row.state;
        EXPECT_EQ(status.stored, row.stored) << row.state;
        EXPECT_FALSE(status.damaged) << row.state;
        EXPECT_EQ(status.ports, row.ports) << row.state;
        EXPECT_EQ(status.activePolicy, row.active) << row.state;
        EXPECT_EQ(status.agent, row.agent) << row.state;
        if (!row.ports.empty()) {
            EXPECT_EQ(status.address, kAddress) << row.state;
            EXPECT_EQ(status.keySet, true) << row.state;
        } else {
            EXPECT_FALSE(status.address) << row.state;
            EXPECT_FALSE(status.keySet) << row.state;
        }
        EXPECT_EQ(status.activePolicyText,
                  row.active == ActivePolicyKind::Other ? kForeignPolicyPath : "")
            << row.state;
        // Looking changes nothing: no write, no start, no control.
        EXPECT_EQ(standin::RegistryWriteJournal().size(), writes) << row.state;
        EXPECT_EQ(Snapshot(), before) << row.state;
        const auto after = standin::ServiceHistory(kPolicyAgentService);
        EXPECT_EQ(after.starts, history.starts) << row.state;
        EXPECT_EQ(after.controls, history.controls) << row.state;
        TearDown();
    }
}

TEST_F(StoreOps, StatusTellsAnEmptyKeyFromASetOne) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"", false, PauseCounter{}.fn()));
    const ConfigurationStatus status = ReadConfigurationStatus();
    EXPECT_TRUE(status.Protected());
    EXPECT_EQ(status.keySet, false);
}

TEST_F(StoreOps, DamagedStoredTreeIsReportedNeverShownAsValid) {
    enum Damage { PolicyBlob, IsakmpGone, RuleBlob, FilterBlob, ListWithoutSpec, RuleWithoutKey };
    for (Damage damage :
         {PolicyBlob, IsakmpGone, RuleBlob, FilterBlob, ListWithoutSpec, RuleWithoutKey}) {
        SetUp();
        ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
        auto model = Stored();
        const FilterList& list = *ServiceLists(*model)[0];
        std::string damaged;
        CRegistryKey key;
        switch (damage) {
        case PolicyBlob:
            damaged = kOurPolicyPath;
            break;
        case IsakmpGone:
            damaged = ObjectPath(model->isakmp);
            break;
        case RuleBlob:
            damaged = list.ownersReference.at(0);
            break;
        case FilterBlob:
        case ListWithoutSpec:
            damaged = ObjectPath(list);
            break;
        case RuleWithoutKey:
            damaged = ObjectPath(list);
            break;
        }
        if (damage == IsakmpGone) {
            ASSERT_TRUE(CRegistryKey::DeleteKey(kHkeyLocalMachine, damaged));
        } else if (damage == ListWithoutSpec || damage == RuleWithoutKey) {
            for (auto& l : model->filterLists)
                if (damage == ListWithoutSpec && ObjectPath(l) == damaged)
                    l.specs.clear();
            for (auto& rule : model->rules)
                if (damage == RuleWithoutKey && ObjectPath(rule) == list.ownersReference.at(0))
                    rule.authMethods.clear();
            DeleteStoredPolicy(ConfiguratorPolicyGuid);
            ASSERT_TRUE(model->Save());
        } else {
            ASSERT_TRUE(key.Open(kHkeyLocalMachine, damaged, OpenExisting, kKeyAllAccess));
            ASSERT_TRUE(key.WriteBytes("ipsecData", Bytes{1, 2, 3}));
            key.Close();
        }
        const ConfigurationStatus status = ReadConfigurationStatus();
        EXPECT_TRUE(status.stored) << damage;
        EXPECT_TRUE(status.damaged) << damage;
        EXPECT_EQ(status.damagedObject, damaged) << damage;
        EXPECT_FALSE(status.Protected()) << damage;
        EXPECT_FALSE(status.configured) << damage;
        EXPECT_FALSE(status.address) << damage;
        EXPECT_TRUE(status.ports.empty()) << damage;
        EXPECT_EQ(status.activePolicy, ActivePolicyKind::Configurator) << damage;
        TearDown();
    }
}

// --- Taking the configuration away ("remove") ----------------------------------------

TEST_F(StoreOps, RemoveAfterApplyDeletesTreeAndActivePolicyAndTellsRunningAgent) {
    StoreForeignPolicy();
    const auto foreignOnly = Snapshot();
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    const RemoveResult result = RemoveConfiguration();
    EXPECT_TRUE(result.Removed());
    EXPECT_TRUE(result.wasStored);
    EXPECT_TRUE(result.wasActive);
    EXPECT_FALSE(PolicyStored(kOurPolicyPath));
    EXPECT_EQ(ActivePolicyText(), "(missing)");
    EXPECT_EQ(Controls(), (std::vector<std::uint32_t>{129, 129}));
    // What remains is exactly what was there before: the foreign policy and
    // the shared negotiation policy, byte for byte.
    EXPECT_EQ(Snapshot(), foreignOnly);

    // Twice is fine, and the second run has nothing to tell the agent.
    const RemoveResult again = RemoveConfiguration();
    EXPECT_TRUE(again.Removed());
    EXPECT_FALSE(again.wasStored);
    EXPECT_FALSE(again.wasActive);
    EXPECT_EQ(Controls().size(), 2u);
    EXPECT_EQ(Snapshot(), foreignOnly);
}

TEST_F(StoreOps, RemoveLeavesForeignActivePolicyAndItsObjectsUntouched) {
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    StoreForeignPolicy();
    WriteActivePolicy(kForeignPolicyPath);
    const auto before = Snapshot();
    const RemoveResult result = RemoveConfiguration();
    EXPECT_TRUE(result.Removed());
    EXPECT_TRUE(result.wasStored);
    EXPECT_FALSE(result.wasActive);
    EXPECT_EQ(ActivePolicyText(), kForeignPolicyPath);
    EXPECT_EQ(Controls(), std::vector<std::uint32_t>{129}); // only the apply's
    // Every key that remains is byte for byte what it was; only ours went.
    const auto after = Snapshot();
    for (const auto& [name, values] : after)
        EXPECT_EQ(values, before.at(name)) << name;
    EXPECT_EQ(after.size(), before.size() - 7);
}

TEST_F(StoreOps, RemoveWithStoppedOrMissingAgentStartsNothing) {
    for (bool installed : {true, false}) {
        SetUp();
        ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
        if (installed)
            InstallAgent(standin::ServiceScript{kServiceStopped});
        else
            standin::ResetServices();
        const RemoveResult result = RemoveConfiguration();
        EXPECT_TRUE(result.Removed()) << installed;
        EXPECT_FALSE(PolicyStored(kOurPolicyPath));
        EXPECT_EQ(ActivePolicyText(), "(missing)");
        const auto history = standin::ServiceHistory(kPolicyAgentService);
        EXPECT_EQ(history.starts, 0);
        EXPECT_TRUE(history.controls.empty());
        TearDown();
    }
}

TEST_F(StoreOps, RemoveOfInactiveOrNeverStoredPolicy) {
    // Nothing at all.
    RemoveResult result = RemoveConfiguration();
    EXPECT_TRUE(result.Removed());
    EXPECT_FALSE(result.wasStored);
    // "ActivePolicy" naming ours without a stored tree: the value goes.
    WriteActivePolicy(kOurPolicyPath);
    result = RemoveConfiguration();
    EXPECT_TRUE(result.Removed());
    EXPECT_TRUE(result.wasActive);
    EXPECT_EQ(ActivePolicyText(), "(missing)");
    EXPECT_EQ(Controls(), std::vector<std::uint32_t>{129});
}

TEST_F(StoreOps, RemoveSaysWhatCouldNotBeRemoved) {
    // "ActivePolicy" cannot be deleted: the tree stays, so it never names
    // a policy that is gone.
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    standin::FailRegistry(standin::RegOp::SetValue, kActivePolicyValue);
    RemoveResult result = RemoveConfiguration();
    EXPECT_FALSE(result.Removed());
    EXPECT_TRUE(result.activePolicyLeft);
    EXPECT_TRUE(PolicyStored(kOurPolicyPath));
    EXPECT_EQ(ActivePolicyText(), kOurPolicyPath);
    EXPECT_EQ(Controls(), std::vector<std::uint32_t>{129});

    // A rule that cannot be deleted is named; the rest goes.
    const auto model = Stored();
    const std::string stuck = ServiceLists(*model)[0]->ownersReference.at(0);
    standin::FailRegistry(standin::RegOp::DeleteKey, stuck.substr(kBase.size()));
    result = RemoveConfiguration();
    EXPECT_FALSE(result.Removed());
    EXPECT_FALSE(result.activePolicyLeft);
    EXPECT_EQ(result.leftBehind, std::vector<std::string>{stuck});
    EXPECT_EQ(StoreKeys(), std::vector<std::string>{stuck.substr(kBase.size())});
    EXPECT_EQ(ActivePolicyText(), "(missing)");

    // The policy key itself.
    SetUp();
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    standin::FailRegistry(standin::RegOp::DeleteKey, "ipsecPolicy");
    result = RemoveConfiguration();
    EXPECT_EQ(result.leftBehind, std::vector<std::string>{kOurPolicyPath});

    // A running agent that refuses the control.
    SetUp();
    ASSERT_TRUE(ApplyConfiguration(kAddress, 3260, u"k", false, PauseCounter{}.fn()));
    standin::ServiceScript script;
    script.state = kServiceRunning;
    script.refuseControls = true;
    InstallAgent(script);
    result = RemoveConfiguration();
    EXPECT_FALSE(result.Removed());
    EXPECT_TRUE(result.agentNotifyFailed);
    EXPECT_TRUE(result.leftBehind.empty());
    EXPECT_FALSE(PolicyStored(kOurPolicyPath));
}

// --- Rule keys on the model ------------------------------------------------------

TEST(RuleKey, LooksUpRuleByGuidOfReference) {
    auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    ASSERT_TRUE(model);
    model->AddServiceRule(kServiceRuleName, false, kAddress, 3260, u"abc");
    const RuleObject& rule = model->rules.back();
    const std::string reference = ObjectPath(rule);

    EXPECT_EQ(model->GetRuleKey(reference), u"abc");
    model->SetRuleKey(reference, u"\x20AC-wide");
    EXPECT_EQ(model->GetRuleKey(reference), u"\x20AC-wide");
    EXPECT_EQ(rule.authMethods.at(0).method, 1u);
    // The default response rule keeps its own key.
    EXPECT_EQ(model->GetRuleKey(model->policy.ruleReferences.at(0)), u"58316042");

    // Any text ending in the rule's braced GUID names it, in either case.
    std::string lower = rule.ipsecId;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(model->GetRuleKey("elsewhere" + lower), u"\x20AC-wide");
}

TEST(RuleKey, UnknownShortOrKeylessRulesChangeNothing) {
    auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    ASSERT_TRUE(model);
    model->AddServiceRule(kServiceRuleName, false, kAddress, 3260, u"abc");
    const std::string reference = ObjectPath(model->rules.back());

    for (const std::string& bad : {std::string(), std::string("{"), reference.substr(1, 30),
                                   kBase + "ipsecNFA{00000000-0000-0000-0000-000000000001}"}) {
        EXPECT_EQ(model->GetRuleKey(bad), u"");
        model->SetRuleKey(bad, u"x");
    }
    EXPECT_EQ(model->GetRuleKey(reference), u"abc");

    model->rules.back().authMethods.clear();
    EXPECT_EQ(model->GetRuleKey(reference), u"");
    model->SetRuleKey(reference, u"x");
    EXPECT_TRUE(model->rules.back().authMethods.empty());
}

} // namespace
} // namespace ipseccfg
