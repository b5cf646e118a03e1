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
 * The streams at the end of this header give the same results one bar at a
 * time, as bars arrive.
 *
 * NaN marks a bar without a value; missing values are written as the quiet
 * NaN 0x7FF8000000000000.  Every bit of a result is fixed but one: where two
 * NaNs meet in one operation, the result carries either one's payload.  Condition series are arrays of unsigned bytes,
 * 0 false and anything else true.  Nothing here allocates except arange and
 * zeros, whose results the caller releases with free(), and the streams'
 * open, copy and load.
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
    /* Scratch memory (zv_panel's, or a function's own), or a stream, could not be allocated. */
    ERR_NO_MEMORY = 3,
    /* The refusals of zv_stream_load: bytes saved in another format version; */
    ERR_STATE_VERSION = 4,
    /* bytes that end before the saved stream does; */
    ERR_STATE_TRUNCATED = 5,
    /* bytes that are not a saved stream, or not as it was saved. */
    ERR_STATE_CORRUPT = 6
};

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

/* ---- the series functions: the registry -------------------------------- *
 *
 * RILLET_FUNCTIONS is the one list of the series functions; the library's
 * tables, its Python modules and their type stubs are all generated from it.
 * A row is
 *
 *   X(NAME, core function, form, window rule, writes every bar,
 *     bound by the exact Python module, "one-line meaning", argument names...)
 *
 * The form gives the C type of the core function (zv_<form>_t below): for
 * example zv_ma is a zv_Window_t, called as
 *
 *   zv_ma(ctx, X, size_X, N, R, size_R)
 *
 * The window rule is the least window the function takes (MinOne: N >= 1,
 * MinZero: N >= 0; None: any int, or no integer window).  What each function
 * computes, with its warm-up and NaN rules, is in docs/functions.md.  Every
 * function is declared below from its row. */
typedef int zv_Window_t(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R,
                        int size_R);
typedef int zv_Sma_t(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, int M, num_t *R,
                     int size_R);
typedef int zv_Series2_t(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *A, int size_A,
                         num_t *R, int size_R);
typedef int zv_Refif_t(pcalc_ctx_t ctx, const num_t *X, int size_X, const num_t *C, int size_C,
                       const num_t *V, int size_V, num_t *R, int size_R);
typedef int zv_Cond_t(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R, int size_R);
typedef int zv_Plain_t(pcalc_ctx_t ctx, const num_t *X, int size_X, num_t *R, int size_R);
typedef int zv_Fif_t(pcalc_ctx_t ctx, const unsigned char *X, int size_X, const num_t *A,
                     int size_A, const num_t *B, int size_B, num_t *R, int size_R);
/* Pointers to them, for tables of functions. */
typedef zv_Window_t *zv_window_fn;
typedef zv_Sma_t *zv_sma_fn;
typedef zv_Series2_t *zv_series2_fn;
typedef zv_Refif_t *zv_refif_fn;
typedef zv_Cond_t *zv_cond_fn;
typedef zv_Plain_t *zv_plain_fn;
typedef zv_Fif_t *zv_fif_fn;

