// Text services of the platform that the configurator needs outside the
// dialog: lower-casing the command line and resolving server addresses.
#pragma once

#include <cstdint>
#include <string>

namespace ipseccfg {

// Lower-cases the whole text with the platform's character rules.
std::u16string LowerCaseText(std::u16string text);

// Address text to a host-order IPv4 address (first octet most significant).
// A dotted literal is taken as is; anything else, including 255.255.255.255
// (which the literal parser cannot tell from an error), is looked up as a
// host name.
bool ResolveAddress(const std::u16string& text, std::uint32_t& address);

} // namespace ipseccfg
