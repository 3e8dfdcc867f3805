#include "report_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

std::string formatRatio(const Summary& s) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.2f [%.2f-%.2f]", s.median, s.low, s.high);
    return buf;
}

std::string formatNumber(double value, int decimals) {
    if (!std::isfinite(value))
        return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(value));
    std::string digits(buf);
    const std::size_t dot = digits.find('.');
    std::string whole = digits.substr(0, dot);
    const std::string frac = dot == std::string::npos ? "" : digits.substr(dot);
    std::string grouped;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0)
            grouped.push_back(',');
        grouped.push_back(whole[i]);
    }
    const bool negative = value < 0 && std::stod(digits) != 0.0;
    return (negative ? "-" : "") + grouped + frac;
}

std::optional<TableRow> parseCodecLine(const std::string& line) {
    // Read from the right: the label may be wider than its column.
    const std::size_t open = line.find('[');
    if (line.empty() || line[0] == ' ' || open == std::string::npos)
        return std::nullopt;
    double low = 0, high = 0;
    char verdict[16] = {};
    if (std::sscanf(line.c_str() + open, "[%lf..%lf] %15s", &low, &high, verdict) != 3)
        return std::nullopt;
    double numbers[3] = {};
    std::size_t end = open;
    for (int k = 2; k >= 0; --k) {
        while (end > 0 && line[end - 1] == ' ')
            --end;
        std::size_t start = end;
        while (start > 0 && line[start - 1] != ' ')
            --start;
        const std::string word = line.substr(start, end - start);
        char* stop = nullptr;
        numbers[k] = std::strtod(word.c_str(), &stop);
        if (word.empty() || *stop != '\0')
            return std::nullopt;
        end = start;
    }
    std::string label = line.substr(0, end);
    label.erase(label.find_last_not_of(' ') + 1);
    if (label.empty())
        return std::nullopt;
    TableRow row;
    row.id = "3";
    row.measure = "frame encode + decode, 32 KiB texts: " + label;
    row.baseline = "OpenSSL " + formatNumber(numbers[1], 0) + " MB/s";
    row.library = formatNumber(numbers[0], 0) + " MB/s";
    row.ratio = {numbers[2], low, high, 0};
    row.hasRatio = true;
    row.target = ">= 0.80";
    row.verdict = verdict;
    return row;
}

void sortRows(std::vector<TableRow>& rows) {
    auto key = [](const TableRow& r) {
        char* end = nullptr;
        const long n = std::strtol(r.id.c_str(), &end, 10);
        return end != r.id.c_str() ? n : 1000L;
    };
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const TableRow& a, const TableRow& b) { return key(a) < key(b); });
}

namespace {

std::string cell(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '|')
            out += "\\|";
        else if (c == '\n' || c == '\r')
            out += ' ';
        else
            out += c;
    }
    return out;
}

} // namespace

std::string renderTable(const std::vector<TableRow>& rows) {
    std::string out = "| # | Measure | Placement | Baseline | Library | Ratio median [min-max] | "
                      "p50 ratio | Target | Verdict |\n"
                      "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto& r : rows) {
        out += "| " + cell(r.id) + " | " + cell(r.measure) + " | " + cell(r.placement) + " | " +
               cell(r.baseline) + " | " + cell(r.library) + " | " +
               (r.hasRatio ? formatRatio(r.ratio) : std::string("-")) + " | " +
               (r.hasP50Ratio ? formatRatio(r.p50Ratio) : std::string("-")) + " | " +
               cell(r.target) + " | " + cell(r.verdict) + " |\n";
    }
    return out;
}

} // namespace bench
