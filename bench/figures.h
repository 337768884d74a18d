#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

// The benchmark programs' figures: percentiles by rank, and one metric a line,
// "name  value  unit".
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<size_t>(std::max(1.0, p / 100.0 * double(v.size()) + 0.5));
    return v[std::min(v.size(), rank) - 1];
}

inline void metric(const char* name, double value, const char* unit) {
    std::printf("%-36s %10.1f  %s\n", name, value, unit);
    std::fflush(stdout);
}
