#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/cpus.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/method/center.h"
#include "multiply/method/equil.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/method/strassen.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pool.h"

PhaseTimers phase_timers;
std::int32_t native_ways[3] = {0, 0, 0};

namespace {

// Puts the main thread back where it was after the native route: one AOCL
// thread, its saved affinity, the saved ways. On success finish() does it and
// a refused thread setting fails the run; on a failure path the destructor
// does it and the exception already on its way is the one that counts.
struct NativeRestore {
    cpu_set_t affinity;
    std::int32_t ways[3];
    bool armed = true;
    void put_back() noexcept {
        if (sched_setaffinity(0, sizeof(affinity), &affinity) != 0) std::abort();
        std::memcpy(native_ways, ways, sizeof(ways));
    }
    void finish() {
        armed = false;
        try {
            aocl_backend::set_threads(1);
        } catch (...) {
            put_back();
            throw;
        }
        put_back();
    }
    ~NativeRestore() {
        if (!armed) return;
        try {
            aocl_backend::set_threads(1);
        } catch (...) {
            // The exception already under way is the one reported.
        }
        put_back();
    }
};

void set_loop_ways(std::int32_t first, std::int32_t second, std::int32_t third) {
    auto& st = aocl_backend::state;
    const std::int32_t ways[3] = {first, second, third};
    std::int32_t largest = 0;
    bool positive = true;
    for (std::int32_t w : ways) {
        positive = positive && w > 0;
        if (w > largest) largest = w;
    }
    if (!st.ready || !positive || largest > st.count) aocl_backend::fail("invalid AOCL loop ways");
    const std::int64_t product = std::int64_t{first} * second * third;
    if (product > st.count) aocl_backend::fail("AOCL loop ways exceed the configured worker budget");
    cpu_set_t saved;
    CPU_ZERO(&saved);
    if (sched_getaffinity(0, sizeof(saved), &saved) != 0) aocl_backend::fail("sched_getaffinity failed");
    try {
        st.set_ways(first, 1, second, third, 1);
        aocl_backend::thread_state.reset_pending = true;
        aocl_backend::thread_state.threads = static_cast<int>(product);
        if (st.get_num_threads() != product) aocl_backend::fail("AOCL loop-way product was not accepted");
        const std::int64_t expected[5] = {first, 1, second, third, 1};
        for (int i = 0; i < 5; ++i)
            if (st.get_loop_ways[i]() != expected[i]) aocl_backend::fail("AOCL loop-way getter mismatch");
    } catch (...) {
        aocl_backend::restore_affinity(saved);
        throw;
    }
    aocl_backend::restore_affinity(saved);
}

void run_native(const MethodSpec& spec) {
    NativeRestore restore;
    std::memcpy(restore.ways, native_ways, sizeof(native_ways));
    if (spec.config == "auto") {
        native_ways[0] = native_ways[1] = native_ways[2] = 0;
    } else if (!spec.config.empty()) {
        int a = 0, b = 0, c = 0;
        std::sscanf(spec.config.c_str(), "%dx%dx%d", &a, &b, &c);
        native_ways[0] = a;
        native_ways[1] = b;
        native_ways[2] = c;
    }
    CPU_ZERO(&restore.affinity);
    if (sched_getaffinity(0, sizeof(restore.affinity), &restore.affinity) != 0) std::abort();
    cpu_set_t pin;
    CPU_ZERO(&pin);
    // The first CPU of the worker team: cpu_base itself unless the process's
    // mask leaves it out, so the pin never asks for a CPU it cannot have.
    const int first = team_cpu(problem.cpu_base, 0);
    const int cpu = first >= 0 ? first : problem.cpu_base;
    if (cpu >= 0 && cpu < 1024) CPU_SET(cpu, &pin);
    if (sched_setaffinity(0, sizeof(pin), &pin) != 0) std::abort();

    aocl_backend::set_threads(problem.native_threads);
    if (native_ways[0] != 0) set_loop_ways(native_ways[0], native_ways[1], native_ways[2]);
    const int n = static_cast<int>(problem.n);
    aocl_backend::sgemm(101, 111, 111, n, n, n, 1.0f, problem.A, static_cast<int>(problem.lda),
                        problem.B, static_cast<int>(problem.ldb), 0.0f, problem.C,
                        static_cast<int>(problem.ldc));
    restore.finish();
}

void run_dense(const MethodSpec& spec) {
    const GridSpec grid = spec.config.empty() ? problem.leaf_grid_n : parse_grid(spec.config.c_str());
    run_aocl_tiles({make_tile(problem.A, problem.lda, problem.B, problem.ldb, problem.C, problem.ldc,
                              problem.n, grid, false)});
}

// Whole-matrix Pan: four pair calls over the quadrants, each two products.
void run_pan_direct() {
    const std::uint64_t h = problem.n / 2;
    const float* A = problem.A;
    const float* B = problem.B;
    float* C = problem.C;
    const std::uint64_t la = problem.lda, lb = problem.ldb, lc = problem.ldc;
    auto a = [&](int r, int c) { return A + r * h * la + c * h; };
    auto b = [&](int r, int c) { return B + r * h * lb + c * h; };
    auto c = [&](int r, int col) { return C + r * h * lc + col * h; };
    run_pan_product(a(0, 0), la, b(0, 0), lb, a(1, 1), la, b(1, 1), lb, c(0, 0), lc, c(1, 1), lc, false);
    run_pan_product(a(0, 0), la, b(0, 1), lb, a(1, 1), la, b(1, 0), lb, c(0, 1), lc, c(1, 0), lc, false);
    run_pan_product(a(0, 1), la, b(1, 0), lb, a(1, 0), la, b(0, 1), lb, c(0, 0), lc, c(1, 1), lc, true);
    run_pan_product(a(0, 1), la, b(1, 1), lb, a(1, 0), la, b(0, 0), lb, c(0, 1), lc, c(1, 0), lc, true);
}

std::uint64_t power7(std::int32_t s) {
    std::uint64_t r = 1;
    for (std::int32_t i = 0; i < s; ++i) r *= 7;
    return r;
}

void end_checks(const MethodSpec& spec) {
    const std::int32_t s = spec.strassen_levels;
    if (spec.agg) {
        const std::uint64_t r = s <= 0 ? 1 : power7(s);
        const std::uint64_t q = active_method.agg_q;
        const std::uint64_t expected = r * (q * q * q / 3 + 9 * q * q / 2 - q / 3);
        if (phase_timers.pan_products != expected || phase_timers.agg_runs != r)
            throw std::runtime_error("agg executed rank count mismatch");
    }
    if (spec.pan) {
        const std::uint64_t g = static_cast<std::uint64_t>(active_method.macro_grid);
        const std::uint64_t p = std::uint64_t{1} << (s < 1 ? 1 : s);
        const std::uint64_t m = problem.n / p / active_method.pan_leaf / g;
        const std::uint64_t d = spec.pan_direct ? 4 * g * g * g : (s <= 1 ? 3 : 3 * power7(s - 1));
        const std::uint64_t expected = d * (m * m * m + 3 * m * m);
        if (phase_timers.pan_products != expected || phase_timers.pan_pairs != d)
            throw std::runtime_error("Pan executed rank count mismatch");
    }
}

}  // namespace

