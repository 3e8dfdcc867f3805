#include "bench_stats.h"

#include <algorithm>
#include <cmath>

namespace bench {

Summary summarize(std::vector<double> samples) {
    Summary s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.low = samples.front();
    s.high = samples.back();
    return s;
}

double percentile(std::vector<double> samples, double q) {
    if (samples.empty())
        return 0;
    q = std::clamp(q, 0.0, 1.0);
    std::size_t rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
    if (rank == 0)
        rank = 1;
    auto nth = samples.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

} // namespace bench
