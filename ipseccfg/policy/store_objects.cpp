#include "store_objects.h"

#include <algorithm>
#include <ctime>

#include "ipsec_blob.h"

namespace ipseccfg {

namespace {

constexpr std::uint32_t kIpsecDataType = 0x100;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b))
            return false;
    }
    return true;
}

std::uint32_t Now() {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::time(nullptr)));
}

// Reads a value that may be absent: absent is fine (the field keeps its
// value), present but unreadable is a failure.
bool ReadOptionalString(CRegistryKey& key, const char* name, std::string& field) {
    return !key.HasValue(name) || key.ReadString(name, field);
}

bool ReadOptionalList(CRegistryKey& key, const char* name, std::vector<std::string>& field) {
    if (!key.HasValue(name))
        return true;
    std::vector<std::string> list;
    if (!key.ReadMultiString(name, list))
        return false;
    field.swap(list);
    return true;
}

bool ReadRequiredList(CRegistryKey& key, const char* name, std::vector<std::string>& field) {
    std::vector<std::string> list;
    if (!key.ReadMultiString(name, list))
        return false;
    field.swap(list);
    return true;
}

template <typename T>
bool ReadObject(T& object, std::string_view kind, const Guid& guid,
                bool (*extra)(CRegistryKey&, T&)) noexcept {
    try {
        AssignIdentity(object, kind, guid);
        CRegistryKey key;
        if (!key.Open(kHkeyLocalMachine, ObjectPath(object), OpenExisting, kKeyAllAccess))
            return false;
        bool ok = ReadOptionalString(key, "description", object.description);
        Bytes blob;
        const bool haveBlob = key.ReadBytes("ipsecData", blob);
        ok &= haveBlob;
        ok &= key.ReadString("ipsecID", object.ipsecId);
        ok &= ReadOptionalString(key, "ipsecName", object.ipsecName);
        ok &= key.ReadString("name", object.name);
        ok &= ReadOptionalList(key, "ipsecOwnersReference", object.ownersReference);
        ok &= extra(key, object);
        if (haveBlob)
            ok &= DecodeBlob(blob.data(), blob.size(), object);
        return ok;
    } catch (...) {
        return false;
    }
}

// A reference the deletion may follow: an object of `kind` in the store.
bool IsStorePath(std::string_view path, std::string_view kind) {
    const std::string_view base = kStoreBasePath;
    if (!StartsWithNoCase(path, base))
        return false;
    const std::string_view rest = path.substr(base.size());
    Guid ignored;
    return rest.size() == kind.size() + kGuidTextLength && StartsWithNoCase(rest, kind) &&
           ParseBracedGuid(rest.substr(kind.size()), ignored);
}

} // namespace

std::string ObjectPath(const StoreObject& object) {
    return kStoreBasePath + object.name;
}

std::string ObjectPath(std::string_view kind, const Guid& guid) {
    std::string path = kStoreBasePath;
    path.append(kind);
    path += FormatGuid(guid);
    return path;
}

bool AssignIdentity(StoreObject& object, std::string_view kind, const std::optional<Guid>& guid) {
    Guid g;
    if (guid) {
        g = *guid;
    } else if (!CreateGuid(g)) {
        return false;
    }
    object.ipsecId = FormatGuid(g);
    object.ipsecName = object.ipsecId;
    object.name.assign(kind);
    object.name += object.ipsecId;
    return true;
}

std::string LinkOwner(StoreObject& child, const StoreObject& owner) {
    child.ownersReference.push_back(ObjectPath(owner));
    return ObjectPath(child);
}