#define RILLET_FUNCTIONS(X) \
    X(MA, zv_ma, Window, MinOne, 1, 1, \
      "simple moving average of the last N bars", "a", "N") \
    X(MA_A, zv_ma_a, Series2, None, 1, 1, \
      "simple moving average with a window length per bar", "a", "N") \
    X(EMA, zv_ema, Window, MinZero, 1, 1, \
      "exponential moving average, weight 2/(N+1)", "a", "N") \
    X(SMA, zv_sma, Sma, MinZero, 1, 1, \
      "smoothed moving average, new bar weighted M/N", "a", "N", "M") \
    X(WMA, zv_wma, Window, MinOne, 1, 1, \
      "linearly weighted moving average of the last N bars", "a", "N") \
    X(DMA, zv_dma, Series2, None, 1, 1, \
      "dynamic moving average with a smoothing factor per bar", "a", "A") \
    X(COUNT, zv_count, Window, MinZero, 0, 1, \
      "number of non-zero bars among the last N (N=0: all bars)", "a", "N") \
    X(COUNT_A, zv_count_a, Series2, None, 0, 1, \
      "COUNT with a window length per bar", "a", "N") \
    X(SUM, zv_sum, Window, MinZero, 1, 1, \
      "sum of the last N bars (N=0: running total)", "a", "N") \
    X(SUM_A, zv_sum_a, Series2, None, 1, 1, \
      "SUM with a window length per bar", "a", "N") \
    X(REF, zv_ref, Window, None, 0, 1, \
      "the value N bars back", "a", "N") \
    X(REFIF, zv_refif, Refif, None, 0, 1, \
      "x at the last earlier bar where c held, else v", "x", "c", "v") \
    X(REFXV, zv_refxv, Window, None, 0, 1, \
      "the value N bars ahead, else the current value", "a", "N") \
    X(REF_A, zv_ref_a, Series2, None, 0, 1, \
      "the value a per-bar number of bars back", "a", "N") \
    X(LLV, zv_llv, Window, MinZero, 0, 1, \
      "lowest value of the last N bars (N=0: all bars)", "a", "N") \
    X(LLV_A, zv_llv_a, Series2, None, 0, 1, \
      "LLV with a window length per bar", "a", "N") \
    X(HHV, zv_hhv, Window, MinZero, 0, 1, \
      "highest value of the last N bars (N=0: all bars)", "a", "N") \
    X(HHV_A, zv_hhv_a, Series2, None, 0, 1, \
      "HHV with a window length per bar", "a", "N") \
    X(BARSINCE, zv_barsince, Cond, None, 0, 1, \
      "bars since the first true bar, counting it as 1", "x") \
    X(BARLAST, zv_barlast, Cond, None, 0, 1, \
      "bars since the latest true bar, counting it as 1", "x") \
    X(BARSLAST, zv_barslast, Cond, None, 0, 1, \
      "the same as BARLAST", "x") \
    X(CROSS, zv_cross, Series2, None, 0, 1, \
      "1 where x crosses above y, else 0", "x", "y") \
    X(FIF, zv_fif, Fif, None, 0, 1, \
      "a where x is true, else b", "x", "a", "b") \
    X(SLOPE, zv_slope, Window, MinZero, 0, 1, \
      "least-squares slope of the last N bars", "Y", "N") \
    X(CURRBARSCOUNT, zv_currbarscount, Plain, None, 0, 1, \
      "the bar index 0, 1, 2, ...", "Y") \
    X(BACKCOUNT, zv_backcount, Cond, None, 0, 1, \
      "length of the run of true bars ending here", "x") \
    X(STD, zv_std, Window, MinOne, 0, 1, \
      "sample standard deviation of the last N bars", "a", "N") \
    X(STDDEV, zv_stddev, Window, MinOne, 0, 1, \
      "population standard deviation of the last N bars", "a", "N") \
    X(STDP, zv_stdp, Window, MinOne, 0, 1, \
      "the same as STDDEV", "a", "N") \
    X(AVEDEV, zv_avedev, Window, MinOne, 0, 1, \
      "mean absolute deviation of the last N bars", "a", "N") \
    X(FILTER, zv_filter, Window, MinZero, 0, 1, \
      "keep a signal, silence the N-1 bars after it", "a", "N") \
    X(MEDIAN, zv_median, Window, MinOne, 1, 0, \
      "median of the last N bars, NaN bars skipped", "a", "N")

#define RILLET_DECLARE_FUNCTION(NAME, FN, FORM, ...) RILLET_API zv_##FORM##_t FN;
RILLET_FUNCTIONS(RILLET_DECLARE_FUNCTION)
#undef RILLET_DECLARE_FUNCTION

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
 * series or result are not contiguous along time, one scratch block of up to
 * sixteen lanes per thread; each thread keeps its block (up to 16 MiB) for
 * its next call and releases it when the thread ends.
 *
 * Functions that take scratch memory of their own (MEDIAN) take it per lane.
 *
 * Returns ERR_OK; ERR_PARAM_WRONG for an unknown name, a negative count, a
 * window the function refuses or a missing pointer; ERR_NO_MEMORY when the
 * scratch block cannot be allocated (nothing is written) or a lane's function
 * could not have its own (lanes already computed keep their results). */
