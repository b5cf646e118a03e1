// The one list of the 31 series functions, in the module's binding order.
//
//     X(NAME, name, shape, "argument names", min_window)
//
// NAME is the formula name, name the lower-case stem of zv_<name>; shape is
// one of the argument shapes of rillet.h (window, sma, series2, refif, cond,
// plain, fif: zv_<shape>_fn); the argument names are those of the module;
// min_window is the smallest integer window accepted (0 where the function
// takes no integer window).  Expand it with a macro of the same five
// parameters; tables built from it need no list of their own.
#pragma once

#include <cstdint>

#define RILLET_CATALOG(X)                          \
    X(MA, ma, window, "a N", 1)                    \
    X(MA_A, ma_a, series2, "a N", 0)               \
    X(EMA, ema, window, "a N", 0)                  \
    X(SMA, sma, sma, "a N M", 0)                   \
    X(WMA, wma, window, "a N", 1)                  \
    X(DMA, dma, series2, "a A", 0)                 \
    X(COUNT, count, window, "a N", 0)              \
    X(COUNT_A, count_a, series2, "a N", 0)         \
    X(SUM, sum, window, "a N", 0)                  \
    X(SUM_A, sum_a, series2, "a N", 0)             \
    X(REF, ref, window, "a N", INT32_MIN)          \
    X(REFIF, refif, refif, "x c v", 0)             \
    X(REFXV, refxv, window, "a N", INT32_MIN)      \
    X(REF_A, ref_a, series2, "a N", 0)             \
    X(LLV, llv, window, "a N", 0)                  \
    X(LLV_A, llv_a, series2, "a N", 0)             \
    X(HHV, hhv, window, "a N", 0)                  \
    X(HHV_A, hhv_a, series2, "a N", 0)             \
    X(BARSINCE, barsince, cond, "x", 0)            \
    X(BARLAST, barlast, cond, "x", 0)              \
    X(BARSLAST, barslast, cond, "x", 0)            \
    X(CROSS, cross, series2, "x y", 0)             \
    X(FIF, fif, fif, "x a b", 0)                   \
    X(SLOPE, slope, window, "Y N", 0)              \
    X(CURRBARSCOUNT, currbarscount, plain, "Y", 0) \
    X(BACKCOUNT, backcount, cond, "x", 0)          \
    X(STD, std, window, "a N", 1)                  \
    X(STDDEV, stddev, window, "a N", 1)            \
    X(STDP, stdp, window, "a N", 1)                \
    X(AVEDEV, avedev, window, "a N", 1)            \
    X(FILTER, filter, window, "a N", 0)

namespace rillet {

// What a shape means per bar: how many series it takes (the first of them a
// condition for cond and fif) and how many integer parameters follow.
struct ShapeInfo {
    int series, ints;
    bool cond_first;
};

namespace shape {
inline constexpr ShapeInfo window{1, 1, false};
inline constexpr ShapeInfo sma{1, 2, false};
inline constexpr ShapeInfo series2{2, 0, false};
inline constexpr ShapeInfo refif{3, 0, false};
inline constexpr ShapeInfo cond{1, 0, true};
inline constexpr ShapeInfo plain{1, 0, false};
inline constexpr ShapeInfo fif{3, 0, true};
}  // namespace shape

}  // namespace rillet
