// The benchmark entry: arguments, header records, start-up, inputs and
// reference, the three campaigns, final records and teardown.
#include <cblas.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/common.h"
#include "multiply/accuracy/accuracy.h"
#include "multiply/bench/bench.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/method/matrix_storage.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace bench {

#ifdef KORVANE_BENCH_TESTING
namespace testing {
void (*before_execute)() = nullptr;
void (*after_execute)() = nullptr;
}
#endif

std::vector<std::uint64_t> leaf_config_sides(std::uint64_t n) {
    std::vector<std::uint64_t> sides;
    for (std::uint64_t side = n / 2; side >= 16; side /= 2) {
        sides.push_back(side);
        if (side <= n / 16) break;
    }
    return sides;
}

std::vector<int> base_order(int m) {
    std::vector<int> order;
    if (m < 1) return order;
    order.push_back(0);
    int front = 1, back = m - 1;
    for (bool from_front = true; front <= back; from_front = !from_front)
        order.push_back(from_front ? front++ : back--);
    return order;
}

std::vector<Slot> balanced_schedule(int m, int reps) {
    const std::vector<int> base = base_order(m);
    const std::vector<int> reversed(base.rbegin(), base.rend());
    std::vector<Slot> slots;
    for (int r = 0; r < reps; ++r)
        for (int o : (r / m) % 2 ? reversed : base) slots.push_back({r, (o + r) % m});
    return slots;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t c = values.size();
    return c % 2 ? values[c / 2] : (values[c / 2 - 1] + values[c / 2]) / 2;
}

}  // namespace bench

