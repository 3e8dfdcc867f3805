// Operations on the stored configurator policy: what is active, reading the
// current settings back, activation through the policy agent, and the apply
// step behind the dialog's OK and the command line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../store/guid.h"

namespace ipseccfg {

inline constexpr const char* kActivePolicyValue = "ActivePolicy";
inline constexpr const char* kPolicyAgentService = "PolicyAgent";
// Query status, start and user-defined control.
inline constexpr std::uint32_t kPolicyAgentAccess = 0x114;
// Tells the policy agent that "ActivePolicy" changed.
inline constexpr std::uint32_t kPolicyChangedControl = 129;
// Polls of the agent after starting it, 50 ms apart.
inline constexpr int kAgentStartPolls = 200;
inline constexpr unsigned kAgentPollIntervalMs = 50;

// True when "ActivePolicy" is a non-empty REG_SZ value. `guid` (optional)
// receives the GUID of its last 38 characters; text that carries no GUID
// (too short or malformed) yields the null GUID, so it never passes for the
// configurator's policy.
bool ReadActivePolicy(Guid* guid = nullptr);

// True when some other policy than the configurator's is active.
bool IsForeignPolicyActive();

// Settings of the stored service rules. Address in host order (first octet
// in the most significant byte). The values keep the caller's defaults when
// no service rule is stored; the result says whether one was found.
bool ReadCurrentSettings(std::uint32_t& address, std::uint32_t& port, std::u16string& key);

// Pause between polls of the agent; the platform's sleep unless a test
// supplies its own.
using SleepFunction = std::function<void(unsigned milliseconds)>;
void PlatformSleep(unsigned milliseconds);

// How an activation or an apply step ended: the first step that failed.
enum class ApplyOutcome {
    Applied,
    StoreWriteFailed,        // the policy could not be written to the store
    AgentStartFailed,        // the agent is missing, would not start or is not running
    ActivePolicyWriteFailed, // "ActivePolicy" could not be written
    AgentNotifyFailed,       // control 129 was not delivered
};

// Starts "PolicyAgent" when stopped and waits for it to run, records the
// policy in "ActivePolicy" and sends control 129. False on the first step
// that fails; what was done before stays done.
bool ActivatePolicy(const Guid& policyGuid);
bool ActivatePolicy(const Guid& policyGuid, const SleepFunction& sleep);
ApplyOutcome ActivatePolicyOutcome(const Guid& policyGuid, const SleepFunction& sleep);

// Writes the configurator's policy with both service rules (ports `port` and
// `port` + 1), or without them when deactivating, and activates it. False
// when the policy could not be saved (then "ActivePolicy" is left alone) or
// activation failed. Address in host order.
bool ApplyConfiguration(std::uint32_t address, std::uint32_t port, std::u16string_view key,
                        bool deactivate);
bool ApplyConfiguration(std::uint32_t address, std::uint32_t port, std::u16string_view key,
                        bool deactivate, const SleepFunction& sleep);
ApplyOutcome ApplyConfigurationOutcome(std::uint32_t address, std::uint32_t port,
                                       std::u16string_view key, bool deactivate,
                                       const SleepFunction& sleep = PlatformSleep);

// State of "PolicyAgent" as an administrator asks for it: opened for
// querying only, so looking changes nothing. A service that cannot be opened
// counts as missing; any state but running as stopped.
enum class AgentState { Running, Stopped, Missing };
AgentState ReadAgentState();

enum class ActivePolicyKind { None, Configurator, Other };

// What is configured, read from the store and the agent without changing
// anything.
struct ConfigurationStatus {
    bool stored = false;       // the configurator's policy is in the store
    bool damaged = false;      // stored, but an object is unreadable or incomplete
    std::string damagedObject; // path of the first damaged object
    // Both service rules are stored (never for a damaged tree).
    bool configured = false;
    // From the service rules; empty when none (or the tree is damaged).
    std::optional<std::uint32_t> address; // host order
    std::vector<std::uint16_t> ports;     // of every service rule, in stored order
    std::optional<bool> keySet;           // the first rule's preshared key is not empty
    ActivePolicyKind activePolicy = ActivePolicyKind::None;
    std::string activePolicyText; // "ActivePolicy" as stored when it names another policy
    AgentState agent = AgentState::Missing;

    // Our policy is active and holds both rules.
    bool Protected() const {
        return configured && !damaged && activePolicy == ActivePolicyKind::Configurator;
    }
};
ConfigurationStatus ReadConfigurationStatus();

// Takes the configurator's configuration away: "ActivePolicy" when it names
// our policy (then control 129 to a running agent; a stopped one is not
// started), and the whole stored policy tree. Foreign policies, their
// objects, an "ActivePolicy" naming one and the shared negotiation policy
// stay untouched. Nothing stored is success.
struct RemoveResult {
    bool wasStored = false;              // our policy was in the store
    bool wasActive = false;              // "ActivePolicy" named it
    bool activePolicyLeft = false;       // ... and could not be deleted (the tree then stays too)
    std::vector<std::string> leftBehind; // store objects that could not be removed
    bool agentNotifyFailed = false;      // the running agent was not told

    bool Removed() const { return !activePolicyLeft && leftBehind.empty() && !agentNotifyFailed; }
};
RemoveResult RemoveConfiguration();

} // namespace ipseccfg