RILLET_API int zv_panel(const char *name, int lanes, int bars, const zv_lanes *inputs,
                        const int *params, num_t *R, ptrdiff_t r_lane_stride,
                        ptrdiff_t r_bar_stride, int threads);

/* Runs the series function called `name` over `nseg` segments of one long
 * column, such as the bars of many instruments stored one instrument after
 * another, each as long as it is: segment s is bars offsets[s] up to
 * offsets[s+1] (excluded).  `offsets` holds nseg+1 non-decreasing values,
 * offsets[0] >= 0, no segment longer than INT_MAX bars.  `inputs` holds one
 * pointer per series argument in argument order, each to bar 0 of the whole
 * column (num_t for numeric series, unsigned char for conditions); `params`
 * the integer arguments in order (N, M), as for zv_panel.  R receives each
 * segment's result at the segment's own bars; R must not overlap an input.
 *
 * Every segment's result is bit for bit what the one-series function gives on
 * that segment alone, whatever the thread count; bars outside every segment,
 * and bars the function leaves unwritten, keep what R held.  `threads` as for
 * zv_panel (0 for the library's default; small calls run on the calling
 * thread alone).  Safe to call from several threads at once; allocates
 * nothing but the scratch memory a function takes of its own, per segment.
 *
 * Returns ERR_OK; ERR_PARAM_WRONG for an unknown name, a negative count,
 * offsets out of order, negative or too far apart, a window the function
 * refuses or a missing pointer (nothing is written); ERR_NO_MEMORY when a
 * segment's function could not have its own scratch memory (segments already
 * computed keep their results). */
RILLET_API int zv_segments(const char *name, int nseg, const int64_t *offsets,
                           const void *const *inputs, const int *params, num_t *R, int threads);

/* The default thread count of panel calls: n >= 1, or 0 for the number of
 * processors (the start-up default, unless ZELVO_THREADS names a count). */
RILLET_API void zv_set_threads(int n);
RILLET_API int zv_get_threads(void);

/* For tests and benchmarks of the panel engine: `path` pins the instruction
 * set of the grouped kernels and of the one-series window kernels (0
 * baseline, 1 AVX2, 2 AVX-512F, ignored when the CPU lacks it; 3 the AVX-512F
 * lane layout of the grouped kernels built for AVX2), turns the grouped
 * kernels off (-1) or restores the automatic choice (any other value);
 * `min_parallel` sets the bars times lanes (for zv_segments, the bars) from
 * which a call is split among threads (0 restores the default, negative
 * keeps it).
 * Returns the path now in force: -1, or the instruction set used.  Results
 * are the same bits on every path; only the speed differs. */
RILLET_API int zv_panel_test_setup(int path, int64_t min_parallel);

