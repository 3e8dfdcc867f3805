#include "report_table.h"

#include <cmath>
#include <cstdio>

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
                      "Target | Verdict |\n"
                      "|---|---|---|---|---|---|---|---|\n";
    for (const auto& r : rows) {
        out += "| " + cell(r.id) + " | " + cell(r.measure) + " | " + cell(r.placement) + " | " +
               cell(r.baseline) + " | " + cell(r.library) + " | " +
               (r.hasRatio ? formatRatio(r.ratio) : std::string("-")) + " | " + cell(r.target) +
               " | " + cell(r.verdict) + " |\n";
    }
    return out;
}

} // namespace bench
