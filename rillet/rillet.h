/*
 * rillet: series functions over raw arrays of bar data.
 *
 * Every series function takes a calculation context, then its arrays each
 * followed by its element count, then its scalar parameters, and last the
 * result array with its count.  It returns ERR_OK, ERR_SIZE_DISMATCH when an
 * array's count differs from the first input's, or ERR_PARAM_WRONG when a
 * scalar window is out of range.  Both checks happen before the first write,
 * so an error return leaves the result array exactly as the caller passed it.
 *
 * NaN marks a bar without a value; missing values are written as the quiet
 * NaN 0x7FF8000000000000.  Every bit of a result is fixed but one: where two
 * NaNs meet in one operation, the result carries either one's payload.  Condition series are arrays of unsigned bytes,
 * 0 false and anything else true.  Nothing here allocates except arange and
 * zeros, whose results the caller releases with free().
 *
 * Usable from C (C99 or later) and C++.
 */
#ifndef RILLET_H
#define RILLET_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define RILLET_API __attribute__((visibility("default")))
#else
#define RILLET_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One value of a numeric series. */
typedef double num_t;
/* The calculation context: only zv_ma reads it (its low 32 bits). */
typedef int64_t pcalc_ctx_t;

#ifdef __cplusplus
enum : unsigned int {
#else
enum {
#endif
    ERR_OK = 0,
    ERR_SIZE_DISMATCH = 1,
    ERR_PARAM_WRONG = 2,
    /* zv_panel only: its scratch memory could not be had. */
    ERR_NO_MEMORY = 3
};

/* The argument shapes of the series functions, for tables of them. */
typedef int (*zv_window_fn)(pcalc_ctx_t, const num_t *, int, int, num_t *, int);
typedef int (*zv_sma_fn)(pcalc_ctx_t, const num_t *, int, int, int, num_t *, int);
typedef int (*zv_series2_fn)(pcalc_ctx_t, const num_t *, int, const num_t *, int, num_t *, int);
typedef int (*zv_refif_fn)(pcalc_ctx_t, const num_t *, int, const num_t *, int, const num_t *,
                           int, num_t *, int);
typedef int (*zv_cond_fn)(pcalc_ctx_t, const unsigned char *, int, num_t *, int);
typedef int (*zv_plain_fn)(pcalc_ctx_t, const num_t *, int, num_t *, int);
typedef int (*zv_fif_fn)(pcalc_ctx_t, const unsigned char *, int, const num_t *, int,
                         const num_t *, int, num_t *, int);

/* ---- helpers ---------------------------------------------------------- */

RILLET_API int maxi(int a, int b);
RILLET_API int mini(int a, int b);
/* Offset from the first valid bar of the first bar zv_ma computes. */
RILLET_API int ctxn(pcalc_ctx_t ctx, int size, int n);
/* start, start+step, ... below stop; NULL when the count is negative or the
 * allocation fails.  Release with free(). */
RILLET_API num_t *arange(int start, int stop, num_t step);
/* n zero-filled values; NULL for negative n.  Release with free(). */
RILLET_API num_t *zeros(int n);
/* Prints "name = [v0, v1, ...]" to standard output. */
RILLET_API void aprint(const char *name, const num_t *a, int size_a);

/* ---- moving averages -------------------------------------------------- */

RILLET_API int zv_ma(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_ma_a(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *N, int size_N,
                       num_t *R, int size_R);

/* ---- smoothing averages ----------------------------------------------- */

RILLET_API int zv_ema(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_sma(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, int M, num_t *R,
                      int size_R);
RILLET_API int zv_wma(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_dma(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *A, int size_A,
                      num_t *R, int size_R);

/* ---- window sums and counts ------------------------------------------- */

RILLET_API int zv_sum(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_sum_a(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *N, int size_N,
                        num_t *R, int size_R);
RILLET_API int zv_count(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_count_a(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *N, int size_N,
                          num_t *R, int size_R);

/* ---- lowest and highest values ---------------------------------------- */

RILLET_API int zv_llv(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_hhv(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_llv_a(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *N, int size_N,
                        num_t *R, int size_R);
RILLET_API int zv_hhv_a(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *N, int size_N,
                        num_t *R, int size_R);

/* ---- back references --------------------------------------------------- */

RILLET_API int zv_ref(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_ref_a(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *N, int size_N,
                        num_t *R, int size_R);
RILLET_API int zv_refxv(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_refif(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *C, int size_C,
                        const num_t *V, int size_V, num_t *R, int size_R);

/* ---- dispersion and regression ---------------------------------------- */

RILLET_API int zv_std(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_stddev(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_stdp(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_avedev(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_slope(pcalc_ctx_t ctx, const num_t *Y, int size_Y, int N, num_t *R, int size_R);

/* ---- bar counting (condition series) ----------------------------------- */

RILLET_API int zv_barsince(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R,
                           int size_R);
RILLET_API int zv_barlast(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R,
                          int size_R);
RILLET_API int zv_barslast(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R,
                           int size_R);
RILLET_API int zv_backcount(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R,
                            int size_R);
RILLET_API int zv_currbarscount(pcalc_ctx_t ctx, const num_t *x, int size_x, num_t *r, int size_r);

/* ---- crossing, filtering, selection ------------------------------------ */

RILLET_API int zv_cross(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *Y, int size_Y,
                        num_t *R, int size_R);
RILLET_API int zv_filter(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, int size_R);
RILLET_API int zv_fif(pcalc_ctx_t ctx, const unsigned char *X, int size_X, const num_t *A,
                      int size_A, const num_t *B, int size_B, num_t *R, int size_R);

/* ---- panels: one function over many series ----------------------------- */

/* One input of a panel call: element (lane k, bar i) is at
 * data + k*lane_stride + i*bar_stride, strides counted in elements (num_t for
 * numeric series, unsigned char for conditions). */
typedef struct zv_lanes {
    const void *data;
    ptrdiff_t lane_stride;
    ptrdiff_t bar_stride;
} zv_lanes;

/* Runs the series function called `name` ("MA", "HHV_A", ...) over `lanes`
 * series of `bars` bars each.  `inputs` holds one zv_lanes per series
 * argument in argument order, `params` the integer arguments in order (N, M),
 * and R receives lane k's result at R + k*r_lane_stride + i*r_bar_stride.
 * Either axis may be the contiguous one: instruments x bars in C order has
 * lane_stride = bars, bar_stride = 1; bars x instruments (time first) has
 * lane_stride = 1, bar_stride = lanes.  R must not overlap an input.
 *
 * Every lane's result is bit for bit what the one-series function gives on
 * that lane, whatever the thread count; bars that function leaves unwritten
 * keep what R held.  `threads` is the number of threads to use (the calling
 * thread and workers of a pool the library owns), 0 for the library's
 * default (zv_set_threads); small panels run on the calling thread alone.
 * Safe to call from several threads at once, and in a child after fork().
 * Allocates nothing, except, for a function without a grouped kernel whose
 * series or result are not contiguous along time, one scratch block of sixteen
 * lanes per thread.
 *
 * Returns ERR_OK; ERR_PARAM_WRONG for an unknown name, a negative count, a
 * window the function refuses or a missing pointer; ERR_NO_MEMORY when the
 * scratch block cannot be allocated.  Nothing is written on an error. */
RILLET_API int zv_panel(const char *name, int lanes, int bars, const zv_lanes *inputs,
                        const int *params, num_t *R, ptrdiff_t r_lane_stride,
                        ptrdiff_t r_bar_stride, int threads);

/* The default thread count of panel calls: n >= 1, or 0 for the number of
 * processors (the start-up default, unless ZELVO_THREADS names a count). */
RILLET_API void zv_set_threads(int n);
RILLET_API int zv_get_threads(void);

#ifdef __cplusplus
}
#endif

#endif /* RILLET_H */
