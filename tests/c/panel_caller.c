/* A C caller of the panel entry: every lane of zv_panel must equal, bit for
 * bit, the one-series function on that lane, for both axis orders and for
 * several thread counts; calls from several threads at once and calls in a
 * forked child must work too.  Prints one line per check group and exits 0
 * only when everything matched.  PANEL_QUICK=1 (sanitizer builds) skips the
 * large panel's full check and makes fewer concurrent rounds; PANEL_NO_FORK=1
 * skips the fork check. */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rillet.h"

#define LANES 37
#define BARS 300
#define BIG_LANES 400
#define BIG_BARS 700

typedef int (*series1_fn)(pcalc_ctx_t, const num_t *, int, int, num_t *, int);

/* The functions checked from C: name, one-series form, N, M. */
enum form { WINDOW, SMA2, SERIES2, COND1, FIF3 };
struct check {
    const char *name;
    enum form form;
    int n, m;
};
static const struct check kChecks[] = {
    {"MA", WINDOW, 5, 0},     {"MA", WINDOW, 1, 0},   {"SUM", WINDOW, 0, 0},
    {"SUM", WINDOW, 7, 0},    {"COUNT", WINDOW, 3, 0}, {"COUNT", WINDOW, 0, 0},
    {"EMA", WINDOW, 10, 0},   {"SMA", SMA2, 6, 2},     {"WMA", WINDOW, 4, 0},
    {"DMA", SERIES2, 0, 0},   {"LLV", WINDOW, 9, 0},   {"STD", WINDOW, 12, 0},
    {"SLOPE", WINDOW, 8, 0},  {"REF", WINDOW, -3, 0},  {"FILTER", WINDOW, 4, 0},
    {"CROSS", SERIES2, 0, 0}, {"HHV_A", SERIES2, 0, 0}, {"BARSLAST", COND1, 0, 0},
    {"FIF", FIF3, 0, 0},
};

static unsigned long long g_seed = 88172645463325252ULL;
static double uniform(void) {
    g_seed ^= g_seed << 13;
    g_seed ^= g_seed >> 7;
    g_seed ^= g_seed << 17;
    return (double)(g_seed >> 11) / 9007199254740992.0;
}

/* Lane-major data: each lane its own run of leading NaN bars, then a walk
 * with a few NaN and infinite bars and exact zeros of both signs. */
static void fill(num_t *x, int lanes, int bars, int windows) {
    for (int k = 0; k < lanes; ++k) {
        int lead = k % 5 == 0 ? (int)(uniform() * bars) : k % 3;
        num_t v = 10.0;
        for (int i = 0; i < bars; ++i) {
            num_t *p = &x[(size_t)k * bars + i];
            double u = uniform();
            v += uniform() - 0.5;
            if (windows) *p = (num_t)((int)(u * 14.0) - 2);
            else if (i < lead || u < 0.01) *p = -NAN;
            else if (u < 0.012) *p = u < 0.011 ? INFINITY : -INFINITY;
            else if (u < 0.03) *p = u < 0.02 ? 0.0 : -0.0;
            else *p = v;
        }
    }
}

/* The one-series function on lane-major arrays, lane k. */
static int one(const struct check *c, const num_t *x, const num_t *y, const unsigned char *b,
               int k, int bars, num_t *r) {
    const num_t *xk = x + (size_t)k * bars, *yk = y + (size_t)k * bars;
    const unsigned char *bk = b + (size_t)k * bars;
    const char *n = c->name;
    if (!strcmp(n, "MA")) return zv_ma(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "SUM")) return zv_sum(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "COUNT")) return zv_count(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "EMA")) return zv_ema(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "SMA")) return zv_sma(0, xk, bars, c->n, c->m, r, bars);
    if (!strcmp(n, "WMA")) return zv_wma(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "DMA")) return zv_dma(0, xk, bars, yk, bars, r, bars);
    if (!strcmp(n, "LLV")) return zv_llv(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "STD")) return zv_std(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "SLOPE")) return zv_slope(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "REF")) return zv_ref(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "FILTER")) return zv_filter(0, xk, bars, c->n, r, bars);
    if (!strcmp(n, "CROSS")) return zv_cross(0, xk, bars, yk, bars, r, bars);
    if (!strcmp(n, "HHV_A")) return zv_hhv_a(0, xk, bars, yk, bars, r, bars);
    if (!strcmp(n, "BARSLAST")) return zv_barslast(0, bk, bars, r, bars);
    if (!strcmp(n, "FIF")) return zv_fif(0, bk, bars, xk, bars, yk, bars, r, bars);
    return -1;
}

