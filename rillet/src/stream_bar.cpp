// Streams of the bar counts and of the signal functions, each constant time
// per bar.  Condition inputs are true when their truncation toward zero is
// non-zero (NaN is false).
#include "step.h"
#include "stream.h"

using namespace rillet;
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
