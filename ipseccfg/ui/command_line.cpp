#include "command_line.h"

#include <climits>

namespace ipseccfg {

std::u16string_view CommandLineTail(std::u16string_view line) {
    std::size_t pos = 0;
    if (!line.empty() && line[0] == u'"') {
        // A quoted program name ends at the next quote (or the end).
        pos = 1;
        while (pos < line.size() && line[pos] != u'"')
            ++pos;
        if (pos < line.size())
            ++pos;
    } else {
        while (pos < line.size() && line[pos] != u' ' && line[pos] != u'\t')
            ++pos;
    }
    while (pos < line.size() && (line[pos] == u' ' || line[pos] == u'\t'))
        ++pos;
    return line.substr(pos);
}

std::int32_t ReadCStyleInteger(std::u16string_view text) {
    std::size_t pos = 0;
    auto isSpace = [](char16_t c) {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
    };
    while (pos < text.size() && isSpace(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    // Accumulate as a magnitude and saturate, so long digit runs cannot
    // overflow.
    std::int64_t magnitude = 0;
    const std::int64_t limit = static_cast<std::int64_t>(INT_MAX) + 1;
    while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') {
        magnitude = magnitude * 10 + (text[pos] - u'0');
        if (magnitude > limit)
            magnitude = limit;
        ++pos;
    }
    if (negative)
        return static_cast<std::int32_t>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<std::int32_t>(magnitude);
}

CommandKind ClassifyCommandLine(std::u16string_view line) {
    // cmd.exe hands on the blank before a redirection ("/show /json > f"),
    // so blanks and tabs at the end do not count here.
    while (!line.empty() && (line.back() == u' ' || line.back() == u'\t'))
        line.remove_suffix(1);
    auto isWord = [](std::u16string_view token, std::u16string_view word) {
        return token.size() == word.size() + 1 && (token[0] == u'/' || token[0] == u'-') &&
               token.substr(1) == word;
    };
    if (line == u"/?" || line == u"-?" || line == u"/help")
        return CommandKind::Help;
    if (isWord(line, u"remove"))
        return CommandKind::Remove;
    if (isWord(line, u"show"))
        return CommandKind::Show;
    const std::size_t blank = line.find(u' ');
    if (blank != std::u16string_view::npos && isWord(line.substr(0, blank), u"show") &&
        isWord(line.substr(blank + 1), u"json"))
        return CommandKind::ShowJson;
    return CommandKind::Switches;
}

std::optional<CommandLineSettings> ParseSwitches(std::u16string_view line,
                                                 const AddressResolver& resolve) {
    return ParseSwitchesExplained(line, resolve).settings;
}

SwitchParse ParseSwitchesExplained(std::u16string_view line, const AddressResolver& resolve) {
    SwitchParse result;
    auto reject = [&](Rejection why, std::u16string_view token) {
        result.rejection = why;
        result.token = std::u16string(token);
        return result;
    };
    CommandLineSettings settings;
    std::size_t start = 0;
    while (true) {
        const std::size_t blank = line.find(u' ', start);
        const std::u16string_view token = line.substr(
            start, blank == std::u16string_view::npos ? std::u16string_view::npos : blank - start);
        if (token.size() < 2 || (token[0] != u'-' && token[0] != u'/'))
            return reject(Rejection::NotUnderstood, token);
        const std::u16string value(token.substr(2));
        switch (token[1]) {
        case u'a': {
            std::uint32_t address = 0;
            if (!resolve || !resolve(value, address))
                return reject(Rejection::InvalidAddress, token);
            settings.address = address;
            break;
        }
        case u'p': {
            // Compared unsigned, so negative numbers are out of range too.
            const auto port = static_cast<std::uint32_t>(ReadCStyleInteger(value));
            if (port == 0 || port > 0xFFFF)
                return reject(Rejection::InvalidPort, token);
            settings.port = port;
            break;
        }
        case u'k':
            settings.key = value;
            break;
        case u'u':
            settings.deactivate = true;
            break;
        default:
            return reject(Rejection::NotUnderstood, token);
        }
        if (blank == std::u16string_view::npos)
            break;
        start = blank + 1;
    }
    result.settings = std::move(settings);
    return result;
}

int RunCommandLine(std::u16string_view loweredLine, const AddressResolver& resolve,
                   const ApplyFunction& apply) {
    const auto settings = ParseSwitches(loweredLine, resolve);
    if (!settings)
        return kExitRejectedLine;
    return apply(*settings) ? kExitSuccess : kExitApplyFailed;
}

} // namespace ipseccfg
