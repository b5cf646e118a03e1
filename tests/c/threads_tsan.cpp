// The core called from many std::threads at once: shared read-only inputs,
// one set of result arrays per thread.  Built with -fsanitize=thread by
// tests/test_threads.py; every thread's results must equal the serial ones
// bit for bit, and ThreadSanitizer must report nothing.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "rillet.h"

namespace {

constexpr int kLen = 400;
constexpr int kThreads = 8;
constexpr int kRounds = 20;
constexpr int kCalls = 33;  // 31 series functions, arange, zeros

struct Inputs {
    std::vector<num_t> x, y, w, c;
    std::vector<unsigned char> cond;
};

Inputs make_inputs() {
    Inputs in;
    unsigned s = 12345;
    auto next = [&s] { return s = s * 1103515245u + 12345u; };
    for (int i = 0; i < kLen; ++i) {
        const unsigned r = next() >> 8;
        num_t v = static_cast<num_t>(r % 2000) / 10.0 - 100.0;
        if (r % 37 == 0) v = NAN;
        if (i < 3) v = NAN;  // leading missing bars
        in.x.push_back(v);
        in.y.push_back(static_cast<num_t>((next() >> 8) % 200) / 10.0 - 10.0);
        in.w.push_back(static_cast<num_t>((next() >> 8) % 12) - 1.0);  // windows -1 .. 10
        in.c.push_back(static_cast<num_t>((next() >> 8) % 3));
        in.cond.push_back(static_cast<unsigned char>((next() >> 8) % 4 == 0 ? 1 + i % 200 : 0));
    }
    return in;
}

// Runs call k into r (kLen elements) and returns the core's code.
int run_call(int k, const Inputs &in, num_t *r) {
    const num_t *x = in.x.data(), *y = in.y.data(), *w = in.w.data(), *c = in.c.data();
    const unsigned char *b = in.cond.data();
    const int n = kLen;
    switch (k) {
        case 0: return zv_ma(0, x, n, 5, r, n);
        case 1: return zv_ma_a(0, x, n, w, n, r, n);
        case 2: return zv_ema(0, x, n, 7, r, n);
        case 3: return zv_sma(0, x, n, 7, 2, r, n);
        case 4: return zv_wma(0, x, n, 6, r, n);
        case 5: return zv_dma(0, x, n, c, n, r, n);
        case 6: return zv_count(0, x, n, 9, r, n);
        case 7: return zv_count_a(0, x, n, w, n, r, n);
        case 8: return zv_sum(0, x, n, 0, r, n);
        case 9: return zv_sum_a(0, x, n, w, n, r, n);
        case 10: return zv_ref(0, x, n, 3, r, n);
        case 11: return zv_refif(0, x, n, c, n, y, n, r, n);
        case 12: return zv_refxv(0, x, n, -4, r, n);
        case 13: return zv_ref_a(0, x, n, w, n, r, n);
        case 14: return zv_llv(0, x, n, 11, r, n);
        case 15: return zv_llv_a(0, x, n, w, n, r, n);
        case 16: return zv_hhv(0, x, n, 0, r, n);
        case 17: return zv_hhv_a(0, x, n, w, n, r, n);
        case 18: return zv_barsince(0, b, n, r, n);
        case 19: return zv_barlast(0, b, n, r, n);
        case 20: return zv_barslast(0, b, n, r, n);
        case 21: return zv_cross(0, x, n, y, n, r, n);
        case 22: return zv_fif(0, b, n, x, n, y, n, r, n);
        case 23: return zv_slope(0, y, n, 8, r, n);
        case 24: return zv_currbarscount(0, x, n, r, n);
        case 25: return zv_backcount(0, b, n, r, n);
        case 26: return zv_std(0, x, n, 10, r, n);
        case 27: return zv_stddev(0, x, n, 10, r, n);
        case 28: return zv_stdp(0, y, n, 10, r, n);
        case 29: return zv_avedev(0, y, n, 10, r, n);
        case 30: return zv_filter(0, c, n, 4, r, n);
        case 31: {  // helpers that allocate: each thread its own block
            num_t *p = arange(-50, 350, 1.0);
            if (!p) return -1;
            std::memcpy(r, p, kLen * sizeof(num_t));
            std::free(p);
            return 0;
        }
        case 32: {
            num_t *p = zeros(kLen);
            if (!p) return -1;
            std::memcpy(r, p, kLen * sizeof(num_t));
            std::free(p);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int main() {
    const Inputs in = make_inputs();
    std::vector<std::vector<num_t>> serial(kCalls, std::vector<num_t>(kLen, 0.0));
    int serial_rc[kCalls];
    for (int k = 0; k < kCalls; ++k) serial_rc[k] = run_call(k, in, serial[k].data());

    std::vector<int> bad(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &in, &serial, &serial_rc, &bad] {
            std::vector<num_t> r(kLen);
            for (int round = 0; round < kRounds; ++round) {
                for (int j = 0; j < kCalls; ++j) {
                    const int k = (j + t * 5 + round) % kCalls;  // threads out of step
                    std::fill(r.begin(), r.end(), 0.0);
                    const int rc = run_call(k, in, r.data());
                    if (rc != serial_rc[k] ||
                        std::memcmp(r.data(), serial[k].data(), kLen * sizeof(num_t)) != 0)
                        ++bad[t];
                }
            }
        });
    }
    for (std::thread &th : threads) th.join();
    int total = 0;
    for (int b : bad) total += b;
    std::printf("threads=%d rounds=%d calls=%d mismatches=%d\n", kThreads, kRounds, kCalls, total);
    return total == 0 ? 0 : 1;
}
