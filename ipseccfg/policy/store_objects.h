// Identity, references and registry form of single store objects, and the
// owner-aware removal of a stored policy.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../store/registry_key.h"
#include "policy_types.h"

namespace ipseccfg {

// Full path of an object: base path + its name.
std::string ObjectPath(const StoreObject& object);
std::string ObjectPath(std::string_view kind, const Guid& guid);

// ipsecId and ipsecName become the braced GUID, name the kind followed by it.
// Without a GUID a new one is made; false only when that fails.
bool AssignIdentity(StoreObject& object, std::string_view kind, const std::optional<Guid>& guid);

// Adds the owner's path to the child's owner list; returns the child's path.
std::string LinkOwner(StoreObject& child, const StoreObject& owner);

// Writes the common values and then `extra` under base path + name (key
// opened or created with full access). Every write is attempted; true only
// when all succeeded.
bool WriteObject(const StoreObject& object, std::string_view kind, const Bytes& blob,
                 const std::function<bool(CRegistryKey&)>& extra = {}) noexcept;
bool WritePolicy(const PolicyObject& policy) noexcept;
bool WriteIsakmp(const IsakmpPolicy& isakmp) noexcept;
bool WriteRule(const RuleObject& rule) noexcept;
bool WriteFilterList(const FilterList& list) noexcept;

// Reads an existing object of `kind` and `guid`. Values that are missing keep
// what identity and defaults put there; the result is false when the key is
// missing, a value read failed or the blob is malformed.
bool ReadPolicy(PolicyObject& policy, const Guid& guid) noexcept;
bool ReadIsakmp(IsakmpPolicy& isakmp, const Guid& guid) noexcept;
bool ReadRule(RuleObject& rule, const Guid& guid) noexcept;
bool ReadFilterList(FilterList& list, const Guid& guid) noexcept;

// Removes the stored policy and every object it alone owns; shared objects
// only lose the owner entry. The platform's negotiation policy is never
// deleted or changed. Failures do not stop the walk; DeleteStoredPolicy does
// not report them, RemoveStoredPolicy returns the paths of the objects it
// could not delete or update (empty when nothing was stored).
void DeleteStoredPolicy(const Guid& policyGuid) noexcept;
std::vector<std::string> RemoveStoredPolicy(const Guid& policyGuid) noexcept;

} // namespace ipseccfg
