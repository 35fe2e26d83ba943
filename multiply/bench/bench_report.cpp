// Per-run records of the benchmark: timing, memory and engine statistics of
// one run, and its validation.
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#include "multiply/accuracy/accuracy.h"
#include "multiply/bench/bench.h"
#include "multiply/method/equil.h"
#include "multiply/method/center.h"
#include "multiply/method/method_run.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pan_engine.h"
#include "multiply/pan_adapter/pool.h"

namespace bench {

int numerical_rejections = 0;

namespace {

// The number after "VmRSS:" in /proc/self/status (kB); 0 when missing.
std::uint64_t rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

std::uint64_t process_hwm_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss);
}

template <class T>
std::uint64_t capacity_bytes(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

// Fixed bookkeeping plus the capacity of the Pan engine's own vectors.
std::uint64_t metadata_bytes() {
    using namespace pan_adapter::implementation;
    std::lock_guard<std::mutex> guard(adapter_mutex);
    std::uint64_t bytes = 656 + capacity_bytes(pool.threads) + capacity_bytes(pan_schedule.tasks) +
                          capacity_bytes(pan_schedule.next) + capacity_bytes(pan_schedule.prev) +
                          capacity_bytes(pan_schedule.busy_c) + capacity_bytes(pan_schedule.busy_c2);
    const PanState& st = pan_state;
    for (const auto* set : {&st.a_sums, &st.b_sums, &st.leaf_workspaces, &st.ra, &st.ca2, &st.rb, &st.cb2,
                            &st.u, &st.t, &st.p})
        bytes += capacity_bytes(*set);
    return bytes;
}

bool below(double x, double limit) { return std::isfinite(x) && x < limit; }

// The pass rule of one validation: finite output, reference and samples;
// full comparison (unless self-scan) and FP64 samples below 1e-4; for exact
// inputs also no difference at all.
struct Verdict {
    bool pass;
    bool finite;
};

Verdict judge(const AccuracyResult& r, bool self_scan, bool exact) {
    const bool finite = r.nonfinite == 0 && r.ref_nonfinite == 0 && r.fp64_ref_nonfinite == 0;
    const bool full_ok = self_scan || (below(r.full_rel, 1e-4) && below(r.row_max, 1e-4));
    const bool fp64_ok = r.computed && below(r.fp64_rows_rel, 1e-4) && below(r.fp64_row_max, 1e-4) &&
                         below(r.points_rel, 1e-4);
    bool pass = finite && full_ok && fp64_ok;
    if (exact)
        pass = pass && r.fp64_rows_rel == 0 && r.points_maxabs == 0 && (self_scan || r.full_maxabs == 0);
    return {pass, finite};
}

}  // namespace

