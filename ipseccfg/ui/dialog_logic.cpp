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

bool ReadDialogUnsigned(std::u16string_view text, std::uint32_t& value) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t'))
        ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t'))
        --end;
    if (begin == end)
        return false;
    std::uint64_t number = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
        number = number * 10 + static_cast<std::uint64_t>(text[i] - u'0');
        if (number > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

OkVerdict CheckDialogInput(const std::u16string& addressText, std::u16string_view portText,
                           const AddressResolver& resolve, std::uint32_t& address,
                           std::uint32_t& port) {
    std::uint32_t resolved = 0;
    if (!resolve || !resolve(addressText, resolved))
        return OkVerdict::InvalidAddress;
    std::uint32_t number = 0;
    if (!ReadDialogUnsigned(portText, number) || number < 1 || number > 0xFFFF)
        return OkVerdict::InvalidPort;
    address = resolved;
    port = number;
    return OkVerdict::Apply;
}

} // namespace ipseccfg
