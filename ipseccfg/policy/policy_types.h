// The objects of the local IPsec policy store as the configurator models them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "../store/guid.h"

namespace ipseccfg {

// Store base path under HKEY_LOCAL_MACHINE; every object lives at this path
// followed by its kind and braced GUID, and every reference is such a path.
inline constexpr const char* kStoreBasePath =
    "SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\Local\\";

// Kinds: registry class names and key-name prefixes at once.
inline constexpr const char* kKindPolicy = "ipsecPolicy";
inline constexpr const char* kKindIsakmp = "ipsecISAKMPPolicy";
inline constexpr const char* kKindRule = "ipsecNFA";
inline constexpr const char* kKindFilter = "ipsecFilter";

// The negotiation policy every rule refers to. It belongs to the platform:
// never created, changed or deleted here.
inline constexpr const char* kNegotiationPolicyPath =
    "SOFTWARE\\Policies\\Microsoft\\Windows\\IPSec\\Policy\\Local\\ipsecNegotiationPolicy"
    "{7238523F-70FA-11D1-864C-14A300000000}";

// The one policy the configurator owns: {07F7805E-A746-486C-B1FF-5A6A33DE185D}.
inline constexpr Guid ConfiguratorPolicyGuid{
    0x07F7805Eu, 0xA746u, 0x486Cu, {0xB1, 0xFF, 0x5A, 0x6A, 0x33, 0xDE, 0x18, 0x5D}};

// Beginning of the ipsecName of the configurator's filter lists.
inline constexpr const char* kServiceRuleName = "DravService";

using Ipv4Bytes = std::array<std::uint8_t, 4>; // network order, first octet first

struct StoreObject {
    std::string description;
    std::string ipsecId; // braced GUID text
    std::string ipsecName;
    std::vector<std::string> ownersReference; // full paths of the owners
    std::string name;                         // kind + braced GUID; also the key name
};

struct AuthMethod {
    std::uint32_t method = 0; // 1 preshared key, 3 alternative text
    std::u16string text;
};

struct FilterSpec {
    std::u16string firstText;
    std::u16string secondText;
    std::u16string thirdText;
    Guid specId;
    std::uint32_t mirrored = 0;
    Ipv4Bytes sourceAddress{};
    Ipv4Bytes sourceMask{};
    Ipv4Bytes destinationAddress{};
    Ipv4Bytes destinationMask{};
    Ipv4Bytes specTunnelAddress{};
    std::uint32_t protocol = 0;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t specTrailer = 0;
};

struct FilterList : StoreObject {
    std::vector<FilterSpec> specs;
};

using RuleTrailer = std::array<std::uint8_t, 28>;
// Sixteen bytes 0x01, then the little-endian words 1, 5 and 0.
inline constexpr RuleTrailer kDefaultRuleTrailer{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                 1, 1, 1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};

struct RuleObject : StoreObject {
    std::vector<AuthMethod> authMethods;
    std::int32_t interfaceType = 0;
    std::u16string interfaceName;
    std::uint32_t tunnelAddress = 0; // value whose little-endian bytes are the address
    std::uint32_t activeFlag = 1;
    std::uint32_t tunnelFlags = 0;
    std::u16string endpointName;
    RuleTrailer ruleTrailer = kDefaultRuleTrailer;
    std::vector<std::string> filterReferences;
    std::string negotiationPolicyReference;
};

// One main-mode offer, kept as its 64 stored bytes.
struct IsakmpOffer {
    std::array<std::uint8_t, 64> bytes{};

    // Little-endian 32-bit word at a byte offset (0..60).
    std::uint32_t Word(std::size_t offset) const noexcept;
    void SetWord(std::size_t offset, std::uint32_t value) noexcept;
};
inline constexpr std::size_t kOfferEncryptionOffset = 4;
inline constexpr std::size_t kOfferHashOffset = 16;
inline constexpr std::size_t kOfferGroupOffset = 44;
inline constexpr std::size_t kOfferLifetimeSecondsOffset = 56;

struct IsakmpPolicy : StoreObject {
    std::array<std::uint8_t, 60> isakmpHeader{}; // u32 switch at offset 20
    std::vector<IsakmpOffer> offers;
};
inline constexpr std::size_t kIsakmpHeaderSwitchOffset = 20;

struct PolicyObject : StoreObject {
    std::uint32_t pollingInterval = 0;
    std::string isakmpReference;
    std::vector<std::string> ruleReferences;
};

// Argument of PolicyModel::AddRule.
struct Endpoint {
    Ipv4Bytes address{};
    Ipv4Bytes mask{};
    std::uint16_t port = 0;
};

} // namespace ipseccfg