namespace {

using namespace bench;

// Owns the four matrices. On every way out after start-up the method state,
// the engines and the pools are released first (that may restore inputs
// that a transform changed in place), then the buffers are freed.
struct Matrices {
    MatrixStorage a, b, c, r;
    bool started = false;
    ~Matrices() {
        if (started) release_all();
        problem.A = problem.B = problem.C = nullptr;
        problem.R = nullptr;
        for (MatrixStorage* m : {&a, &b, &c, &r}) std::free(m->data);
    }
};

std::vector<MethodSpec> parse_method_list(const std::string& csv) {
    std::vector<MethodSpec> specs;
    std::istringstream in(csv);
    std::string item;
    while (std::getline(in, item, ',')) specs.push_back(parse_method_spec(item));
    return specs;
}

void print_header(const std::string& campaign, const Settings& s, std::uint64_t n, std::uint64_t leaf,
                  int reps) {
    std::printf("CASE operation=%s one_product=1 N=%zu ld=%zu input=AB_FP32 data=%s requested_leaf=%zu "
                "workers=%d cpu_base=%d raw_ABC_bytes=%zu reps=%d dense_grid=%dx%d dense_kblock=%zu "
                "native_threads=%d native_ways=%dx%dx%d\n",
                campaign.c_str(), static_cast<std::size_t>(n), static_cast<std::size_t>(s.ld), s.data.c_str(),
                static_cast<std::size_t>(leaf), s.workers, s.cpu_base, static_cast<std::size_t>(12 * n * s.ld),
                reps, s.dense_grid.rows, s.dense_grid.cols, static_cast<std::size_t>(s.dense_grid.k_block),
                s.native_threads, s.native_ways[0], s.native_ways[1], s.native_ways[2]);
    std::printf("OUTER_SCHEDULE version=direct_outputs_v1 P1=C00_then_copy_C11 P2P5=C10_C01 "
                "P3P4=temporary_bottom_s2s3 P6P7=bottom_accumulate_C11_C00 bottom_buffers=4 upper_buffers=6 "
                "coefficients=0,+1,-1\n");
    std::printf("CAMPAIGN version=4+agg1 macro_pair_cubes=1 full_reference=%d seed=%llu\n",
                s.full_reference ? 1 : 0, static_cast<unsigned long long>(s.seed));
    for (std::uint64_t side : leaf_config_sides(n)) {
        const GridSpec g = leaf_grid(side);
        std::printf("LEAF_CONFIG side=%zu grid=%dx%d kblock=%zu\n", static_cast<std::size_t>(side), g.rows, g.cols,
                    static_cast<std::size_t>(g.k_block));
    }
    if (s.distribution == Distribution::rational)
        std::printf("EXACT_DOMAIN representation=integer_numerators A_denominator=3 B_denominator=5 "
                    "C_denominator=15 numerator_bound=2 FP32_numerators=1 rational_values_never_rounded=1\n");
    else if (s.distribution == Distribution::integer || s.distribution == Distribution::dyadic)
        std::printf("EXACT_DOMAIN representation=%s numerator_bound=2 input_denominator=%d output_denominator=%d\n",
                    s.data.c_str(), s.distribution == Distribution::integer ? 1 : 8,
                    s.distribution == Distribution::integer ? 1 : 64);
}

// R = A·B on the tile runner, timed, then validated against itself and the
// FP64 samples with the C view pointed at R.
void full_reference(Matrices& m, const Settings& s, std::uint64_t n) {
    const std::uint64_t t0 = monotonic_ns();
    run_aocl_tiles({make_tile(m.a.data, s.ld, m.b.data, s.ld, m.r.data, s.ld, n, s.dense_grid, false)});
    std::printf("REFERENCE seconds=%.9f outside_all_method_times=1\n", seconds_since(t0));
    std::fflush(stdout);
    MethodSpec reference;
    reference.name = "reference";
    float* const saved_c = problem.C;
    const std::uint64_t saved_ldc = problem.ldc;
    problem.C = m.r.data;
    problem.ldc = s.ld;
    try {
        print_validation_report(reference, false);
    } catch (...) {
        problem.C = saved_c;
        problem.ldc = saved_ldc;
        throw;
    }
    problem.C = saved_c;
    problem.ldc = saved_ldc;
}

int run(int argc, char** argv) {
    if (argc <= 5) {
        std::fprintf(stderr, "usage: %s N leaf reps compare|pilot|memory methods_csv\n", argv[0]);
        return 2;
    }
    const std::uint64_t n = std::stoul(argv[1]);
    const std::uint64_t leaf = std::stoul(argv[2]);
    const int reps = std::stoi(argv[3]);
    const std::string campaign = argv[4];
    if (n - 1 > 2147483646u || leaf == 0 || reps < 1) return 2;

    const Settings s = read_settings(n, campaign == "memory");
    problem.n = n;
    problem.ld = s.ld;
    problem.leaf = leaf;
    problem.workers = s.workers;
    problem.native_threads = s.native_threads;
    problem.cpu_base = s.cpu_base;
    problem.leaf_grid_n = s.dense_grid;
    problem.data_distribution = s.data;
    problem.full_reference = s.full_reference;
    std::copy(std::begin(s.native_ways), std::end(s.native_ways), native_ways);

    const std::vector<MethodSpec> specs = parse_method_list(argv[5]);
    if (specs.empty()) return 2;
    if (campaign == "memory" && specs.size() != 1) return 2;
    if (campaign != "memory" && campaign != "pilot" && campaign != "compare") return 2;

    print_header(campaign, s, n, leaf, reps);
    openblas_set_num_threads(1);
    std::printf("OPENBLAS config=%s threads=%d\n", openblas_get_config(), openblas_get_num_threads());
    std::fflush(stdout);

    Matrices m;
    start_backends(s.workers, s.cpu_base, m.started);

    allocate_matrix(m.a, n, s.ld);
    allocate_matrix(m.b, n, s.ld);
    allocate_matrix(m.c, n, s.ld);
    if (s.full_reference) allocate_matrix(m.r, n, s.ld);
    problem.A = m.a.data;
    problem.lda = s.ld;
    problem.B = m.b.data;
    problem.ldb = s.ld;
    problem.C = m.c.data;
    problem.ldc = s.ld;
    problem.R = m.r.data;
    problem.ldr = m.r.data ? s.ld : 0;
    input_job = {s.distribution, s.seed, n, s.ld, m.a.data, m.b.data, m.c.data, m.r.data, s.workers};
    pan_adapter::run_jobs(s.workers, generate_inputs_job);

    accuracy::prepare(m.a.data, s.ld, m.b.data, s.ld, n);
    std::printf("CHECK_STORAGE fp32_reference_bytes=%zu fp64_helper_bytes=%zu\n", static_cast<std::size_t>(m.r.bytes),
                static_cast<std::size_t>(accuracy::workspace_bytes()));
    std::fflush(stdout);
    if (s.full_reference) full_reference(m, s, n);

    // One run of a method: set-up, optional NaN poisoning of C, the product,
    // its records and its validation.
    auto run_once = [&](const char* label, const MethodSpec& spec, int rep, bool poison) {
        const double setup_seconds = setup_method(spec);
        if (poison) fill_block(m.c.data, n, s.ld, 0x7fc00000u);
#ifdef KORVANE_BENCH_TESTING
        if (testing::before_execute) testing::before_execute();
#endif
        const double seconds = execute_method(spec);
#ifdef KORVANE_BENCH_TESTING
        if (testing::after_execute) testing::after_execute();
#endif
        print_run_report(label, spec, rep, seconds, setup_seconds);
        print_validation_report(spec, !s.full_reference);
        return seconds;
    };

    if (campaign == "memory") {
        run_once("MEMORY", specs[0], 0, false);
    } else if (campaign == "pilot") {
        for (const MethodSpec& spec : specs) run_once("PILOT", spec, 0, true);
    } else {
        const int count = static_cast<int>(specs.size());
        if (reps % count != 0)
            throw std::runtime_error("balanced confirmation needs reps multiple of method count");
        for (const MethodSpec& spec : specs) run_once("WARMUP", spec, -1, true);
        std::vector<std::vector<double>> measured(specs.size());
        for (const Slot& slot : balanced_schedule(count, reps))
            measured[slot.method].push_back(run_once("MEASURE", specs[slot.method], slot.rep, false));
        for (std::size_t i = 0; i < specs.size(); ++i) {
            const auto& t = measured[i];
            std::printf("SUMMARY method=%s reps=%d median=%.9f min=%.9f max=%.9f\n", specs[i].name.c_str(), reps,
                        median(t), *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()));
        }
    }

    std::printf("RUN_COMPLETE operation=%s numerical_rejections=%d seed=%llu\n", campaign.c_str(),
                numerical_rejections, static_cast<unsigned long long>(s.seed));
    if (numerical_rejections == 0) std::printf("RUN_PASS operation=%s\n", campaign.c_str());
    std::printf("AOCL_CALL_AUDIT external_audited_calls=%llu native_guarded_calls=%llu affinity_failures=%llu "
                "audit_scope=%s\n",
                static_cast<unsigned long long>(aocl_backend::external_audited_calls.load()),
                static_cast<unsigned long long>(aocl_backend::native_guarded_calls.load()),
                static_cast<unsigned long long>(aocl_backend::affinity_failures.load()),
                aocl_backend::state.audit_every_call ? "every_external_call" : "first_external_call_per_thread");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int bench_main(int argc, char** argv) { return run_reporting_failure(run, argc, argv); }
