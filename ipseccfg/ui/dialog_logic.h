// The decisions of the configurator's dialog, apart from the window code:
// what it shows when it opens and whether OK may apply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../store/guid.h"
#include "command_line.h"

namespace ipseccfg {

// Address (host order), port and key the dialog starts from.
struct DialogSettings {
    std::uint32_t address = 0;
    std::uint32_t port = 3260;
    std::u16string key;
};

struct DialogStart {
    bool foreignPolicy = false; // show the refusal and end with Cancel
    bool activateChecked = false;
    std::u16string addressText;
    std::u16string portText;
    std::u16string keyText;
};

// `activePolicy` is the GUID "ActivePolicy" yields, or nothing when no policy
// is recorded. The box is ticked only when our policy is the active one and
// service rules were found.
DialogStart DecideDialogStart(const DialogSettings& settings, bool rulesFound,
                              const std::optional<Guid>& activePolicy);

// "a.b.c.d", first octet first.
std::u16string FormatDottedAddress(std::uint32_t hostOrderAddress);

enum class OkVerdict { Apply, InvalidAddress, InvalidPort };

// The port field read as an unsigned decimal number, the strict way the
// system reads a dialog item: blanks around it are allowed, anything else
// but digits (a sign, "12a", nothing at all) or a value beyond 32 bits is
// not a number.
bool ReadDialogUnsigned(std::u16string_view text, std::uint32_t& value);

// Checks the fields in the dialog's order: the address first, then the port
// (1 to 65535). On Apply `address` and `port` hold what was read.
OkVerdict CheckDialogInput(const std::u16string& addressText, std::u16string_view portText,
                           const AddressResolver& resolve, std::uint32_t& address,
                           std::uint32_t& port);

} // namespace ipseccfg