double execute_method(const MethodSpec& spec) {
    phase_timers = PhaseTimers{};
    center::published_rows_a = 0;
    center::published_rows_b = 0;
    float* const saved_a = problem.A;
    float* const saved_b = problem.B;
    const std::uint64_t saved_lda = problem.lda, saved_ldb = problem.ldb;
    auto put_views_back = [&] {
        problem.A = saved_a;
        problem.lda = saved_lda;
        problem.B = saved_b;
        problem.ldb = saved_ldb;
    };
    const std::uint64_t t0 = monotonic_ns();
    try {
        if (spec.centered) {
            const std::uint64_t t = monotonic_ns();
            center::transform();
            phase_timers.forms += seconds_since(t);
        }
        equil::published = equil::Statistics{};
        if (spec.scale) {
            const std::uint64_t t = monotonic_ns();
            equil::transform();
            phase_timers.forms += seconds_since(t);
        }
        if (spec.native) {
            run_native(spec);
        } else if (spec.agg && spec.strassen_levels == 0) {
            run_agg_product(problem.A, problem.lda, problem.B, problem.ldb, problem.C, problem.ldc,
                            problem.n, false);
        } else if (spec.pan_direct) {
            run_pan_direct();
        } else if (spec.strassen_levels != 0) {
            strassen_level(problem.A, problem.lda, problem.B, problem.ldb, problem.C, problem.ldc, problem.n, 0);
        } else {
            run_dense(spec);
        }
        if (spec.scale) {
            const std::uint64_t t = monotonic_ns();
            equil::recover();
            phase_timers.decode += seconds_since(t);
        }
        if (spec.centered) {
            const std::uint64_t t = monotonic_ns();
            center::recover();
            phase_timers.decode += seconds_since(t);
        }
    } catch (...) {
        // The caller's inputs are never left scaled or centred; scaling went
        // on last, so it comes off first.
        if (spec.scale) equil::restore_if_in_place();
        if (spec.centered) center::restore_if_applied();
        put_views_back();
        throw;
    }
    put_views_back();
    const double seconds = seconds_since(t0);
    end_checks(spec);
    return seconds;
}
