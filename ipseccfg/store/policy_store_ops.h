// Operations on the stored configurator policy: what is active, reading the
// current settings back, activation through the policy agent, and the apply
// step behind the dialog's OK and the command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "guid.h"

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

// Starts "PolicyAgent" when stopped and waits for it to run, records the
// policy in "ActivePolicy" and sends control 129. False on the first step
// that fails; what was done before stays done.
bool ActivatePolicy(const Guid& policyGuid);
bool ActivatePolicy(const Guid& policyGuid, const SleepFunction& sleep);

// Writes the configurator's policy with both service rules (ports `port` and
// `port` + 1), or without them when deactivating, and activates it. False
// when the policy could not be saved (then "ActivePolicy" is left alone) or
// activation failed. Address in host order.
bool ApplyConfiguration(std::uint32_t address, std::uint32_t port, std::u16string_view key,
                        bool deactivate);
bool ApplyConfiguration(std::uint32_t address, std::uint32_t port, std::u16string_view key,
                        bool deactivate, const SleepFunction& sleep);

} // namespace ipseccfg
