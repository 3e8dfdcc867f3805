#include "program_run.h"

#include <cstdio>

#include "../store/text_codepage.h"

namespace ipseccfg {

namespace {

std::string Narrow(std::string_view ansi) {
    return ToUtf8(AnsiToWide(ansi));
}

std::string Dotted(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

// A switch as it may be shown in a one-line message: control characters (a line end pasted
// into the command line) become '?', and a long one is cut.
std::string ShownToken(std::u16string_view token) {
    constexpr std::size_t kMostShown = 64;
    std::u16string shown(token.substr(0, kMostShown));
    for (char16_t& c : shown) {
        if (c < 0x20 || c == 0x7F)
            c = u'?';
    }
    std::string text = ToUtf8(shown);
    if (token.size() > kMostShown)
        text += "...";
    return text;
}

std::string RejectionMessage(const SwitchParse& parse) {
    switch (parse.rejection) {
    case Rejection::InvalidAddress:
        return "Invalid IP address.";
    case Rejection::InvalidPort:
        return "Invalid port number.";
    case Rejection::NotUnderstood:
    case Rejection::None:
        break;
    }
    if (parse.token.empty())
        return "Switch not understood: \"\" (two blanks in a row or a blank at the end of the "
               "line).";
    return "Switch not understood: \"" + ShownToken(parse.token) + "\".";
}

std::string ApplyFailure(ApplyOutcome outcome) {
    std::string line = "The IP Security settings could not be applied. ";
    switch (outcome) {
    case ApplyOutcome::StoreWriteFailed:
        return line + "The policy could not be written to the store.";
    case ApplyOutcome::AgentStartFailed:
        return line + "The policy agent (\"PolicyAgent\") could not be started.";
    case ApplyOutcome::ActivePolicyWriteFailed:
        return line + "The policy could not be recorded as active (\"ActivePolicy\").";
    case ApplyOutcome::AgentNotifyFailed:
        return line + "The policy agent could not be notified.";
    case ApplyOutcome::Applied:
        break;
    }
    return line;
}

int RunSwitches(std::u16string_view line, const ProgramServices& services, ProgramOutput& output) {
    const SwitchParse parse = ParseSwitchesExplained(line, services.resolve);
    if (!parse.settings) {
        output.Message(RejectionMessage(parse));
        return kExitRejectedLine;
    }
    const CommandLineSettings& settings = *parse.settings;
    const ApplyOutcome outcome = services.apply(settings);
    if (outcome != ApplyOutcome::Applied) {
        output.Message(ApplyFailure(outcome));
        return kExitApplyFailed;
    }
    if (settings.deactivate) {
        output.Message("IP Security deactivated: the service rules were removed.");
    } else {
        // The second port wraps like the stored 16-bit field.
        output.Message("IP Security activated for " + Dotted(settings.address) + ", ports " +
                       std::to_string(settings.port) + " and " +
                       std::to_string((settings.port + 1) & 0xFFFF) + ".");
    }
    return kExitSuccess;
}

int RunShow(bool json, const ProgramServices& services, ProgramOutput& output) {
    const ConfigurationStatus status = services.readStatus();
    output.Print(json ? FormatStatusJson(status) : FormatStatusText(status));
    if (status.damaged) {
        output.Message("The stored policy is damaged: " + Narrow(status.damagedObject) + ".");
        return kExitApplyFailed;
    }
    return status.Protected() ? kExitSuccess : kExitNotProtected;
}

int RunRemove(const ProgramServices& services, ProgramOutput& output) {
    const RemoveResult result = services.remove();
    if (result.Removed()) {
        output.Message(result.wasStored || result.wasActive
                           ? "The IP Security configuration was removed."
                           : "No IP Security configuration was stored.");
        return kExitSuccess;
    }
    std::string what;
    auto add = [&](const std::string& part) {
        if (!what.empty())
            what += "; ";
        what += part;
    };
    if (result.activePolicyLeft)
        add("\"ActivePolicy\" could not be deleted, so the policy was kept");
    if (!result.leftBehind.empty()) {
        std::string paths;
        for (const std::string& path : result.leftBehind)
            paths += (paths.empty() ? "" : ", ") + Narrow(path);
        add("left in the store: " + paths);
    }
    if (result.agentNotifyFailed)
        add("the policy agent could not be notified");
    output.Message("The IP Security configuration could not be removed completely: " + what + ".");
    return kExitApplyFailed;
}

const char* AgentText(AgentState agent, bool json) {
    switch (agent) {
    case AgentState::Running:
        return "running";
    case AgentState::Stopped:
        return "stopped";
    case AgentState::Missing:
        break;
    }
    return json ? "missing" : "not installed";
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

ProgramServices StoreServices(AddressResolver resolve) {
    ProgramServices services;
    services.resolve = std::move(resolve);
    services.apply = [](const CommandLineSettings& s) {
        return ApplyConfigurationOutcome(s.address, s.port, s.key, s.deactivate);
    };
    services.readStatus = ReadConfigurationStatus;
    services.remove = RemoveConfiguration;
    return services;
}

int RunProgramCommand(std::u16string_view loweredLine, const ProgramServices& services,
                      ProgramOutput& output) {
    switch (ClassifyCommandLine(loweredLine)) {
    case CommandKind::Help:
        output.Print(UsageText());
        return kExitSuccess;
    case CommandKind::Show:
        return RunShow(false, services, output);
    case CommandKind::ShowJson:
        return RunShow(true, services, output);
    case CommandKind::Remove:
        return RunRemove(services, output);
    case CommandKind::Switches:
        break;
    }
    return RunSwitches(loweredLine, services, output);
}

std::string FormatStatusText(const ConfigurationStatus& status) {
    std::string text;
    auto line = [&](const char* name, const std::string& value) {
        text += name;
        text += ": ";
        text += value;
        text += '\n';
    };
    line("Protected", status.Protected() ? "yes" : "no");
    line("Configured", status.configured ? "yes" : "no");
    if (status.damaged)
        line("Stored policy", "damaged (" + Narrow(status.damagedObject) + ")");
    else
        line("Stored policy", status.stored ? "yes" : "none");
    line("Server address", status.address ? Dotted(*status.address) : "none");
    std::string ports;
    for (std::uint16_t port : status.ports)
        ports += (ports.empty() ? "" : " ") + std::to_string(port);
    line("Ports", ports.empty() ? "none" : ports);
    line("Preshared key", status.keySet ? (*status.keySet ? "set" : "empty") : "none");
    switch (status.activePolicy) {
    case ActivePolicyKind::None:
        line("Active policy", "none");
        break;
    case ActivePolicyKind::Configurator:
        line("Active policy", "configurator");
        break;
    case ActivePolicyKind::Other:
        line("Active policy", "other (" + Narrow(status.activePolicyText) + ")");
        break;
    }
    line("Policy agent", AgentText(status.agent, false));
    return text;
}

std::string FormatStatusJson(const ConfigurationStatus& status) {
    std::string json = "{\"protected\":";
    json += status.Protected() ? "true" : "false";
    json += ",\"configured\":";
    json += status.configured ? "true" : "false";
    json += ",\"address\":";
    json += status.address ? JsonString(Dotted(*status.address)) : "null";
    json += ",\"ports\":[";
    for (std::size_t i = 0; i < status.ports.size(); ++i)
        json += (i ? "," : "") + std::to_string(status.ports[i]);
    json += "],\"presharedKey\":";
    json += status.keySet ? (*status.keySet ? "\"set\"" : "\"empty\"") : "null";
    json += ",\"activePolicy\":";
    switch (status.activePolicy) {
    case ActivePolicyKind::None:
        json += "\"none\",\"otherPolicy\":null";
        break;
    case ActivePolicyKind::Configurator:
        json += "\"configurator\",\"otherPolicy\":null";
        break;
    case ActivePolicyKind::Other:
        json += "\"other\",\"otherPolicy\":" + JsonString(Narrow(status.activePolicyText));
        break;
    }
    json += ",\"agent\":\"";
    json += AgentText(status.agent, true);
    json += "\"}\n";
    return json;
}

std::string UsageText() {
    return "Usage: DravolinIPSecCfg [-aADDRESS] [-pPORT] [-kKEY] [-u]\n"
           "       DravolinIPSecCfg /show [/json]\n"
           "       DravolinIPSecCfg /remove\n"
           "       DravolinIPSecCfg /?\n"
           "Without arguments the configurator's dialog opens.\n"
           "\n"
           "  -aADDRESS  server address, dotted IPv4 or host name (default 0.0.0.0)\n"
           "  -pPORT     service port, 1 to 65535; rules for PORT and PORT + 1 (default 3260)\n"
           "  -kKEY      preshared key, no blanks, read in lower case (default empty)\n"
           "  -u         remove the two service rules; the policy stays active\n"
           "  /show      show what is configured; with /json as one JSON object\n"
           "  /remove    delete the configurator's stored policy, and \"ActivePolicy\" when it\n"
           "             names that policy\n"
           "  /?, /help  this text\n"
           "\n"
           "Every switch may start with - or /; the value follows the letter without a blank.\n"
           "Exit codes: 0 done, 1 command line rejected, 2 failed (the message says what);\n"
           "/show: 0 protected, 3 not protected, 2 the stored policy is damaged.\n";
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace ipseccfg
