#pragma once
// The figure to quote from repeated measurements on a noisy host: the middle
// of the values, the mean of the two middle ones for an even count.
#include <algorithm>
#include <cstddef>
#include <vector>

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
