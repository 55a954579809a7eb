#pragma once
#include <windows.h>
#include <algorithm>
#include <vector>

// Timing shared by the benchmarks: seconds on the performance counter, and the best or
// median of several rounds.
inline double Seconds()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

template <class Body>
double Best(int rounds, Body&& body)
{
    double best = 1e30;
    for (int i = 0; i < rounds; ++i)
    {
        const double start = Seconds();
        body();
        best = std::min(best, Seconds() - start);
    }
    return best;
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
