// Bar counting, crossing, filtering and selection: BARSINCE, BARLAST,
// BARSLAST, BACKCOUNT, CURRBARSCOUNT, CROSS, FILTER and FIF, whole series and
// streams.
//
// Each function's one-bar arithmetic comes from step.h wherever the
// whole-series function, its stream and a grouped kernel (lanes.cpp) share it.

// Bars since events on a condition series (0 false, anything else true):
// since the first event, since the most recent one, and the plain bar index.
// Every result is a whole number, exact in a double.
#include "../series.h"

using namespace rillet;

namespace {

// R[i] = i - origin for i in [from, to): exact whole numbers (below 2^31),
// converted from int so the loop vectorises.
void fill_count(num_t *R, int from, int to, int origin) {
    for (int i = from; i < to; ++i) R[i] = static_cast<num_t>(i - origin);
}

}  // namespace

extern "C" {

int zv_barsince(pcalc_ctx_t, const unsigned char *X, int size_X, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    // 0 up to the first event, then 1, 2, 3, ... whatever follows: find the
    // event, then fill both stretches without looking at X again.
    int first = 0;
    while (first < size_X && X[first] == 0) ++first;
    for (int i = 0; i < first; ++i) R[i] = 0.0;
    fill_count(R, first, size_X, first - 1);
    return ERR_OK;
}

// One forward pass carrying the index of the latest event; the same counts
// as searching backward from every bar for the nearest true bar.
int zv_barlast(pcalc_ctx_t, const unsigned char *X, int size_X, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    int last = -1;
    for (int i = 0; i < size_X; ++i) {
        if (X[i] != 0) last = i;
        R[i] = last < 0 ? 0.0 : static_cast<num_t>(i - last + 1);
    }
    return ERR_OK;
}

int zv_barslast(pcalc_ctx_t ctx, const unsigned char *X, int size_X, num_t *R, int size_R) {
    return zv_barlast(ctx, X, size_X, R, size_R);
}

int zv_currbarscount(pcalc_ctx_t, const num_t *, int size_x, num_t *r, int size_r) {
    if (size_mismatch(size_x, size_r)) return ERR_SIZE_DISMATCH;
    fill_count(r, 0, size_x, 0);
    return ERR_OK;
}

}  // extern "C"

// Length of the run of consecutive true bars that ends at each bar of a
// condition series.  One forward pass carrying the run length; the same
// counts as counting backward from every bar until a false one.
#include "../series.h"


extern "C" {

int zv_backcount(pcalc_ctx_t, const unsigned char *X, int size_X, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    num_t run = 0.0;
    for (int i = 0; i < size_X; ++i) {
        run = X[i] != 0 ? run + 1.0 : 0.0;
        R[i] = run;
    }
    return ERR_OK;
}

}  // extern "C"

// Upward crossing of X over Y: the previous bar strictly below, the current
// bar strictly above.  Any NaN makes a comparison false.  Bar 0 has no
// previous bar and is left as the caller passed it.
#include "../series.h"
#include "../step.h"


extern "C" {

int zv_cross(pcalc_ctx_t, const num_t *X, int size_X, const num_t *Y, int size_Y, num_t *R,
             int size_R) {
    if (size_mismatch(size_X, size_R, size_Y)) return ERR_SIZE_DISMATCH;
    // Both comparisons are always evaluated (no branch), so the loop runs as
    // straight-line vector code whatever the data.
    for (int i = 1; i < size_X; ++i) R[i] = crosses(X[i - 1], Y[i - 1], X[i], Y[i]);
    return ERR_OK;
}

}  // extern "C"

// Signal filter: a signal (any value but 0.0 and NaN) is kept as it is and
// the N-1 bars after it are set to 0.0 without being examined; every other
// bar is copied.  N = 0 means the whole series.  Positions are 64-bit so a
// window up to the largest int cannot overflow them.
#include "../series.h"
#include "../step.h"


extern "C" {

int zv_filter(pcalc_ctx_t, const num_t *X, int size_X, int N, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R)) return ERR_SIZE_DISMATCH;
    if (N < 0) return ERR_PARAM_WRONG;
    const int64_t n = N == 0 ? size_X : N;
    const int64_t size = size_X;
    int64_t i = 0;
    while (i < size) {
        R[i] = X[i];
        if (!is_signal(X[i])) {
            ++i;
            continue;
        }
        const int64_t end = i + n < size ? i + n : size;
        for (int64_t j = i + 1; j < end; ++j) R[j] = 0.0;
        i += n;
    }
    return ERR_OK;
}

}  // extern "C"

// Conditional selection bar by bar: A where the condition byte is non-zero,
// B elsewhere.  Values are copied as they are (NaN payloads included).  Both
// series have the same length, so both are loaded and one is kept: a blend
// without a branch, which the compiler turns into vector code.
#include "../series.h"


extern "C" {

int zv_fif(pcalc_ctx_t, const unsigned char *X, int size_X, const num_t *A, int size_A,
           const num_t *B, int size_B, num_t *R, int size_R) {
    if (size_mismatch(size_X, size_R, size_A, size_B)) return ERR_SIZE_DISMATCH;
    for (int i = 0; i < size_X; ++i) {
        const num_t a = A[i], b = B[i];
        R[i] = X[i] != 0 ? a : b;
    }
    return ERR_OK;
}

}  // extern "C"