/* Copies a lane-major panel into time-first order (bar-major). */
static void to_time_first(const void *src, void *dst, int lanes, int bars, size_t size) {
    for (int k = 0; k < lanes; ++k)
        for (int i = 0; i < bars; ++i)
            memcpy((char *)dst + ((size_t)i * lanes + k) * size,
                   (const char *)src + ((size_t)k * bars + i) * size, size);
}

struct panel {
    int lanes, bars;
    num_t *x, *y, *w, *xt, *yt, *wt, *expect, *got;
    unsigned char *b, *bt;
};

static void panel_init(struct panel *p, int lanes, int bars) {
    size_t n = (size_t)lanes * bars;
    p->lanes = lanes;
    p->bars = bars;
    p->x = malloc(n * sizeof(num_t));
    p->y = malloc(n * sizeof(num_t));
    p->w = malloc(n * sizeof(num_t));
    p->xt = malloc(n * sizeof(num_t));
    p->yt = malloc(n * sizeof(num_t));
    p->wt = malloc(n * sizeof(num_t));
    p->expect = malloc(n * sizeof(num_t));
    p->got = malloc(n * sizeof(num_t));
    p->b = malloc(n);
    p->bt = malloc(n);
    if (!p->x || !p->y || !p->w || !p->xt || !p->yt || !p->wt || !p->expect || !p->got || !p->b ||
        !p->bt) {
        fprintf(stderr, "out of memory\n");
        exit(2);
    }
    fill(p->x, lanes, bars, 0);
    fill(p->y, lanes, bars, 0);
    fill(p->w, lanes, bars, 1);
    for (size_t i = 0; i < n; ++i) p->b[i] = (unsigned char)(uniform() < 0.1 ? 1 + (i % 3) : 0);
    to_time_first(p->x, p->xt, lanes, bars, sizeof(num_t));
    to_time_first(p->y, p->yt, lanes, bars, sizeof(num_t));
    to_time_first(p->w, p->wt, lanes, bars, sizeof(num_t));
    to_time_first(p->b, p->bt, lanes, bars, 1);
}

static void panel_free(struct panel *p) {
    free(p->x); free(p->y); free(p->w); free(p->xt); free(p->yt); free(p->wt);
    free(p->expect); free(p->got); free(p->b); free(p->bt);
}

/* Runs one check on one layout and thread count; returns the number of
 * lanes that differ from the one-series results in p->expect. */
static int run_panel(struct panel *p, const struct check *c, int time_first, int threads) {
    const int lanes = p->lanes, bars = p->bars;
    const ptrdiff_t ls = time_first ? 1 : bars, bs = time_first ? lanes : 1;
    const num_t *x = time_first ? p->xt : p->x;
    const num_t *y = time_first ? (!strcmp(c->name, "HHV_A") ? p->wt : p->yt)
                                : (!strcmp(c->name, "HHV_A") ? p->w : p->y);
    const unsigned char *b = time_first ? p->bt : p->b;
    zv_lanes in[3];
    int nin = 0;
    if (c->form == COND1 || c->form == FIF3) {
        in[nin].data = b; in[nin].lane_stride = ls; in[nin++].bar_stride = bs;
    }
    if (c->form != COND1) {
        in[nin].data = x; in[nin].lane_stride = ls; in[nin++].bar_stride = bs;
    }
    if (c->form == SERIES2 || c->form == FIF3) {
        in[nin].data = y; in[nin].lane_stride = ls; in[nin++].bar_stride = bs;
    }
    int params[2] = {c->n, c->m};
    size_t n = (size_t)lanes * bars;
    for (size_t i = 0; i < n; ++i) p->got[i] = -12345.678; /* unwritten bars stay */
    int rc = zv_panel(c->name, lanes, bars, in, params, p->got, ls, bs, threads);
    if (rc != ERR_OK) return lanes;
    int bad = 0;
    for (int k = 0; k < lanes; ++k) {
        for (int i = 0; i < bars; ++i) {
            num_t g = p->got[k * ls + i * bs];
            if (memcmp(&g, &p->expect[(size_t)k * bars + i], sizeof g) != 0) {
                ++bad;
                break;
            }
        }
    }
    return bad;
}

static int check_all(struct panel *p, const int *threads, int nthreads, int *runs) {
    int bad = 0;
    for (size_t j = 0; j < sizeof kChecks / sizeof kChecks[0]; ++j) {
        const struct check *c = &kChecks[j];
        const num_t *y = !strcmp(c->name, "HHV_A") ? p->w : p->y;
        for (int k = 0; k < p->lanes; ++k) {
            num_t *r = p->expect + (size_t)k * p->bars;
            for (int i = 0; i < p->bars; ++i) r[i] = -12345.678;
            if (one(c, p->x, y, p->b, k, p->bars, r) != ERR_OK) return -1;
        }
        for (int layout = 0; layout < 2; ++layout) {
            for (int t = 0; t < nthreads; ++t) {
                int lanes_bad = run_panel(p, c, layout, threads[t]);
                if (lanes_bad) fprintf(stderr, "%s N=%d layout=%d threads=%d: %d lanes differ\n",
                                       c->name, c->n, layout, threads[t], lanes_bad);
                bad += lanes_bad;
                ++*runs;
            }
        }
    }
    return bad;
}

