// Times one multithreaded cblas_dgemm of side N (default 8192) with T threads
// (default 8) and prints "dgemm_seconds <s>" (best of R runs, default 2) and
// "openblas_core <name>" (the kernel family OpenBLAS chose). The modular
// multiplier's benchmark compares its multiply seconds with this.
#include <cblas.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/clock.h"

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 8192;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 8;
    const int reps = argc > 3 ? std::atoi(argv[3]) : 2;
    if (n <= 0 || threads <= 0 || reps <= 0) {
        std::fprintf(stderr, "usage: %s [N] [threads] [reps]\n", argv[0]);
        return 2;
    }
    openblas_set_num_threads(threads);
    const size_t cells = static_cast<size_t>(n) * n;
    std::vector<double> a(cells), b(cells), c(cells, 0.0);
    // Integer-valued residues, like the modular program's operands.
    unsigned long long s = 12345;
    for (size_t i = 0; i < cells; ++i) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        a[i] = static_cast<double>((s >> 33) % 65521);
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        b[i] = static_cast<double>((s >> 33) % 65521);
    }
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const std::uint64_t t0 = monotonic_ns();
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0, a.data(), n, b.data(),
                    n, 0.0, c.data(), n);
        const double sec = seconds_since(t0);
        if (sec < best) best = sec;
    }
    std::printf("dgemm_seconds %.3f\nopenblas_core %s\n", best, openblas_get_corename());
    return 0;
}