/* ---- streams: one bar at a time ---------------------------------------- *
 *
 * A stream takes a series one bar at a time and gives each bar's result as
 * the bar arrives.  After bars 0 .. t, the value an update returns for bar t
 * is, bit for bit, the value the function above gives at bar t for the
 * series of bars 0 .. t (leading NaN bars, warm-up, NaN in running sums and
 * the most-recent-equal rule of LLV/HHV included; zv_ma with context 0).
 *
 * Cost of an update: amortised constant time for MA, SUM, EMA, SMA, DMA,
 * WMA, COUNT, COUNT_A, LLV, HHV, REF, REFXV, REFIF, BARSINCE, BARLAST,
 * BARSLAST, BACKCOUNT, CROSS, FIF, FILTER and CURRBARSCOUNT; time
 * proportional to the window for STD, STDDEV, STDP, AVEDEV, SLOPE and for
 * MA_A, SUM_A, LLV_A, HHV_A (each bar's window is computed afresh, in the
 * same order of operations as above).  Updates and peeks allocate nothing.
 *
 * Opening: zv_stream_open(&s, name, params, nparams, max_window, history,
 * size, out)
 *   name        the formula name: "MA", "SMA", "LLV_A", ...
 *   params      the function's integer parameters in order, nparams of them:
 *               N for the functions with one window (REF and REFXV any int,
 *               the others from their least accepted window on), N and M for
 *               SMA, none for the rest (zv_stream_shape tells how many).
 *   max_window  for MA_A, SUM_A, COUNT_A, LLV_A, HHV_A and REF_A: the
 *               largest window (REF_A: offset) the stream is to serve; it
 *               keeps that many bars.  Ignored by the other functions.
 *   history     NULL, or one array of `size` bars per series argument, in
 *               argument order; the stream takes them as if updated bar by
 *               bar, and writes the function's result over the history to
 *               out[0 .. size-1] in the same pass.
 * It returns ERR_OK with *s set, ERR_PARAM_WRONG (unknown name, wrong count
 * of parameters, a window the function refuses, max_window < 0),
 * ERR_SIZE_DISMATCH (size < 0, or a missing history array) or ERR_NO_MEMORY;
 * then *s is NULL.  The stream's storage is allocated once, here: the
 * windowed functions keep N (or max_window) bars.
 *
 * A bar is one double per series argument, in argument order.  A condition
 * argument (x of BARSINCE, BARLAST, BARSLAST, BACKCOUNT and FIF) is true when
 * its truncation toward zero is non-zero and NaN is false: a condition byte
 * b is passed as the double b.  CURRBARSCOUNT takes one value it never reads.
 *
 * zv_stream_update takes the next bar and writes its result to out[0].
 * zv_stream_peek writes what zv_stream_update would write for the same bar
 * and leaves the stream as it was (it writes into the stream meanwhile, so a
 * stream is used from one thread at a time).  zv_stream_copy gives an
 * independent stream in the same state; zv_stream_close releases one
 * (NULL is allowed).
 *
 * Special results:
 *   CROSS: bar 0 is 0.0 (zv_cross leaves it as the caller's array held it;
 *   the module's result arrays start at 0.0).
 *   Look-ahead: REF with N < 0 and REFXV with N > 0 refer to the bar |N|
 *   ahead, so a bar's value is settled only |N| bars later, and
 *   zv_stream_lag gives |N| (0 for every other stream).  Such a stream's
 *   update writes out[0], the new bar's value over the bars so far (REF:
 *   NaN, REFXV: the bar's own value), and out[1], the settled value of the
 *   bar |N| back (the one at index zv_stream_bars - 1 - |N| after the
 *   update), NaN while there is no such bar.  Every bar is settled exactly
 *   once; a bar never settled keeps the value it was given, which is the
 *   function's result if the series ends there.  History results written at
 *   open are the function's results over the history, settled where the
 *   history settles them.  out holds two values for these streams.
 *   Per-bar windows (the _A functions): a window that reaches past bar 0 or
 *   is NaN needs no kept bar.  A window or offset above max_window that the
 *   series could fill cannot be served: the bar's result is NaN, the bar is
 *   taken all the same, and the update returns ERR_PARAM_WRONG.  (Over the
 *   history given at open every bar is at hand: its results are complete.)  REF_A with a negative offset gives NaN (it
 *   points past the newest bar) and is not revised when that bar arrives.
 * Every other function's result at a bar depends on that bar and the bars
 * before it only, so each value an update returns is final.  (FILTER with
 * N = 0 reads the series length, but only as "every later bar": a stream
 * silences every bar after the first signal.  BARSINCE, BARLAST and
 * BACKCOUNT look only backward.)
 *
 * Saving and loading: zv_stream_save writes a stream's whole state as bytes
 * that zv_stream_load turns back into a stream in the same state, in this
 * process or another, on any machine: updated with the same bars, both give
 * the same bits.  The bytes are little-endian: a 20-byte head (the magic
 * "ZVST", a format version, the payload's length and a CRC-32 of head and
 * payload), then the function's name, its parameters, max_window and each
 * stream's bar count and state.  The windowed functions save their window
 * (N, or max_window + 1, values; LLV and HHV N candidates of 16 bytes), the
 * others a few numbers.
 *
 * zv_stream_save(stream, buf, cap, &size) sets size to the byte count and
 * writes the bytes to buf when cap is at least that; otherwise (buf may be
 * NULL to ask) it returns ERR_SIZE_DISMATCH and writes nothing.
 * zv_stream_save_set does the same for `count` streams of one function with
 * the same parameters (the instruments of a universe), in one frame that
 * names the function once; ERR_PARAM_WRONG when they differ, for a NULL
 * stream or count < 1, and for a stream of more than 2^62 bars (none that
 * updates a bar a nanosecond gets there in a century).
 *
 * zv_stream_load(buf, size, &stream) needs the bytes exactly, no more and no
 * fewer.  It returns ERR_OK with *stream set, or leaves *stream NULL and
 * returns ERR_STATE_VERSION (another format version), ERR_STATE_TRUNCATED
 * (the bytes end before the frame does: a prefix of saved bytes),
 * ERR_STATE_CORRUPT (another magic, bytes past the frame, a checksum that
 * differs, a function, parameter or count that does not fit, or a state no
 * series could leave: a position or window value out of range, LLV/HHV
 * candidates out of order ...) or ERR_NO_MEMORY.  Every length and count is
 * checked against the bytes before it is used, and no more memory is
 * allocated than the bytes could fill (at most about three times their
 * length) plus the handle.  zv_stream_load_set loads the `count` streams of a frame of
 * zv_stream_save_set into streams[0 .. count-1]; ERR_SIZE_DISMATCH when the
 * frame holds another number of streams; on any error every streams[i] is
 * NULL.
 *
 * zv_stream_info gives a stream's function name and the parameters it was
 * opened with: params (room for two) receives the integer parameters, their
 * count goes to *nparams and max_window (0 but for the per-bar variants) to
 * *max_window; any of the three may be NULL.
 */