void print_run_report(const char* label, const MethodSpec& spec, int rep, double seconds,
                      double setup_seconds) {
    const ActiveMethod& am = active_method;
    const PhaseTimers& t = phase_timers;
    std::printf(
        "%s method=%s rep=%d seconds=%.9f setup_seconds=%.9f pan_leaf=%zu owned_scratch_bytes=%zu "
        "pan_bytes=%zu outer_bytes=%zu metadata_bytes=%zu rss_kib=%zu process_hwm_kib=%zu pan_pairs=%ld "
        "pan_products=%ld aocl_singletons=%ld forms=%.9f decode=%.9f pan=%.9f dense=%.9f pan_main=%.9f "
        "pan_corr=%.9f agg=%.9f agg_main=%.9f agg_corr=%.9f agg_sums=%.9f agg_bcast=%.9f agg_zero=%.9f "
        "agg_runs=%ld agg_deferrals=%ld agg_drain_leaves=%ld agg_drain_max=%.3f agg_redirects=%ld "
        "agg_leaves_min=%ld agg_leaves_max=%ld agg_finish_spread=%.3f agg_q=%zu\n",
        label, spec.name.c_str(), rep, seconds, setup_seconds, static_cast<std::size_t>(am.pan_leaf),
        static_cast<std::size_t>(am.owned_scratch_bytes), static_cast<std::size_t>(am.pan_bytes),
        static_cast<std::size_t>(am.outer_bytes), static_cast<std::size_t>(metadata_bytes()),
        static_cast<std::size_t>(rss_kib()), static_cast<std::size_t>(process_hwm_kib()),
        static_cast<long>(t.pan_pairs), static_cast<long>(t.pan_products), static_cast<long>(t.aocl_singletons),
        t.forms, t.decode, t.pan, t.dense, t.pan_main, t.pan_corr, t.agg, t.agg_main, t.agg_corr, t.agg_sums,
        t.agg_bcast, t.agg_zero, static_cast<long>(t.agg_runs), static_cast<long>(t.agg_deferrals),
        static_cast<long>(t.agg_drain_leaves), t.agg_drain_max, static_cast<long>(t.agg_redirects),
        static_cast<long>(t.agg_leaves_min), static_cast<long>(t.agg_leaves_max), t.agg_finish_spread,
        static_cast<std::size_t>(am.agg_q));

    const std::uint64_t rows_a = center::published_rows_a, rows_b = center::published_rows_b;
    const equil::Statistics& eq = equil::published;
    const bool mutated = (rows_a != 0 || rows_b != 0) ? true : eq.applied;
    std::printf(
        "METHOD_DETAIL method=%s macro_grid=%d accurate=%d aocl_corrections=%d centered=%d correction_k=%zu "
        "main_subk=%zu correction_tile=%zu packed_corrections=%d center_bytes=%zu center_rows_a=%zu "
        "center_rows_b=%zu input_temporarily_mutated=%d restored_before_check=1\n",
        spec.name.c_str(), spec.pan ? 2 * spec.macro_grid : 0, spec.accurate ? 1 : 0,
        (spec.aocl_corrections || spec.accurate) ? 1 : 0, spec.centered ? 1 : 0,
        static_cast<std::size_t>(spec.correction_k), static_cast<std::size_t>(spec.main_subk),
        static_cast<std::size_t>(spec.correction_tile), spec.packed_corrections ? 1 : 0,
        static_cast<std::size_t>(am.center_bytes), static_cast<std::size_t>(rows_a),
        static_cast<std::size_t>(rows_b), mutated ? 1 : 0);
    std::printf("PARTIAL_CALLS method=%s accurate_correction_gemms=%ld\n", spec.name.c_str(),
                static_cast<long>(t.accurate_correction_gemms));
    std::printf(
        "EQUIL_DETAIL method=%s enabled=%d bytes=%zu applied=%d certificate=%d inner=%zu rows=%zu columns=%zu "
        "preflight_failures=%zu\n",
        spec.name.c_str(), spec.scale ? 1 : 0, static_cast<std::size_t>(am.equil_bytes + eq.kept_bytes),
        eq.applied ? 1 : 0,
        eq.certificate ? 1 : 0, static_cast<std::size_t>(eq.inner), static_cast<std::size_t>(eq.rows),
        static_cast<std::size_t>(eq.columns), static_cast<std::size_t>(eq.preflight_failures));
    std::fflush(stdout);
}

void print_validation_report(const MethodSpec& spec, bool self_scan) {
    const Problem& p = problem;
    for (const float* view : {static_cast<const float*>(p.A), static_cast<const float*>(p.B),
                              static_cast<const float*>(p.C), p.R})
        if (view != nullptr && !padding_intact(view, p.n, p.ld))
            throw std::runtime_error("matrix padding overwritten");

    AccuracyResult r;
    accuracy::analyze(&r, p.C, p.ldc, self_scan ? p.C : p.R, self_scan ? p.ldc : p.ldr, spec.name.c_str());
    const bool exact = data_is("integer") || data_is("dyadic") || data_is("rational");
    const Verdict v = judge(r, self_scan, exact);
    if (!v.pass) ++numerical_rejections;

    std::printf(
        "VALIDATION label=%s pass=%d full_reference=%s full_rel=%.12g row_p50=%.12g row_p99=%.12g "
        "row_max=%.12g maxabs=%.12g fp64_rows=%.12g fp64_row_max=%.12g fp64_points=%.12g "
        "fp64_point_maxabs=%.12g nonfinite=%llu\n",
        spec.name.c_str(), v.pass ? 1 : 0, self_scan ? "self_scan_only" : "fixed_AOCL", r.full_rel, r.row_p50,
        r.row_p99, r.row_max, r.full_maxabs, r.fp64_rows_rel, r.fp64_row_max, r.points_rel, r.points_maxabs,
        static_cast<unsigned long long>(r.nonfinite));
    std::printf("ERROR_DETAIL label=%s scaled_point=%.12g fp64_point_abs=%.12g full_reference_norm=%.12g "
                "exact_input=%d\n",
                spec.name.c_str(), r.point_scaled_max, r.points_maxabs, r.reference_norm, exact ? 1 : 0);
    std::fflush(stdout);
    if (!v.finite) throw std::runtime_error("nonfinite output or reference");
}

}  // namespace bench