/* ---- several callers at once ------------------------------------------------------ */

static struct panel g_big;
static num_t *g_big_ma;  /* MA(x, 5) lane by lane */

static int big_matches(num_t *r, int threads) {
    zv_lanes in = {g_big.x, g_big.bars, 1};
    int params[1] = {5};
    if (zv_panel("MA", g_big.lanes, g_big.bars, &in, params, r, g_big.bars, 1, threads) != ERR_OK)
        return 0;
    return memcmp(r, g_big_ma, (size_t)g_big.lanes * g_big.bars * sizeof(num_t)) == 0;
}

static int g_rounds = 20;

static void *caller(void *arg) {
    long *mismatches = arg;
    size_t n = (size_t)g_big.lanes * g_big.bars;
    num_t *r = malloc(n * sizeof(num_t));
    for (int round = 0; round < g_rounds && r; ++round) {
        if (!big_matches(r, 1 + round % 4)) ++*mismatches;
    }
    free(r);
    return NULL;
}

static volatile int g_stop;
static void *busy(void *arg) {
    (void)arg;
    num_t *r = malloc((size_t)g_big.lanes * g_big.bars * sizeof(num_t));
    while (!g_stop && r) big_matches(r, 2);
    free(r);
    return NULL;
}

/* A child forked while another thread works in the pool computes with a pool
 * of its own. */
static int fork_child_computes(void) {
    pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        alarm(60);
        num_t *r = malloc((size_t)g_big.lanes * g_big.bars * sizeof(num_t));
        _exit(r && big_matches(r, 2) && big_matches(r, 3) ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int main(void) {
    static const int kThreads[] = {1, 2, 3, 7};
    struct panel small;
    int runs = 0;
    panel_init(&small, LANES, BARS);
    int bad = check_all(&small, kThreads, 4, &runs);
    printf("small runs=%d bad=%d\n", runs, bad);

    /* Large enough to be cut into chunks for the pool. */
    panel_init(&g_big, BIG_LANES, BIG_BARS);
    int big_bad = 0;
    if (getenv("PANEL_QUICK")) {
        g_rounds = 3;
    } else {
        runs = 0;
        big_bad = check_all(&g_big, kThreads, 4, &runs);
        printf("big runs=%d bad=%d\n", runs, big_bad);
    }

    g_big_ma = malloc((size_t)g_big.lanes * g_big.bars * sizeof(num_t));
    for (int k = 0; k < g_big.lanes; ++k)
        zv_ma(0, g_big.x + (size_t)k * g_big.bars, g_big.bars, 5,
              g_big_ma + (size_t)k * g_big.bars, g_big.bars);

    pthread_t th[4];
    long mismatches[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) pthread_create(&th[i], NULL, caller, &mismatches[i]);
    for (int i = 0; i < 4; ++i) pthread_join(th[i], NULL);
    printf("concurrent mismatches=%ld\n", mismatches[0] + mismatches[1] + mismatches[2] +
                                              mismatches[3]);

    if (!getenv("PANEL_NO_FORK")) {
        pthread_t b;
        g_stop = 0;
        pthread_create(&b, NULL, busy, NULL);
        int forks_ok = 0;
        for (int i = 0; i < 5; ++i) forks_ok += fork_child_computes();
        g_stop = 1;
        pthread_join(b, NULL);
        printf("forked children ok=%d\n", forks_ok);
    }

    /* Refusals leave R as it was. */
    num_t r[4] = {7, 7, 7, 7}, x[4] = {1, 2, 3, 4};
    zv_lanes in = {x, 4, 1};
    int zero = 0;
    int rc1 = zv_panel("NOPE", 1, 4, &in, &zero, r, 4, 1, 1);
    int rc2 = zv_panel("MA", 1, 4, &in, &zero, r, 4, 1, 1);
    int rc3 = zv_panel("MA", 0, 4, &in, &zero, NULL, 4, 1, 1);
    printf("refused=%d %d %d untouched=%d\n", rc1, rc2, rc3, r[0] == 7 && r[3] == 7);

    panel_free(&small);
    panel_free(&g_big);
    free(g_big_ma);
    return bad || big_bad ? 1 : 0;
}