/* A stream handle. */
typedef struct zv_stream zv_stream;

/* Series arguments per bar and integer parameters of a function;
 * ERR_PARAM_WRONG for an unknown name.  Either pointer may be NULL. */
RILLET_API int zv_stream_shape(const char *name, int *inputs, int *params);
RILLET_API int zv_stream_open(zv_stream **stream, const char *name, const int *params,
                              int nparams, int max_window, const num_t *const *history, int size,
                              num_t *out);
RILLET_API int zv_stream_update(zv_stream *stream, const num_t *bar, num_t *out);
RILLET_API int zv_stream_peek(zv_stream *stream, const num_t *bar, num_t *out);
RILLET_API int zv_stream_copy(const zv_stream *stream, zv_stream **copy);
RILLET_API void zv_stream_close(zv_stream *stream);
/* Bars taken so far, history included. */
RILLET_API int64_t zv_stream_bars(const zv_stream *stream);
/* Bars a value waits to be settled: |N| for the look-ahead streams, else 0. */
RILLET_API int64_t zv_stream_lag(const zv_stream *stream);
RILLET_API const char *zv_stream_info(const zv_stream *stream, int *params, int *nparams,
                                      int *max_window);
RILLET_API int zv_stream_save(const zv_stream *stream, void *buf, size_t cap, size_t *size);
RILLET_API int zv_stream_load(const void *buf, size_t size, zv_stream **stream);
RILLET_API int zv_stream_save_set(const zv_stream *const *streams, int count, void *buf,
                                  size_t cap, size_t *size);
RILLET_API int zv_stream_load_set(const void *buf, size_t size, zv_stream **streams, int count);

#ifdef __cplusplus
}
#endif

#endif /* RILLET_H */
