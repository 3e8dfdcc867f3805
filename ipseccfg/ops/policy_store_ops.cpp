#include "policy_store_ops.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "../policy/policy_model.h"
#include "../policy/store_objects.h"
#include "../store/registry_key.h"
#include "../store/service_control.h"

namespace ipseccfg {

namespace {

constexpr std::size_t kServiceRuleNameLength = 11;

bool HasServiceRuleName(const FilterList& list) {
    return list.ipsecName.size() >= kServiceRuleNameLength &&
           list.ipsecName.compare(0, kServiceRuleNameLength, kServiceRuleName) == 0;
}

// A filter list counts as one of our service rules only when everything the
// read-back and the update touch is there: a filter spec, an owner, and an owning
// rule with an authentication method. Damaged or foreign entries are left
// as they are.
bool IsServiceRuleList(const PolicyModel& model, const FilterList& list) {
    if (!HasServiceRuleName(list) || list.specs.empty() || list.ownersReference.empty())
        return false;
    const RuleObject* owner = model.FindRule(list.ownersReference.front());
    return owner != nullptr && !owner->authMethods.empty();
}

// Indices of the first and of the last further service rule list.
struct ServiceRuleLists {
    std::optional<std::size_t> first;
    std::optional<std::size_t> last;
};

ServiceRuleLists FindServiceRuleLists(const PolicyModel& model) {
    ServiceRuleLists found;
    for (std::size_t i = 0; i < model.filterLists.size(); ++i) {
        if (!IsServiceRuleList(model, model.filterLists[i]))
            continue;
        if (!found.first)
            found.first = i;
        else
            found.last = i;
    }
    return found;
}

Ipv4Bytes AddressBytes(std::uint32_t hostOrder) {
    return {static_cast<std::uint8_t>(hostOrder >> 24), static_cast<std::uint8_t>(hostOrder >> 16),
            static_cast<std::uint8_t>(hostOrder >> 8), static_cast<std::uint8_t>(hostOrder)};
}

std::uint32_t HostOrder(const Ipv4Bytes& bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void UpdateServiceRule(PolicyModel& model, std::size_t listIndex, std::uint32_t address,
                       std::uint16_t port, std::u16string_view key) {
    // Copy the reference: SetRuleKey must not see it change under it.
    const std::string owner = model.filterLists[listIndex].ownersReference.front();
    model.SetRuleKey(owner, key);
    FilterSpec& spec = model.filterLists[listIndex].specs.front();
    spec.destinationAddress = AddressBytes(address);
    spec.destinationPort = port;
}

std::string ActivePolicyPath(const Guid& guid) {
    return std::string(kStoreBasePath) + kKindPolicy + FormatGuid(guid);
}

// "ActivePolicy" as stored, when it is a non-empty REG_SZ value.
bool ReadActivePolicyText(std::string& text) {
    CRegistryKey base;
    if (!base.Open(kHkeyLocalMachine, kStoreBasePath, OpenExisting, kKeyAllAccess))
        return false;
    return base.ReadString(kActivePolicyValue, text) && !text.empty();
}

bool NamesConfiguratorPolicy(std::string_view activePolicy) {
    Guid guid;
    return GuidFromReference(activePolicy, guid) && guid == ConfiguratorPolicyGuid;
}

bool IsStored(const Guid& policyGuid) {
    CRegistryKey key;
    return key.Open(kHkeyLocalMachine, ObjectPath(kKindPolicy, policyGuid), OpenExisting,
                    kKeyAllAccess);
}

// The first object of a stored tree that does not read back whole, found by
// reading each object again on its own (the model's Load only says that one
// failed). The policy itself when a reference names no object.
std::string FirstDamagedObject(const Guid& policyGuid) {
    const std::string policyPath = ObjectPath(kKindPolicy, policyGuid);
    PolicyObject policy;
    if (!ReadPolicy(policy, policyGuid))
        return policyPath;
    Guid guid;
    IsakmpPolicy isakmp;
    if (!GuidFromReference(policy.isakmpReference, guid))
        return policyPath;
    if (!ReadIsakmp(isakmp, guid))
        return ObjectPath(kKindIsakmp, guid);
    for (const std::string& ruleReference : policy.ruleReferences) {
        RuleObject rule;
        if (!GuidFromReference(ruleReference, guid))
            return policyPath;
        if (!ReadRule(rule, guid))
            return ObjectPath(kKindRule, guid);
        for (const std::string& filterReference : rule.filterReferences) {
            const std::string rulePath = ObjectPath(kKindRule, guid);
            Guid filterGuid;
            FilterList list;
            if (!GuidFromReference(filterReference, filterGuid))
                return rulePath;
            if (!ReadFilterList(list, filterGuid))
                return ObjectPath(kKindFilter, filterGuid);
        }
    }
    return policyPath;
}

} // namespace

bool ReadActivePolicy(Guid* guid) {
    std::string text;
    if (!ReadActivePolicyText(text))
        return false;
    if (guid != nullptr) {
        Guid parsed;
        *guid = GuidFromReference(text, parsed) ? parsed : Guid{};
    }
    return true;
}

bool IsForeignPolicyActive() {
    Guid active;
    return ReadActivePolicy(&active) && !(active == ConfiguratorPolicyGuid);
}

bool ReadCurrentSettings(std::uint32_t& address, std::uint32_t& port, std::u16string& key) {
    const auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    if (!model)
        return false;
    model->Load();
    const ServiceRuleLists lists = FindServiceRuleLists(*model);
    if (!lists.first)
        return false;
    const FilterList& first = model->filterLists[*lists.first];
    address = HostOrder(first.specs.front().destinationAddress);
    key = model->GetRuleKey(first.ownersReference.front());
    std::uint32_t lowest = first.specs.front().destinationPort;
    if (lists.last)
        lowest = std::min<std::uint32_t>(
            lowest, model->filterLists[*lists.last].specs.front().destinationPort);
    port = lowest;
    return true;
}

bool ActivatePolicy(const Guid& policyGuid) {
    return ActivatePolicy(policyGuid, PlatformSleep);
}

bool ActivatePolicy(const Guid& policyGuid, const SleepFunction& sleep) {
    return ActivatePolicyOutcome(policyGuid, sleep) == ApplyOutcome::Applied;
}

ApplyOutcome ActivatePolicyOutcome(const Guid& policyGuid, const SleepFunction& sleep) {
    CServiceControl agent;
    if (!agent.Open(kPolicyAgentService, kPolicyAgentAccess))
        return ApplyOutcome::AgentStartFailed;
    std::uint32_t state = 0;
    if (!agent.QueryState(state))
        return ApplyOutcome::AgentStartFailed;
    if (state == kServiceStopped) {
        if (!agent.Start())
            return ApplyOutcome::AgentStartFailed;
        for (int poll = 0; poll < kAgentStartPolls; ++poll) {
            sleep(kAgentPollIntervalMs);
            if (!agent.QueryState(state) || state == kServiceRunning)
                break;
        }
    }
    // A service found pending is not waited for.
    if (state != kServiceRunning)
        return ApplyOutcome::AgentStartFailed;
    CRegistryKey base;
    if (!base.Open(kHkeyLocalMachine, kStoreBasePath, OpenExisting, kKeyAllAccess))
        return ApplyOutcome::ActivePolicyWriteFailed;
    if (!base.WriteString(kActivePolicyValue, ActivePolicyPath(policyGuid)))
        return ApplyOutcome::ActivePolicyWriteFailed;
    return agent.Control(kPolicyChangedControl) ? ApplyOutcome::Applied
                                                : ApplyOutcome::AgentNotifyFailed;
}

bool ApplyConfiguration(std::uint32_t address, std::uint32_t port, std::u16string_view key,
                        bool deactivate) {
    return ApplyConfiguration(address, port, key, deactivate, PlatformSleep);
}

bool ApplyConfiguration(std::uint32_t address, std::uint32_t port, std::u16string_view key,
                        bool deactivate, const SleepFunction& sleep) {
    return ApplyConfigurationOutcome(address, port, key, deactivate, sleep) ==
           ApplyOutcome::Applied;
}

ApplyOutcome ApplyConfigurationOutcome(std::uint32_t address, std::uint32_t port,
                                       std::u16string_view key, bool deactivate,
                                       const SleepFunction& sleep) {
    const auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    if (!model)
        return ApplyOutcome::StoreWriteFailed;
    // Nothing stored yet is fine: the defaults are written then.
    const bool loaded = model->Load();
    // The stored tree as it is now: it is deleted before the new one is
    // written and must come back if that write fails.
    std::optional<PolicyModel> previous;
    if (loaded)
        previous.emplace(*model);

    const ServiceRuleLists lists = FindServiceRuleLists(*model);
    const auto firstPort = static_cast<std::uint16_t>(port);
    // The second rule's port wraps like the 16-bit field it lands in.
    const auto secondPort = static_cast<std::uint16_t>(port + 1);
    if (!deactivate) {
        if (lists.first)
            UpdateServiceRule(*model, *lists.first, address, firstPort, key);
        else
            model->AddServiceRule(kServiceRuleName, false, address, firstPort, key);
        if (lists.last)
            UpdateServiceRule(*model, *lists.last, address, secondPort, key);
        else
            model->AddServiceRule(kServiceRuleName, false, address, secondPort, key);
    } else {
        // Take both owners before the first removal reshuffles the lists.
        std::vector<std::string> owners;
        if (lists.first)
            owners.push_back(model->filterLists[*lists.first].ownersReference.front());
        if (lists.last)
            owners.push_back(model->filterLists[*lists.last].ownersReference.front());
        for (const auto& owner : owners)
            model->RemoveRule(owner);
    }

    DeleteStoredPolicy(ConfiguratorPolicyGuid);
    // A failed save has already removed whatever it wrote; recording the
    // policy as active now would point the agent at nothing and could switch
    // off a policy that still protects the traffic.
    if (!model->Save()) {
        // Put the old tree back, so that an "ActivePolicy" naming this
        // policy never names one that is not stored.
        if (previous)
            previous->Save();
        return ApplyOutcome::StoreWriteFailed;
    }
    return ActivatePolicyOutcome(ConfiguratorPolicyGuid, sleep);
}

AgentState ReadAgentState() {
    CServiceControl agent;
    if (!agent.Open(kPolicyAgentService, kServiceQueryStatus))
        return AgentState::Missing;
    std::uint32_t state = 0;
    if (!agent.QueryState(state))
        return AgentState::Missing;
    return state == kServiceRunning ? AgentState::Running : AgentState::Stopped;
}

ConfigurationStatus ReadConfigurationStatus() {
    ConfigurationStatus status;
    std::string active;
    if (ReadActivePolicyText(active)) {
        if (NamesConfiguratorPolicy(active)) {
            status.activePolicy = ActivePolicyKind::Configurator;
        } else {
            status.activePolicy = ActivePolicyKind::Other;
            status.activePolicyText = active;
        }
    }
    status.agent = ReadAgentState();

    status.stored = IsStored(ConfiguratorPolicyGuid);
    if (!status.stored)
        return status;
    const auto model = PolicyModel::CreateDefault(ConfiguratorPolicyGuid);
    if (!model) {
        status.damaged = true;
        status.damagedObject = ObjectPath(kKindPolicy, ConfiguratorPolicyGuid);
        return status;
    }
    if (!model->Load()) {
        status.damaged = true;
        status.damagedObject = FirstDamagedObject(ConfiguratorPolicyGuid);
        return status;
    }
    // A list named as ours that the apply step would not take for a service
    // rule (no filter spec, owner or key) is damage, not a rule.
    for (const FilterList& list : model->filterLists) {
        if (HasServiceRuleName(list) && !IsServiceRuleList(*model, list)) {
            status.damaged = true;
            status.damagedObject = ObjectPath(list);
            return status;
        }
    }
    const ServiceRuleLists lists = FindServiceRuleLists(*model);
    if (!lists.first)
        return status;
    const FilterList& first = model->filterLists[*lists.first];
    status.address = HostOrder(first.specs.front().destinationAddress);
    status.keySet = !model->GetRuleKey(first.ownersReference.front()).empty();
    for (const FilterList& list : model->filterLists)
        if (HasServiceRuleName(list))
            status.ports.push_back(list.specs.front().destinationPort);
    status.configured = lists.last.has_value();
    return status;
}

RemoveResult RemoveConfiguration() {
    RemoveResult result;
    std::string active;
    result.wasActive = ReadActivePolicyText(active) && NamesConfiguratorPolicy(active);
    result.wasStored = IsStored(ConfiguratorPolicyGuid);
    if (result.wasActive) {
        // "ActivePolicy" goes first: it must never name a policy that is no
        // longer stored, so when it stays, the tree stays too.
        CRegistryKey base;
        if (!base.Open(kHkeyLocalMachine, kStoreBasePath, OpenExisting, kKeyAllAccess) ||
            !base.DeleteValue(kActivePolicyValue)) {
            result.activePolicyLeft = true;
            return result;
        }
    }
    result.leftBehind = RemoveStoredPolicy(ConfiguratorPolicyGuid);
    if (result.wasActive) {
        // A stopped agent has nothing loaded and is not started for this.
        CServiceControl agent;
        std::uint32_t state = 0;
        if (agent.Open(kPolicyAgentService, kPolicyAgentAccess) && agent.QueryState(state) &&
            state == kServiceRunning)
            result.agentNotifyFailed = !agent.Control(kPolicyChangedControl);
    }
    return result;
}

} // namespace ipseccfg