bool WriteObject(const StoreObject& object, std::string_view kind, const Bytes& blob,
                 const std::function<bool(CRegistryKey&)>& extra) noexcept {
    try {
        // Without a name the path would be the store's base key itself.
        if (object.name.empty())
            return false;
        CRegistryKey key;
        if (!key.Open(kHkeyLocalMachine, ObjectPath(object), OpenExisting | CreateNew,
                      kKeyAllAccess))
            return false;
        bool ok = key.WriteString("ClassName", kind);
        if (!object.description.empty())
            ok &= key.WriteString("description", object.description);
        ok &= key.WriteBytes("ipsecData", blob);
        ok &= key.WriteDword("ipsecDataType", kIpsecDataType);
        ok &= key.WriteString("ipsecID", object.ipsecId);
        if (!object.ipsecName.empty())
            ok &= key.WriteString("ipsecName", object.ipsecName);
        ok &= key.WriteString("name", object.name);
        if (!object.ownersReference.empty())
            ok &= key.WriteMultiString("ipsecOwnersReference", object.ownersReference);
        ok &= key.WriteDword("whenChanged", Now());
        if (extra)
            ok &= extra(key);
        return ok;
    } catch (...) {
        return false;
    }
}

bool WritePolicy(const PolicyObject& policy) noexcept {
    try {
        return WriteObject(policy, kKindPolicy, EncodeBlob(policy), [&](CRegistryKey& key) {
            bool ok = key.WriteString("ipsecISAKMPReference", policy.isakmpReference);
            ok &= key.WriteMultiString("ipsecNFAReference", policy.ruleReferences);
            return ok;
        });
    } catch (...) {
        return false;
    }
}

bool WriteIsakmp(const IsakmpPolicy& isakmp) noexcept {
    try {
        return WriteObject(isakmp, kKindIsakmp, EncodeBlob(isakmp));
    } catch (...) {
        return false;
    }
}

bool WriteRule(const RuleObject& rule) noexcept {
    try {
        return WriteObject(rule, kKindRule, EncodeBlob(rule), [&](CRegistryKey& key) {
            bool ok = true;
            if (!rule.filterReferences.empty())
                ok &= key.WriteMultiString("ipsecFilterReference", rule.filterReferences);
            ok &=
                key.WriteString("ipsecNegotiationPolicyReference", rule.negotiationPolicyReference);
            return ok;
        });
    } catch (...) {
        return false;
    }
}

bool WriteFilterList(const FilterList& list) noexcept {
    try {
        return WriteObject(list, kKindFilter, EncodeBlob(list));
    } catch (...) {
        return false;
    }
}

bool ReadPolicy(PolicyObject& policy, const Guid& guid) noexcept {
    return ReadObject<PolicyObject>(
        policy, kKindPolicy, guid, [](CRegistryKey& key, PolicyObject& p) {
            bool ok = key.ReadString("ipsecISAKMPReference", p.isakmpReference);
            ok &= ReadRequiredList(key, "ipsecNFAReference", p.ruleReferences);
            return ok;
        });
}

bool ReadIsakmp(IsakmpPolicy& isakmp, const Guid& guid) noexcept {
    return ReadObject<IsakmpPolicy>(isakmp, kKindIsakmp, guid,
                                    [](CRegistryKey&, IsakmpPolicy&) { return true; });
}

bool ReadRule(RuleObject& rule, const Guid& guid) noexcept {
    return ReadObject<RuleObject>(rule, kKindRule, guid, [](CRegistryKey& key, RuleObject& r) {
        // A rule without filter lists stores no "ipsecFilterReference".
        bool ok = ReadOptionalList(key, "ipsecFilterReference", r.filterReferences);
        ok &= key.ReadString("ipsecNegotiationPolicyReference", r.negotiationPolicyReference);
        return ok;
    });
}

bool ReadFilterList(FilterList& list, const Guid& guid) noexcept {
    return ReadObject<FilterList>(list, kKindFilter, guid,
                                  [](CRegistryKey&, FilterList&) { return true; });
}

