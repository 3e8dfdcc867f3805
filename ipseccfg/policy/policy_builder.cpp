// Construction and editing of the configurator's policy tree in memory.
#include <new>

#include "../store/text_codepage.h"
#include "policy_model.h"
#include "store_objects.h"

namespace ipseccfg {

namespace {

constexpr std::uint32_t kPollingIntervalSeconds = 10800;
constexpr std::int32_t kInterfaceTypeAll = -3;
constexpr std::uint32_t kMethodPresharedKey = 1;
constexpr std::uint32_t kMethodAlternative = 3;
constexpr const char* kDefaultResponseKey = "58316042";

AuthMethod MakeAuthMethod(const std::optional<std::string>& key,
                          const std::optional<std::string>& alternative) {
    AuthMethod method;
    if (key) {
        method.method = kMethodPresharedKey;
        method.text = AnsiToWide(*key);
    } else {
        method.method = kMethodAlternative;
        if (alternative)
            method.text = AnsiToWide(*alternative);
    }
    return method;
}

// The rule a reference names: compared by the braced upper-case GUID text.
std::optional<std::string> RuleIdFromReference(std::string_view reference) {
    Guid guid;
    if (!GuidFromReference(reference, guid))
        return std::nullopt;
    return FormatGuid(guid);
}

} // namespace

std::unique_ptr<PolicyModel> PolicyModel::CreateDefault(const std::optional<Guid>& guid,
                                                        GuidSource source) noexcept {
    try {
        auto model = std::make_unique<PolicyModel>();
        model->guidSource = std::move(source);
        if (guid) {
            model->policyGuid = *guid;
        } else if (!model->NewGuid(model->policyGuid)) {
            return nullptr;
        }
        AssignIdentity(model->policy, kKindPolicy, model->policyGuid);
        model->policy.pollingInterval = kPollingIntervalSeconds;

        Guid isakmpGuid;
        if (!model->NewGuid(isakmpGuid))
            return nullptr;
        AssignIdentity(model->isakmp, kKindIsakmp, isakmpGuid);
        IsakmpOffer offer;
        offer.SetWord(kOfferEncryptionOffset, 1);
        offer.SetWord(kOfferHashOffset, 2);
        offer.SetWord(kOfferGroupOffset, 2);
        offer.SetWord(kOfferLifetimeSecondsOffset, 28800);
        model->isakmp.offers.push_back(offer);
        model->isakmp.isakmpHeader[kIsakmpHeaderSwitchOffset] = 1;
        model->policy.isakmpReference = LinkOwner(model->isakmp, model->policy);

        if (!model->AddDefaultResponseRule(std::string(kDefaultResponseKey), std::nullopt))
            return nullptr;
        return model;
    } catch (...) {
        return nullptr;
    }
}

bool PolicyModel::AddDefaultResponseRule(const std::optional<std::string>& key,
                                         const std::optional<std::string>& alternative) noexcept {
    try {
        RuleObject rule;
        Guid guid;
        if (!NewGuid(guid))
            return false;
        AssignIdentity(rule, kKindRule, guid);
        rule.authMethods.push_back(MakeAuthMethod(key, alternative));
        rule.interfaceType = kInterfaceTypeAll;
        rule.tunnelFlags = 1;
        rule.activeFlag = 0;
        rule.negotiationPolicyReference = kNegotiationPolicyPath;
        std::string rulePath = LinkOwner(rule, policy);

        rules.reserve(rules.size() + 1);
        policy.ruleReferences.push_back(std::move(rulePath));
        rules.push_back(std::move(rule)); // cannot throw after the reserve
        return true;
    } catch (...) {
        return false;
    }
}

bool PolicyModel::AddRule(std::string_view name, bool mirrored, const Endpoint& source,
                          const Endpoint& destination, std::uint8_t protocol,
                          const std::uint32_t& tunnelAddress, const std::optional<std::string>& key,
                          const std::optional<std::string>& alternative) noexcept {
    try {
        FilterSpec spec;
        spec.mirrored = mirrored ? 1 : 0;
        spec.protocol = protocol;
        if (protocol == 6 || protocol == 17) {
            spec.sourcePort = source.port;
            spec.destinationPort = destination.port;
        }

        FilterList list;
        Guid listGuid, specGuid, ruleGuid;
        if (!NewGuid(listGuid))
            return false;
        AssignIdentity(list, kKindFilter, listGuid);
        if (!NewGuid(specGuid))
            return false;
        spec.specId = specGuid;
        spec.sourceAddress = source.address;
        spec.sourceMask = source.mask;
        spec.destinationAddress = destination.address;
        spec.destinationMask = destination.mask;
        list.specs.push_back(spec);
        list.ipsecName = std::string(name) + list.ipsecId;

        RuleObject rule;
        if (!NewGuid(ruleGuid))
            return false;
        AssignIdentity(rule, kKindRule, ruleGuid);
        rule.authMethods.push_back(MakeAuthMethod(key, alternative));
        rule.interfaceType = kInterfaceTypeAll;
        if (tunnelAddress != 0) {
            rule.tunnelAddress = tunnelAddress;
            rule.tunnelFlags = 1;
        }
        rule.filterReferences.push_back(LinkOwner(list, rule));
        rule.negotiationPolicyReference = kNegotiationPolicyPath;
        std::string rulePath = LinkOwner(rule, policy);

        rules.reserve(rules.size() + 1);
        filterLists.reserve(filterLists.size() + 1);
        policy.ruleReferences.push_back(std::move(rulePath));
        rules.push_back(std::move(rule));
        filterLists.push_back(std::move(list));
        return true;
    } catch (...) {
        return false;
    }
}

bool PolicyModel::AddServiceRule(std::string_view name, bool myAddress, std::uint32_t serverAddress,
                                 std::uint16_t port, std::u16string_view key) noexcept {
    try {
        Endpoint source;
        if (myAddress)
            source.mask = {0xFF, 0xFF, 0xFF, 0xFF};
        Endpoint destination;
        destination.address = {static_cast<std::uint8_t>(serverAddress >> 24),
                               static_cast<std::uint8_t>(serverAddress >> 16),
                               static_cast<std::uint8_t>(serverAddress >> 8),
                               static_cast<std::uint8_t>(serverAddress)};
        destination.mask = {0xFF, 0xFF, 0xFF, 0xFF};
        destination.port = port;
        const std::uint32_t noTunnel = 0;
        return AddRule(name, true, source, destination, 6, noTunnel, WideToAnsi(key), std::nullopt);
    } catch (...) {
        return false;
    }
}

void PolicyModel::RemoveRule(std::string_view ruleReference) {
    Guid guid;
    if (!GuidFromReference(ruleReference, guid))
        return;
    const std::string id = FormatGuid(guid);
    std::size_t index = 0;
    while (index < rules.size() && rules[index].ipsecId != id)
        ++index;
    if (index == rules.size())
        return;
    const RuleObject& rule = rules[index];
    const std::string rulePath = ObjectPath(rule);

    for (const std::string& filterReference : rule.filterReferences) {
        Guid filterGuid;
        if (!GuidFromReference(filterReference, filterGuid))
            continue;
        const std::string filterId = FormatGuid(filterGuid);
        for (auto list = filterLists.begin(); list != filterLists.end(); ++list) {
            if (list->ipsecId != filterId)
                continue;
            // A list another rule still applies to stays for that rule; it
            // only loses this rule as its owner.
            bool shared = false;
            for (std::size_t r = 0; r < rules.size(); ++r) {
                if (r == index)
                    continue;
                for (const std::string& other : rules[r].filterReferences) {
                    Guid otherGuid;
                    if (GuidFromReference(other, otherGuid) && FormatGuid(otherGuid) == filterId)
                        shared = true;
                }
            }
            if (shared) {
                auto& owners = list->ownersReference;
                for (auto o = owners.begin(); o != owners.end(); ++o) {
                    if (*o == rulePath) {
                        owners.erase(o);
                        break;
                    }
                }
            } else {
                filterLists.erase(list);
            }
            break;
        }
    }
    rules.erase(rules.begin() + static_cast<std::ptrdiff_t>(index));

    auto& references = policy.ruleReferences;
    for (auto it = references.begin(); it != references.end(); ++it) {
        if (*it == ruleReference) {
            references.erase(it);
            break;
        }
    }
}

const RuleObject* PolicyModel::FindRule(std::string_view ruleReference) const {
    const auto id = RuleIdFromReference(ruleReference);
    if (!id)
        return nullptr;
    for (const auto& rule : rules)
        if (rule.ipsecId == *id)
            return &rule;
    return nullptr;
}

std::u16string PolicyModel::GetRuleKey(std::string_view ruleReference) const {
    const RuleObject* rule = FindRule(ruleReference);
    if (rule == nullptr || rule->authMethods.empty())
        return {};
    return rule->authMethods.front().text;
}

void PolicyModel::SetRuleKey(std::string_view ruleReference, std::u16string_view key) {
    const auto id = RuleIdFromReference(ruleReference);
    if (!id)
        return;
    for (auto& rule : rules)
        if (rule.ipsecId == *id && !rule.authMethods.empty())
            rule.authMethods.front().text = std::u16string(key);
}

} // namespace ipseccfg
