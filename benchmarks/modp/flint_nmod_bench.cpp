// Times FLINT's nmod_mat_mul, the exact modular product a user would
// otherwise reach for, on random residues:
//   flint_nmod_bench N p threads [reps]
// prints "flint_seconds <best of reps>" (default 2 reps).
#include <flint/flint.h>
#include <flint/nmod_mat.h>

#include <cstdio>
#include <cstdlib>

#include "common/clock.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s N p threads [reps]\n", argv[0]);
        return 2;
    }
    const long n = std::atol(argv[1]);
    const unsigned long p = std::strtoul(argv[2], nullptr, 10);
    const int threads = std::atoi(argv[3]);
    const int reps = argc > 4 ? std::atoi(argv[4]) : 2;
    if (n <= 0 || p < 2 || threads <= 0 || reps <= 0) {
        std::fprintf(stderr, "usage: %s N p threads [reps]\n", argv[0]);
        return 2;
    }
    flint_set_num_threads(threads);
    nmod_mat_t a, b, c;
    nmod_mat_init(a, n, n, p);
    nmod_mat_init(b, n, n, p);
    nmod_mat_init(c, n, n, p);
    unsigned long long s = 12345;
    for (long i = 0; i < n; ++i)
        for (long j = 0; j < n; ++j) {
            s = s * 6364136223846793005ULL + 1442695040888963407ULL;
            nmod_mat_entry(a, i, j) = (s >> 33) % p;
            s = s * 6364136223846793005ULL + 1442695040888963407ULL;
            nmod_mat_entry(b, i, j) = (s >> 33) % p;
        }
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const std::uint64_t t0 = monotonic_ns();
        nmod_mat_mul(c, a, b);
        const double sec = seconds_since(t0);
        if (sec < best) best = sec;
    }
    std::printf("flint_seconds %.3f\n", best);
    nmod_mat_clear(a);
    nmod_mat_clear(b);
    nmod_mat_clear(c);
    flint_cleanup();
    return 0;
}
