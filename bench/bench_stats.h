// Summaries of repeated measurements: the machines these run on are shared and
// noisy, so every figure is reported as a median with its spread.
#pragma once

#include <cstddef>
#include <vector>

namespace bench {

struct Summary {
    double median = 0;
    double low = 0;  // smallest sample
    double high = 0; // largest sample
    std::size_t count = 0;
};

// Median and range of the samples; an empty set gives all zeros.
Summary summarize(std::vector<double> samples);

// Nearest-rank percentile (0 < q <= 1) of the samples; 0 for an empty set.
double percentile(std::vector<double> samples, double q);

} // namespace bench
