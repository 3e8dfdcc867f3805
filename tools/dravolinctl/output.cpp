#include "output.h"

#include <algorithm>
#include <cstdio>

namespace dravolinctl {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is not one.
size_t utf8SequenceLength(std::string_view s, size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not valid.
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

void appendEscaped(std::string& out, unsigned code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", code);
    out += buf;
}

} // namespace

std::string jsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const size_t len = utf8SequenceLength(text, i); len != 0) {
                out.append(text.substr(i, len));
                i += len;
            } else {
                appendEscaped(out, c);
                ++i;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                appendEscaped(out, c);
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string formatText(const StepResult& result, bool withHeader) {
    std::string out;
    if (withHeader) {
        out += "# " + result.command;
        if (result.arg)
            out += " " + *result.arg;
        out += "\n";
    }
    for (const auto& r : result.records)
        out += r.name + "=" + r.value + "\n";
    return out;
}

namespace {

std::string jsonObject(const StepResult& r, const std::string& indent) {
    std::string out = indent + "{\n";
    out += indent + "  \"command\": " + jsonString(r.command) + ",\n";
    out += indent + "  \"argument\": " + (r.arg ? jsonString(*r.arg) : "null") + ",\n";
    out += indent + "  \"ok\": " + (r.ok ? "true" : "false") + ",\n";
    out += indent + "  \"status\": " + std::to_string(r.status) + ",\n";
    out += indent + "  \"text\": " + jsonString(r.text) + ",\n";
    out += indent + "  \"reason\": " + (r.reason ? jsonString(*r.reason) : "null") + ",\n";
    if (r.file)
        out += indent + "  \"file\": " + jsonString(*r.file) + ",\n";
    out += indent + "  \"records\": [";
    for (size_t i = 0; i < r.records.size(); ++i) {
        out += i ? ",\n" : "\n";
        out += indent + "    {\"name\": " + jsonString(r.records[i].name) +
               ", \"value\": " + jsonString(r.records[i].value) + "}";
    }
    out += r.records.empty() ? "]\n" : "\n" + indent + "  ]\n";
    out += indent + "}";
    return out;
}

} // namespace

std::string formatJson(const std::vector<StepResult>& results, bool asArray) {
    if (!asArray)
        return (results.empty() ? std::string("null") : jsonObject(results.front(), "")) + "\n";
    std::string out = "[";
    for (size_t i = 0; i < results.size(); ++i) {
        out += i ? ",\n" : "\n";
        out += jsonObject(results[i], "  ");
    }
    out += results.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string formatBytes(std::uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024.0;
    size_t u = 0;
    while (v >= 1024.0 && u + 1 < std::size(units)) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

std::string renderProgress(std::uint64_t done, std::optional<std::uint64_t> total, int width) {
    if (!total)
        return formatBytes(done) + " received";
    const std::uint64_t t = *total;
    const std::uint64_t shown = std::min(done, t);
    const int percent = t == 0 ? 100 : static_cast<int>(shown * 100 / t);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent);
    const std::string tail =
        " " + std::string(pct) + " " + formatBytes(shown) + " / " + formatBytes(t);
    const int barWidth = std::max(0, width - static_cast<int>(tail.size()) - 2);
    if (barWidth < 4)
        return std::string(pct) + " " + formatBytes(shown);
    const int filled = t == 0 ? barWidth : static_cast<int>(shown * barWidth / t);
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(barWidth - filled), '.') + "]" + tail;
}

std::string renderActivity(std::uint64_t done, unsigned tick, int width) {
    const std::string tail = " " + formatBytes(done) + " received";
    const int barWidth = width - static_cast<int>(tail.size()) - 2;
    const std::string marker = "<=>";
    const int span = barWidth - static_cast<int>(marker.size());
    if (span < 1)
        return formatBytes(done) + " received";
    // The marker walks to the right end and back.
    const int period = 2 * span;
    int at = static_cast<int>(tick % static_cast<unsigned>(period));
    if (at > span)
        at = period - at;
    return "[" + std::string(static_cast<size_t>(at), ' ') + marker +
           std::string(static_cast<size_t>(span - at), ' ') + "]" + tail;
}

std::optional<std::uint64_t> parseSize(std::string_view text) {
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v;
}

std::optional<std::string> findRecord(const std::vector<Record>& records, std::string_view name) {
    for (const auto& r : records)
        if (r.name == name)
            return r.value;
    return std::nullopt;
}

std::string formatTraceLine(std::int64_t epochMs, int direction, std::string_view line) {
    const std::int64_t dayMs = ((epochMs % 86400000) + 86400000) % 86400000;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", static_cast<int>(dayMs / 3600000),
                  static_cast<int>(dayMs / 60000 % 60), static_cast<int>(dayMs / 1000 % 60),
                  static_cast<int>(dayMs % 1000));
    std::string out = stamp;
    out += direction == 0 ? "> " : direction == 1 ? "< " : "* ";
    out.append(line);
    out += '\n';
    return out;
}

} // namespace dravolinctl