// Streams of the bar counts and of the signal functions, each constant time
// per bar.  Condition inputs are true when their truncation toward zero is
// non-zero (NaN is false).
#include "../step.h"
#include "../stream.h"

using namespace rillet::stream;

namespace {

// BARSINCE: 0 before the first true bar, then the bars from it, it counted as 1.
class Barsince : public Plain {
  public:
    Barsince(const Params &, char *) {}
    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const int64_t first = first_ < 0 && truth(in[0]) ? t : first_;
        *out = first < 0 ? 0.0 : static_cast<num_t>(t - first + 1);
        if (Commit) first_ = first;
        return ERR_OK;
    }
    template <class V>
    bool io(V &v) {
        return v.i64(first_, -1, v.bars() - 1);
    }

  private:
    int64_t first_ = -1;
};

// BARLAST and BARSLAST: 0 before the first true bar, then the bars from the
// latest true bar, it counted as 1.
class Barlast : public Plain {
  public:
    Barlast(const Params &, char *) {}
    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        const int64_t last = truth(in[0]) ? t : last_;
        *out = last < 0 ? 0.0 : static_cast<num_t>(t - last + 1);
        if (Commit) last_ = last;
        return ERR_OK;
    }
    template <class V>
    bool io(V &v) {
        return v.i64(last_, -1, v.bars() - 1);
    }

  private:
    int64_t last_ = -1;
};

// BACKCOUNT: the length of the run of true bars ending at the bar.
class Backcount : public Plain {
  public:
    Backcount(const Params &, char *) {}
    template <bool Commit>
    int step(int64_t, const num_t *in, num_t *out) {
        const num_t run = truth(in[0]) ? run_ + 1.0 : 0.0;
        *out = run;
        if (Commit) run_ = run;
        return ERR_OK;
    }
    // The run is a whole number of bars, at most all of them.
    template <class V>
    bool io(V &v) {
        return v.num(run_) &&
               v.check(run_ >= 0.0 && run_ <= static_cast<num_t>(v.bars()) &&
                       run_ == static_cast<num_t>(static_cast<int64_t>(run_)));
    }

  private:
    num_t run_ = 0.0;
};

// CURRBARSCOUNT: the bar's index; its input is not read.
class Currbarscount : public Plain {
  public:
    Currbarscount(const Params &, char *) {}
    template <bool Commit>
    int step(int64_t t, const num_t *, num_t *out) {
        *out = static_cast<num_t>(t);
        return ERR_OK;
    }
    template <class V>
    bool io(V &) {
        return true;
    }
};

// CROSS (inputs x, y): 1.0 where x was strictly below y at the previous bar
// and is strictly above it now, else 0.0.  Bar 0 has no previous bar: the
// whole-series function leaves it as the caller's result array held it, the
// stream gives 0.0 (what the module's zero-filled result holds there).
class Cross : public Plain {
  public:
    Cross(const Params &, char *) {}
    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        *out = t == 0 ? 0.0 : crosses(x_, y_, in[0], in[1]);
        if (Commit) {
            x_ = in[0];
            y_ = in[1];
        }
        return ERR_OK;
    }
    template <class V>
    bool io(V &v) {
        return v.num(x_) && v.num(y_);
    }

  private:
    num_t x_ = 0.0, y_ = 0.0;
};

// FILTER: a signal (neither 0.0 nor NaN) is kept and the N-1 bars after it
// are 0.0 unexamined (N = 0: every later bar); other bars are copied.
class Filter : public Plain {
  public:
    Filter(const Params &p, char *) : N_(p.N) {}
    template <bool Commit>
    int step(int64_t t, const num_t *in, num_t *out) {
        if (t < until_) {
            *out = 0.0;
            return ERR_OK;
        }
        const num_t x = in[0];
        *out = x;
        if (Commit && is_signal(x)) until_ = N_ == 0 ? INT64_MAX : t + N_;
        return ERR_OK;
    }
    // Silenced up to a bar at most N-1 past the newest, or (N = 0) for good.
    template <class V>
    bool io(V &v) {
        if (N_ == 0) return v.i64(until_, 0, INT64_MAX) && v.check(until_ == 0 || until_ == INT64_MAX);
        return v.i64(until_, 0, v.bars() - 1 + N_);
    }

  private:
    int64_t N_;
    int64_t until_ = 0;  // bars before it are silenced
};

// FIF (inputs x, a, b): a where the condition x is true, else b.
class Fif : public Plain {
  public:
    Fif(const Params &, char *) {}
    template <bool Commit>
    int step(int64_t, const num_t *in, num_t *out) {
        *out = truth(in[0]) ? in[1] : in[2];
        return ERR_OK;
    }
    template <class V>
    bool io(V &) {
        return true;
    }
};

}  // namespace

namespace rillet::stream {
const Ops ops_BARSINCE = ops_of<Barsince>();
const Ops ops_BARLAST = ops_of<Barlast>();
const Ops ops_BARSLAST = ops_of<Barlast>();
const Ops ops_BACKCOUNT = ops_of<Backcount>();
const Ops ops_CURRBARSCOUNT = ops_of<Currbarscount>();
const Ops ops_CROSS = ops_of<Cross>();
const Ops ops_FILTER = ops_of<Filter>();
const Ops ops_FIF = ops_of<Fif>();
}  // namespace rillet::stream
