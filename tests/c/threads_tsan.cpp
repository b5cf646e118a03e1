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

#include "catalog.h"
#include "rillet.h"

namespace {

constexpr int kLen = 400;
constexpr int kThreads = 8;
constexpr int kRounds = 20;
constexpr int kCalls = rillet::kCatalogSize + 2;  // the functions, arange, zeros

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

// Runs call k into r (kLen elements) and returns the core's code: first
// every function of the catalog, then the helpers that allocate.
int run_call(int k, const Inputs &in, num_t *r) {
    const int n = kLen;
    if (k < rillet::kCatalogSize) {
        const rillet::Entry &e = rillet::kCatalog[k];
        const rillet::Shape sh = rillet::shape_of(e.form);
        const num_t *series[] = {in.x.data(), in.y.data(), in.c.data()};
        rillet::Args a;
        for (int i = 0; i < sh.nargs; ++i) {
            a.sizes[i] = n;
            if (sh.kinds[i] == rillet::Kind::Cond) {
                a.series[i] = in.cond.data();
            } else if (sh.kinds[i] == rillet::Kind::Int) {
                a.ints[i] = i == 2 ? 2 : (k % 2 ? 0 : 3 + k % 9);  // N = 0 where accepted
                if (e.param == rillet::Param::MinOne && a.ints[i] < 1) a.ints[i] = 1;
            } else {
                // A series named N is a window per bar: windows -1 .. 10.
                const bool windows = e.argnames[i][0] == 'N';
                a.series[i] = windows ? in.w.data() : series[i];
            }
        }
        return rillet::invoke(e, 0, a, r, n);
    }
    switch (k - rillet::kCatalogSize) {
        case 0: {  // helpers that allocate: each thread its own block
            num_t *p = arange(-50, 350, 1.0);
            if (!p) return -1;
            std::memcpy(r, p, kLen * sizeof(num_t));
            std::free(p);
            return 0;
        }
        case 1: {
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
