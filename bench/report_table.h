// The benchmark's result table, printed as Markdown so that a run can be pasted
// into the project's documentation unchanged.
#pragma once

#include "bench_stats.h"

#include <optional>
#include <string>
#include <vector>

namespace bench {

struct TableRow {
    std::string id;        // "1", "2", ... or "-" for extra figures
    std::string measure;   // what is measured
    std::string placement; // "1 CPU", "2 CPUs", or empty
    std::string baseline;  // the baseline's own figures
    std::string library;   // the library's figures
    Summary ratio;         // library / baseline per round
    bool hasRatio = false;
    // For round trips: baseline p50 / library p50 per round; stalls from other
    // load on the machine move rates far more than medians.
    Summary p50Ratio;
    bool hasP50Ratio = false;
    std::string target; // e.g. ">= 0.9"
    std::string verdict;
};

// "1.23 [0.98-1.40]" for a ratio summary.
std::string formatRatio(const Summary& s);

// Number with thousands separators and the given decimals: 12345.6 -> "12,345.6".
std::string formatNumber(double value, int decimals);

// One result line of the frame codec benchmark: a 28-character label, our
// MB/s, OpenSSL's MB/s, the ratio, "[low..high]" and the verdict. Anything
// else (headings, sub-lines) gives no row.
std::optional<TableRow> parseCodecLine(const std::string& line);

// Orders rows by their number, keeping the order within one number; rows
// without a number ("-") come last.
void sortRows(std::vector<TableRow>& rows);

// The table in Markdown: header, separator, one line per row. Pipe characters
// inside cells are escaped so that no cell can break the table.
std::string renderTable(const std::vector<TableRow>& rows);

} // namespace bench
