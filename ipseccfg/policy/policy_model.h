// The in-memory tree of one stored policy, its builder, and Load/Save.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy_types.h"

namespace ipseccfg {

// Source of new GUIDs; CreateGuid unless a caller supplies its own.
using GuidSource = std::function<bool(Guid&)>;

class PolicyModel {
  public:
    Guid policyGuid;
    PolicyObject policy;
    IsakmpPolicy isakmp;
    std::vector<RuleObject> rules;
    std::vector<FilterList> filterLists;

    // A new model: the policy (polling 10800 s) for `guid` (a new GUID when
    // none), its ISAKMP policy with one offer, and the default response rule
    // with key "58316042". Null when memory runs out or no GUID can be made.
    static std::unique_ptr<PolicyModel> CreateDefault(const std::optional<Guid>& guid = {},
                                                      GuidSource source = {}) noexcept;

    // A rule without filter lists answering any peer: method 1 with `key`,
    // or method 3 with `alternative` when no key is given.
    // Like every builder step, false (model unchanged) only when memory or
    // new GUIDs run out.
    bool AddDefaultResponseRule(const std::optional<std::string>& key,
                                const std::optional<std::string>& alternative) noexcept;

    // A rule with one filter list of one spec. New GUIDs in the order filter
    // list, spec, rule. Ports are kept only for TCP (6) and UDP (17).
    bool AddRule(std::string_view name, bool mirrored, const Endpoint& source,
                 const Endpoint& destination, std::uint8_t protocol,
                 const std::uint32_t& tunnelAddress, const std::optional<std::string>& key,
                 const std::optional<std::string>& alternative) noexcept;

    // A mirrored TCP rule from any address and port to `serverAddress`
    // (first octet in the most significant byte) on `port`. The key passes
    // through the ANSI code page on its way in.
    bool AddServiceRule(std::string_view name, bool myAddress, std::uint32_t serverAddress,
                        std::uint16_t port, std::u16string_view key) noexcept;

    // Removes the rule a reference names, its filter lists and its entry in
    // the policy's rule list. An unknown reference changes nothing. A filter
    // list another rule still uses stays, without the removed rule as owner.
    void RemoveRule(std::string_view ruleReference);

    // The first rule the reference names (compared by its GUID); null when
    // none.
    const RuleObject* FindRule(std::string_view ruleReference) const;
    // Key of the first rule the reference names (empty when none).
    std::u16string GetRuleKey(std::string_view ruleReference) const;
    // Sets the key of every rule the reference names.
    void SetRuleKey(std::string_view ruleReference, std::u16string_view key);

    // Writes filter lists, rules, the ISAKMP policy and the policy. On any
    // failure deletes the stored tree of the policy and returns false.
    bool Save() noexcept;
    // Replaces the defaults with the stored tree of `policyGuid`. False when
    // the policy is not stored (model unchanged) or any object failed to read.
    bool Load() noexcept;

    // Makes a GUID with the model's source.
    bool NewGuid(Guid& guid) const noexcept;

    GuidSource guidSource;
};

} // namespace ipseccfg