namespace {

// A stored object and the owner whose reference led to it.
struct OwnedObject {
    std::string owner;
    std::string object;
};

// The objects the policy at `policyPath` (open in `object`; the key is reused
// for its rules) refers to, each with its owner. Only references to objects
// of the expected kind inside the store are followed: a damaged reference
// must not lead the walk to delete some other key of the machine. The
// negotiation policy belongs to the platform and is never collected.
std::vector<OwnedObject> CollectOwnedObjects(CRegistryKey& object, const std::string& policyPath) {
    std::vector<OwnedObject> pairs;
    CRegistryKey probe;
    auto opens = [&](const std::string& path, std::string_view kind) {
        return IsStorePath(path, kind) &&
               probe.Open(kHkeyLocalMachine, path, OpenExisting, kKeyAllAccess);
    };

    std::string isakmpPath;
    if (object.ReadString("ipsecISAKMPReference", isakmpPath) && opens(isakmpPath, kKindIsakmp))
        pairs.push_back({policyPath, isakmpPath});
    std::vector<std::string> rulePaths;
    if (!object.ReadMultiString("ipsecNFAReference", rulePaths))
        return pairs;
    for (const std::string& rulePath : rulePaths) {
        if (!opens(rulePath, kKindRule))
            continue;
        pairs.push_back({policyPath, rulePath});
        if (!object.Open(kHkeyLocalMachine, rulePath, OpenExisting, kKeyAllAccess))
            continue;
        std::vector<std::string> filterPaths;
        if (object.ReadMultiString("ipsecFilterReference", filterPaths))
            for (const std::string& filterPath : filterPaths)
                if (opens(filterPath, kKindFilter))
                    pairs.push_back({rulePath, filterPath});
    }
    return pairs;
}

// An object found a moment ago that cannot be opened now, deleted or updated
// stays behind and is reported in `left`.
void DeleteOrReport(const std::string& path, std::vector<std::string>& left) {
    if (!CRegistryKey::DeleteKey(kHkeyLocalMachine, path))
        left.push_back(path);
}

// Takes the owner out of the object's owner list; the object goes when that
// owner was its only one, or when it has no readable owner list.
void ReleaseOwnedObject(const OwnedObject& pair, std::vector<std::string>& left) {
    CRegistryKey object;
    if (!object.Open(kHkeyLocalMachine, pair.object, OpenExisting, kKeyAllAccess)) {
        // Already gone when several owners listed the same object.
        CRegistryKey probe;
        probe.Open(kHkeyLocalMachine, pair.object, OpenExisting, kKeyAllAccess);
        if (probe.IsOpen())
            left.push_back(pair.object);
        return;
    }
    std::vector<std::string> owners;
    if (!object.ReadMultiString("ipsecOwnersReference", owners)) {
        object.Close();
        DeleteOrReport(pair.object, left);
        return;
    }
    const auto found = std::find(owners.begin(), owners.end(), pair.owner);
    if (found == owners.end())
        return;
    if (owners.size() == 1) {
        object.Close();
        DeleteOrReport(pair.object, left);
    } else {
        owners.erase(found);
        if (!object.WriteMultiString("ipsecOwnersReference", owners))
            left.push_back(pair.object);
    }
}

} // namespace

std::vector<std::string> RemoveStoredPolicy(const Guid& policyGuid) noexcept {
    std::vector<std::string> left;
    try {
        const std::string policyPath = ObjectPath(kKindPolicy, policyGuid);
        std::vector<OwnedObject> owned;
        {
            CRegistryKey object;
            if (!object.Open(kHkeyLocalMachine, policyPath, OpenExisting, kKeyAllAccess))
                return left;
            owned = CollectOwnedObjects(object, policyPath);
        }
        for (const OwnedObject& pair : owned)
            ReleaseOwnedObject(pair, left);
        DeleteOrReport(policyPath, left);
    } catch (...) {
        // Out of memory: what is left cannot be known, so the policy counts.
        try {
            left.push_back(ObjectPath(kKindPolicy, policyGuid));
        } catch (...) {
        }
    }
    return left;
}

void DeleteStoredPolicy(const Guid& policyGuid) noexcept {
    RemoveStoredPolicy(policyGuid);
}

} // namespace ipseccfg
