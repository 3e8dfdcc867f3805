#include "dialog_logic.h"

#include "../policy/policy_types.h"

namespace ipseccfg {

namespace {

std::u16string Decimal(std::uint32_t value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

} // namespace

std::u16string FormatDottedAddress(std::uint32_t address) {
    return Decimal(address >> 24) + u"." + Decimal((address >> 16) & 0xFF) + u"." +
           Decimal((address >> 8) & 0xFF) + u"." + Decimal(address & 0xFF);
}

DialogStart DecideDialogStart(const DialogSettings& settings, bool rulesFound,
                              const std::optional<Guid>& activePolicy) {
    DialogStart start;
    if (activePolicy && !(*activePolicy == ConfiguratorPolicyGuid)) {
        start.foreignPolicy = true;
        return start;
    }
    start.activateChecked = activePolicy.has_value() && rulesFound;
    start.addressText = FormatDottedAddress(settings.address);
    start.portText = Decimal(settings.port);
    start.keyText = settings.key;
    return start;
}

OkVerdict CheckDialogInput(const std::u16string& addressText, bool portRead,
                           std::uint32_t portValue, const AddressResolver& resolve,
                           std::uint32_t& address) {
    std::uint32_t resolved = 0;
    if (!resolve || !resolve(addressText, resolved))
        return OkVerdict::InvalidAddress;
    if (!portRead || portValue < 1 || portValue > 0xFFFF)
        return OkVerdict::InvalidPort;
    address = resolved;
    return OkVerdict::Apply;
}

} // namespace ipseccfg
