// ns per stream update from C, for every function of the catalog: one
// stream fed a seeded random walk of `bars` bars (windows N = 20, SMA 20/2,
// per-bar windows 20 with max_window 64), best of `rounds` passes.
// Built and run by bench/streams.py; prints "NAME ns" lines.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rillet.h"
#include "src/catalog.h"

int main(int argc, char **argv) {
    const int bars = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::mt19937_64 rng(42);
    std::normal_distribution<double> step(0.0, 1.0);
    std::vector<double> x(bars), y(bars), w(bars, 20.0), a(bars, 0.1), c(bars);
    double level = 100.0, other = 100.0;
    for (int i = 0; i < bars; ++i) {
        level += step(rng);
        other += step(rng);
        x[i] = level;
        y[i] = other;
        c[i] = (i % 7) < 3 ? 1.0 : 0.0;
    }
    volatile double sink = 0.0;
    for (const rillet::Entry &f : rillet::kCatalog) {
        const std::string name = f.name;
        int params[2] = {20, 2}, np = 0;
        zv_stream_shape(f.name, nullptr, &np);
        const double *in[3] = {x.data(), y.data(), y.data()};
        if (f.form == rillet::Form::Cond || f.form == rillet::Form::Fif) in[0] = c.data();
        if (name.size() > 2 && name.substr(name.size() - 2) == "_A") in[1] = w.data();
        if (name == "DMA") in[1] = a.data();
        if (name == "REFIF") in[1] = c.data();
        int inputs = 1;
        zv_stream_shape(f.name, &inputs, nullptr);
        double best = 1e30;
        for (int r = 0; r < rounds; ++r) {
            zv_stream *s = nullptr;
            if (zv_stream_open(&s, f.name, params, np, 64, nullptr, 0, nullptr) != ERR_OK) {
                std::printf("%s open failed\n", f.name);
                return 1;
            }
            double bar[3], out[2];
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < bars; ++i) {
                for (int j = 0; j < inputs; ++j) bar[j] = in[j][i];
                zv_stream_update(s, bar, out);
                sink = sink + out[0];
            }
            const auto t1 = std::chrono::steady_clock::now();
            zv_stream_close(s);
            best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / bars);
        }
        std::printf("%s %.2f\n", f.name, best);
    }
    return 0;
}
