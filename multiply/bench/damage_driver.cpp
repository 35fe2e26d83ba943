// Test driver: the benchmark entry with a hook that damages C after every
// product, chosen by KORVANE_BENCH_DAMAGE:
//   "relative": every entry of C scaled by 1 + 2e-4;
//   "entry":    C[N/2][N/3] increased by one;
//   "nan":      C[N/2][N/3] made a quiet NaN;
//   "padding":  the first padding cell of C's last row overwritten;
//   "unwritten": from the second run on, C is left as it was before the
//               product, as by a method that never writes it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "multiply/bench/bench.h"
#include "multiply/method/problem.h"

namespace {

const char* damage = "";
int runs = 0;
std::vector<float> before;  // C as the product found it

void keep_c() {
    const std::uint64_t n = problem.n, ld = problem.ldc;
    before.assign(problem.C, problem.C + (n - 1) * ld + n);
}

void damage_c() {
    const std::uint64_t n = problem.n, ld = problem.ldc;
    float* c = problem.C;
    if (std::strcmp(damage, "relative") == 0) {
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) c[i * ld + j] *= 1.0f + 2e-4f;
    } else if (std::strcmp(damage, "entry") == 0) {
        c[n / 2 * ld + n / 3] += 1.0f;
    } else if (std::strcmp(damage, "nan") == 0) {
        c[n / 2 * ld + n / 3] = std::nanf("");
    } else if (std::strcmp(damage, "padding") == 0) {
        c[(n - 1) * ld + n] = 0.0f;
    } else if (std::strcmp(damage, "unwritten") == 0 && ++runs > 1) {
        std::copy(before.begin(), before.end(), c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* d = std::getenv("KORVANE_BENCH_DAMAGE")) damage = d;
    if (std::strcmp(damage, "unwritten") == 0) bench::testing::before_execute = keep_c;
    bench::testing::after_execute = damage_c;
    return bench_main(argc, argv);
}
