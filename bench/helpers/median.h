#pragma once
// The middle value: the figure to quote from repeated runs on a noisy host.
#include <algorithm>
#include <vector>

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
