#include "policy_model.h"

#include "store_objects.h"

namespace ipseccfg {

bool PolicyModel::NewGuid(Guid& guid) const noexcept {
    try {
        return guidSource ? guidSource(guid) : CreateGuid(guid);
    } catch (...) {
        return false;
    }
}

bool PolicyModel::Save() noexcept {
    bool ok = true;
    for (const FilterList& list : filterLists)
        ok &= WriteFilterList(list);
    for (const RuleObject& rule : rules)
        ok &= WriteRule(rule);
    ok &= WriteIsakmp(isakmp);
    ok &= WritePolicy(policy);
    if (!ok)
        DeleteStoredPolicy(policyGuid);
    return ok;
}

bool PolicyModel::Load() noexcept {
    try {
        {
            CRegistryKey key;
            if (!key.Open(kHkeyLocalMachine, ObjectPath(kKindPolicy, policyGuid), OpenExisting,
                          kKeyAllAccess))
                return false;
        }
        bool ok = ReadPolicy(policy, policyGuid);

        Guid guid;
        if (GuidFromReference(policy.isakmpReference, guid))
            ok &= ReadIsakmp(isakmp, guid);
        else
            ok = false;

        // Rules whose reference names no object cannot be identified; they
        // are left out rather than kept as nameless defaults.
        std::vector<RuleObject> loaded;
        loaded.reserve(policy.ruleReferences.size());
        for (std::size_t i = 0; i < policy.ruleReferences.size(); ++i) {
            RuleObject rule = i < rules.size() ? std::move(rules[i]) : RuleObject{};
            if (!GuidFromReference(policy.ruleReferences[i], guid)) {
                ok = false;
                continue;
            }
            ok &= ReadRule(rule, guid);
            loaded.push_back(std::move(rule));
        }
        rules.swap(loaded);

        filterLists.clear();
        for (const RuleObject& rule : rules) {
            for (const std::string& reference : rule.filterReferences) {
                if (!GuidFromReference(reference, guid)) {
                    ok = false;
                    continue;
                }
                FilterList list;
                ok &= ReadFilterList(list, guid);
                bool held = false;
                for (const FilterList& existing : filterLists)
                    if (existing.ipsecId == list.ipsecId)
                        held = true;
                if (!held)
                    filterLists.push_back(std::move(list));
            }
        }
        return ok;
    } catch (...) {
        return false;
    }
}

} // namespace ipseccfg
