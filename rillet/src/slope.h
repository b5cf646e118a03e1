// The window constants of the regression slope, shared by slope.cpp, its
// kernels (slope_kernels.h) and the streams, which run the same kernel on one
// window.  The window's bars are numbered 0 .. N-1 from oldest to newest.
#pragma once

#include "series.h"

namespace rillet {

struct Positions {
    num_t n, sumX, denom;
};

// sum of 0 .. N-1 and of their squares, exact integers (the second needs
// more than 64 bits for large N), each rounded once to double; then the
// denominator N*sumXX - sumX*sumX in double.
inline Positions positions(int N) {
    const int64_t n64 = N;
    const num_t sumX = static_cast<num_t>(n64 * (n64 - 1) / 2);
    const __int128 sq = static_cast<__int128>(n64) * (n64 - 1) * (2 * n64 - 1) / 6;
    const num_t sumXX = static_cast<num_t>(sq);
    const num_t n = static_cast<num_t>(N);
    const num_t sumXs = sumX * sumX;
    const num_t nxx = n * sumXX;
    return Positions{n, sumX, nxx - sumXs};
}

}  // namespace rillet
