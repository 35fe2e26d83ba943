// End-to-end tests of korvane_multiply_bench (and of the same entry with a
// test hook that damages C after each product), run as subprocesses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/printf_format.h"
#include "common/testing/test_support.h"

namespace fs = std::filesystem;

namespace {

// A pilot over routes of every engine and transform, and one over the
// remaining bases and prefixes.
const char* const kPilotMethods = "dense,center_pan2,strassen_pan1,pan2@64,aocl_pan2,strassen_aocl1,native";
const char* const kFullPilotMethods =
    "dense,center_pan2,center_accurate2s32t256p1,strassen_pan1,agg1@64,scale_center_agg1@64,strassen_agg1@64";

struct Result {
    int status = -1;
    std::string out, err;
    std::vector<std::string> lines;                  // the benchmark's own records, in order
    std::vector<std::map<std::string, std::string>> fields;  // their name=value fields (tag under "")

    // Records with this tag.
    std::vector<std::map<std::string, std::string>> with(const std::string& tag) const {
        std::vector<std::map<std::string, std::string>> r;
        for (const auto& f : fields)
            if (f.at("") == tag) r.push_back(f);
        return r;
    }
    bool has(const std::string& tag) const { return !with(tag).empty(); }
};

const std::set<std::string> kTags = {"CASE", "OUTER_SCHEDULE", "CAMPAIGN", "LEAF_CONFIG", "EXACT_DOMAIN",
                                     "OPENBLAS", "CHECK_STORAGE", "REFERENCE", "PILOT", "WARMUP", "MEASURE",
                                     "MEMORY", "METHOD_DETAIL", "PARTIAL_CALLS", "EQUIL_DETAIL", "VALIDATION",
                                     "ERROR_DETAIL", "SUMMARY", "RUN_COMPLETE", "RUN_PASS", "AOCL_CALL_AUDIT"};

// WORKERS and CPU_BASE that fit this process: consecutive usable CPUs, at most 8.
std::string placement() {
    const auto [base, count] = consecutive_test_cpus();
    return "WORKERS=" + std::to_string(count) + " CPU_BASE=" + std::to_string(base) + " ";
}

// A run that does not end within this many seconds counts as hung (a
// deadlocked engine) and is killed: the longest, a pilot at side 2048, takes
// 1-3 s on an idle machine, and up to ten times that on a busy one.
#ifdef KORVANE_SANITIZER_BUILD
constexpr int kHangSeconds = 240;
#else
constexpr int kHangSeconds = 90;
#endif

Result run(const std::string& env, const std::string& args, const char* program = "korvane_multiply_bench") {
    const ScratchDir dir("bench_cli");
    const CommandResult c = run_in_bounded(
        dir.path, "env " + env + " '" KORVANE_BINARY_DIR "/multiply/bench/" + std::string(program) + "' " + args,
        kHangSeconds);
    Result r;
    r.status = c.status;
    r.out = c.out;
    r.err = c.err;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string tag, word;
        words >> tag;
        if (!kTags.count(tag)) continue;
        std::map<std::string, std::string> f{{"", tag}};
        while (words >> word) {
            const auto eq = word.find('=');
            if (eq != std::string::npos) f[word.substr(0, eq)] = word.substr(eq + 1);
        }
        r.lines.push_back(line);
        r.fields.push_back(f);
    }
    return r;
}

std::vector<std::string> split(const std::string& csv) {
    std::vector<std::string> items;
    std::istringstream in(csv);
    std::string item;
    while (std::getline(in, item, ',')) items.push_back(item);
    return items;
}

// "TAG name" for every record, name being its method or label when it has one.
std::vector<std::string> tags_and_names(const Result& r) {
    std::vector<std::string> out;
    for (const auto& f : r.fields) {
        std::string s = f.at("");
        if (f.count("method")) s += " " + f.at("method");
        if (f.count("label")) s += " " + f.at("label");
        out.push_back(s);
    }
    return out;
}

// Every record's format, by tag; the run line serves all four run labels.
const char* const kRunFormat =
    "%s method=%s rep=%d seconds=%.9f setup_seconds=%.9f pan_leaf=%zu owned_scratch_bytes=%zu pan_bytes=%zu "
    "outer_bytes=%zu metadata_bytes=%zu rss_kib=%zu process_hwm_kib=%zu pan_pairs=%ld pan_products=%ld "
    "aocl_singletons=%ld forms=%.9f decode=%.9f pan=%.9f dense=%.9f pan_main=%.9f pan_corr=%.9f agg=%.9f "
    "agg_main=%.9f agg_corr=%.9f agg_sums=%.9f agg_bcast=%.9f agg_zero=%.9f agg_runs=%ld agg_deferrals=%ld "
    "agg_drain_leaves=%ld agg_drain_max=%.3f agg_redirects=%ld agg_leaves_min=%ld agg_leaves_max=%ld "
    "agg_finish_spread=%.3f agg_q=%zu";
const std::map<std::string, std::string> kFormats = {
    {"CASE", "CASE operation=%s one_product=1 N=%zu ld=%zu input=AB_FP32 data=%s requested_leaf=%zu workers=%d "
             "cpu_base=%d raw_ABC_bytes=%zu reps=%d dense_grid=%dx%d dense_kblock=%zu native_threads=%d "
             "native_ways=%dx%dx%d"},
    {"OUTER_SCHEDULE", "OUTER_SCHEDULE version=direct_outputs_v1 P1=C00_then_copy_C11 P2P5=C10_C01 "
                       "P3P4=temporary_bottom_s2s3 P6P7=bottom_accumulate_C11_C00 bottom_buffers=4 upper_buffers=6 "
                       "coefficients=0,+1,-1"},
    {"CAMPAIGN", "CAMPAIGN version=4+agg1 macro_pair_cubes=1 full_reference=%d seed=%llu"},
    {"LEAF_CONFIG", "LEAF_CONFIG side=%zu grid=%dx%d kblock=%zu"},
    {"EXACT_DOMAIN", "EXACT_DOMAIN representation=%s numerator_bound=2 input_denominator=%d output_denominator=%d"},
    {"OPENBLAS", "OPENBLAS config=%s threads=%d"},
    {"CHECK_STORAGE", "CHECK_STORAGE fp32_reference_bytes=%zu fp64_helper_bytes=%zu"},
    {"REFERENCE", "REFERENCE seconds=%.9f outside_all_method_times=1"},
    {"PILOT", kRunFormat},
    {"WARMUP", kRunFormat},
    {"MEASURE", kRunFormat},
    {"MEMORY", kRunFormat},
    {"METHOD_DETAIL", "METHOD_DETAIL method=%s macro_grid=%d accurate=%d aocl_corrections=%d centered=%d "
                      "correction_k=%zu main_subk=%zu correction_tile=%zu packed_corrections=%d center_bytes=%zu "
                      "center_rows_a=%zu center_rows_b=%zu input_temporarily_mutated=%d restored_before_check=1"},
    {"PARTIAL_CALLS", "PARTIAL_CALLS method=%s accurate_correction_gemms=%ld"},
    {"EQUIL_DETAIL", "EQUIL_DETAIL method=%s enabled=%d bytes=%zu applied=%d certificate=%d inner=%zu rows=%zu "
                     "columns=%zu preflight_failures=%zu"},
    {"VALIDATION", "VALIDATION label=%s pass=%d full_reference=%s full_rel=%.12g row_p50=%.12g row_p99=%.12g "
                   "row_max=%.12g maxabs=%.12g fp64_rows=%.12g fp64_row_max=%.12g fp64_points=%.12g "
                   "fp64_point_maxabs=%.12g nonfinite=%llu"},
    {"ERROR_DETAIL", "ERROR_DETAIL label=%s scaled_point=%.12g fp64_point_abs=%.12g full_reference_norm=%.12g "
                     "exact_input=%d"},
    {"SUMMARY", "SUMMARY method=%s reps=%d median=%.9f min=%.9f max=%.9f"},
    {"RUN_COMPLETE", "RUN_COMPLETE operation=%s numerical_rejections=%d seed=%llu"},
    {"RUN_PASS", "RUN_PASS operation=%s"},
    {"AOCL_CALL_AUDIT", "AOCL_CALL_AUDIT external_audited_calls=%llu native_guarded_calls=%llu "
                        "affinity_failures=%llu audit_scope=%s"},
};

// Every record of r in its tag's format. A %g field prints trailing zeros of
// its precision away, so one that shows fewer digits may still be right; but
// among many non-zero values of one field some must show them all (every
// %g of these records is %.12g).
void expect_formats(const Result& r) {
    std::map<std::pair<std::string, std::size_t>, std::pair<int, int>> g_fields;  // non-zero values, most digits
    for (const std::string& line : r.lines) {
        const std::string tag = line.substr(0, line.find(' '));
        ASSERT_TRUE(kFormats.count(tag)) << line;
        EXPECT_EQ(printf_format::mismatch(line, kFormats.at(tag)), "");
        const auto fields = printf_format::fields(line, kFormats.at(tag));
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const auto& [conversion, text] = fields[i];
            if (!conversion.spec.ends_with('g') || std::strtod(text.c_str(), nullptr) == 0) continue;
            auto& [count, most] = g_fields[{tag, i}];
            ++count;
            most = std::max(most, printf_format::significant_digits(text));
        }
    }
    for (const auto& [field, seen] : g_fields) {
        const auto& [count, most] = seen;
        if (count >= 6) {
            EXPECT_EQ(most, 12) << field.first << " field " << field.second + 1 << ", " << count << " values";
        }
    }
}

// What a passing pilot at N = 2048 prints, in order.
std::vector<std::string> expected_pilot(const std::string& methods) {
    std::vector<std::string> e = {"CASE", "OUTER_SCHEDULE", "CAMPAIGN", "LEAF_CONFIG", "LEAF_CONFIG",
                                  "LEAF_CONFIG", "LEAF_CONFIG", "OPENBLAS", "CHECK_STORAGE", "REFERENCE",
                                  "VALIDATION reference", "ERROR_DETAIL reference"};
    for (const std::string& m : split(methods))
        for (const char* tag : {"PILOT", "METHOD_DETAIL", "PARTIAL_CALLS", "EQUIL_DETAIL", "VALIDATION", "ERROR_DETAIL"})
            e.push_back(std::string(tag) + " " + m);
    e.insert(e.end(), {"RUN_COMPLETE", "RUN_PASS", "AOCL_CALL_AUDIT"});
    return e;
}

void expect_pilot_passes(const std::string& methods) {
    const Result r = run(placement() + "LD_PADDING=3", "2048 1024 1 pilot " + methods);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tags_and_names(r), expected_pilot(methods));
    for (const auto& v : r.with("VALIDATION")) EXPECT_EQ(v.at("pass"), "1") << v.at("label");
    for (const auto& run : r.with("PILOT")) EXPECT_EQ(run.at("rep"), "0");
    EXPECT_EQ(r.with("CASE").at(0).at("ld"), "2051");
    EXPECT_EQ(r.with("RUN_COMPLETE").at(0).at("numerical_rejections"), "0");
}

}  // namespace

TEST(BenchCli, UsageAndRefusals) {
    const std::string program = KORVANE_BINARY_DIR "/multiply/bench/korvane_multiply_bench";
    Result r = run(placement(), "2048 1024 1 pilot");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "usage: " + program + " N leaf reps compare|pilot|memory methods_csv\n");
    EXPECT_EQ(r.out, "");

    // Rejected arguments: status 2 and nothing printed.
    for (const char* args : {"0 1024 1 pilot dense", "2147483648 1024 1 pilot dense", "64 0 1 pilot dense",
                             "64 64 0 pilot dense", "64 64 1 pilot ''", "64 64 1 memory dense,dense",
                             "64 64 1 benchmark dense"}) {
        r = run(placement(), args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out + r.err, "") << args;
    }

    // Failures: one line on standard error, nothing started.
    const struct {
        const char *env, *error;
    } failures[] = {
        {"WORKERS=65", "invalid worker/native thread configuration"},
        {"WORKERS=4 NATIVE_THREADS=4 NATIVE_WAYS=2x2x2", "native ways must multiply to native thread count"},
        {"LD_PADDING=18446744073709551615", "matrix too large"},
        {"", "Pan grid must be even and in [2,32]"},
    };
    for (const auto& f : failures) {
        r = run(placement() + f.env, "64 64 1 pilot dense,pan3");
        EXPECT_EQ(r.status, 2) << f.env;
        EXPECT_EQ(r.err, "FAILED " + std::string(f.error) + "\n") << f.env;
        EXPECT_EQ(r.out, "") << f.env;
    }
    // The default of 64 workers on a machine with fewer usable CPUs: refused before any thread starts.
    if (usable_cpus_from(0) < 64) {
        r = run("", "64 64 1 pilot dense");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "FAILED WORKERS from CPU_BASE exceed the usable CPUs\n");
        EXPECT_EQ(r.out, "");
    }

    // A count of reps that is no multiple of the method count fails after the reference.
    r = run(placement(), "256 64 4 compare dense,strassen_aocl1,pan2@64");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "FAILED balanced confirmation needs reps multiple of method count\n");
    EXPECT_TRUE(r.has("REFERENCE"));
    EXPECT_FALSE(r.has("WARMUP") || r.has("RUN_COMPLETE"));
}

TEST(BenchCli, PilotPrintsEveryRecordInOrder) { expect_pilot_passes(kPilotMethods); }

TEST(BenchCli, PilotOverTheFullMethodList) { expect_pilot_passes(kFullPilotMethods); }

// One tiny pilot and one tiny comparison print every record in its exact
// format: tags in order, field names in order, each number as its conversion
// prints it (no other precision, no stray sign or padding).
TEST(BenchCli, EveryRecordInItsExactFormat) {
    Result r = run(placement() + "DATA=dyadic SEED=12345678901 LD_PADDING=1", "64 32 1 pilot center_pan2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tags_and_names(r),
              (std::vector<std::string>{"CASE", "OUTER_SCHEDULE", "CAMPAIGN", "LEAF_CONFIG", "LEAF_CONFIG",
                                        "EXACT_DOMAIN", "OPENBLAS", "CHECK_STORAGE", "REFERENCE",
                                        "VALIDATION reference", "ERROR_DETAIL reference", "PILOT center_pan2",
                                        "METHOD_DETAIL center_pan2", "PARTIAL_CALLS center_pan2",
                                        "EQUIL_DETAIL center_pan2", "VALIDATION center_pan2",
                                        "ERROR_DETAIL center_pan2", "RUN_COMPLETE", "RUN_PASS", "AOCL_CALL_AUDIT"}));
    expect_formats(r);
    const auto [base, count] = consecutive_test_cpus();
    const std::string w = std::to_string(count);
    const auto c = r.with("CASE").at(0);  // the dense grid is leaf_grid(64), checked in form only
    EXPECT_EQ(r.lines[0], "CASE operation=pilot one_product=1 N=64 ld=65 input=AB_FP32 data=dyadic requested_leaf=32 "
                          "workers=" + w + " cpu_base=" + std::to_string(base) +
                              " raw_ABC_bytes=49920 reps=1 dense_grid=" + c.at("dense_grid") +
                              " dense_kblock=" + c.at("dense_kblock") + " native_threads=" + w + " native_ways=0x0x0");
    EXPECT_EQ(r.lines[2], "CAMPAIGN version=4+agg1 macro_pair_cubes=1 full_reference=1 seed=12345678901");
    EXPECT_EQ(r.lines[3].substr(0, 20), "LEAF_CONFIG side=32 ");
    EXPECT_EQ(r.lines[4].substr(0, 20), "LEAF_CONFIG side=16 ");
    EXPECT_EQ(r.lines[17], "RUN_COMPLETE operation=pilot numerical_rejections=0 seed=12345678901");
    EXPECT_EQ(r.lines[18], "RUN_PASS operation=pilot");
    EXPECT_TRUE(r.lines[19].ends_with(" affinity_failures=0 audit_scope=first_external_call_per_thread"))
        << r.lines[19];

    r = run(placement() + "FULL_REFERENCE=0", "64 32 2 compare dense,strassen_aocl1");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> tags;
    for (const auto& f : r.fields) tags.push_back(f.at(""));
    EXPECT_EQ(std::count(tags.begin(), tags.end(), "WARMUP"), 2);
    EXPECT_EQ(std::count(tags.begin(), tags.end(), "MEASURE"), 4);
    EXPECT_EQ(std::count(tags.begin(), tags.end(), "SUMMARY"), 2);
    EXPECT_EQ(std::count(tags.begin(), tags.end(), "REFERENCE"), 0);
    expect_formats(r);
    for (const auto& v : r.with("VALIDATION")) EXPECT_EQ(v.at("full_reference"), "self_scan_only");
}

// The audit word of every-call auditing, and the native ways in force when a
// zero factor leaves them unset.
TEST(BenchCli, AuditScopeAndNativeWaysInForce) {
    const Result r = run(placement() + "AOCL_AUDIT_EVERY_CALL=1 NATIVE_WAYS=0x5x5", "64 32 1 pilot dense");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_formats(r);
    EXPECT_EQ(r.with("CASE").at(0).at("native_ways"), "0x0x0");
    EXPECT_EQ(r.with("AOCL_CALL_AUDIT").at(0).at("audit_scope"), "every_external_call");
}

TEST(BenchCli, CompareRunsTheBalancedOrderAndSummarises) {
    const Result r = run(placement() + "SEED=3", "256 64 4 compare dense,strassen_aocl1");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> runs;
    std::map<std::string, std::vector<double>> seconds;
    for (const auto& f : r.fields) {
        const std::string& tag = f.at("");
        if (tag == "WARMUP" || tag == "MEASURE") runs.push_back(tag + " " + f.at("rep") + " " + f.at("method"));
        if (tag == "MEASURE") seconds[f.at("method")].push_back(std::stod(f.at("seconds")));
    }
    EXPECT_EQ(runs, (std::vector<std::string>{"WARMUP -1 dense", "WARMUP -1 strassen_aocl1", "MEASURE 0 dense",
                                              "MEASURE 0 strassen_aocl1", "MEASURE 1 strassen_aocl1",
                                              "MEASURE 1 dense", "MEASURE 2 strassen_aocl1", "MEASURE 2 dense",
                                              "MEASURE 3 dense", "MEASURE 3 strassen_aocl1"}));
    // One SUMMARY per method, in list order, from that method's measured seconds.
    const auto summaries = r.with("SUMMARY");
    ASSERT_EQ(summaries.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& s = summaries[i];
        EXPECT_EQ(s.at("method"), i == 0 ? "dense" : "strassen_aocl1");
        EXPECT_EQ(s.at("reps"), "4");
        std::vector<double> t = seconds[s.at("method")];
        std::sort(t.begin(), t.end());
        EXPECT_NEAR(std::stod(s.at("median")), (t[1] + t[2]) / 2, 2e-9);
        EXPECT_NEAR(std::stod(s.at("min")), t[0], 1e-9);
        EXPECT_NEAR(std::stod(s.at("max")), t[3], 1e-9);
    }
    EXPECT_EQ(r.with("CAMPAIGN").at(0).at("seed"), "3");
    EXPECT_EQ(r.with("RUN_COMPLETE").at(0).at("operation"), "compare");
    EXPECT_TRUE(r.has("RUN_PASS"));
}

TEST(BenchCli, MemoryCampaignScansItself) {
    Result r = run(placement(), "256 64 1 memory center_pan2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.with("CAMPAIGN").at(0).at("full_reference"), "0");
    EXPECT_FALSE(r.has("REFERENCE"));
    EXPECT_EQ(r.with("CHECK_STORAGE").at(0).at("fp32_reference_bytes"), "0");
    ASSERT_EQ(r.with("MEMORY").size(), 1u);
    EXPECT_EQ(r.with("MEMORY").at(0).at("rep"), "0");
    EXPECT_EQ(r.with("VALIDATION").at(0).at("full_reference"), "self_scan_only");
    EXPECT_TRUE(r.has("RUN_PASS"));

    r = run(placement() + "FULL_REFERENCE=1", "256 64 1 memory center_pan2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.has("REFERENCE"));
    EXPECT_EQ(r.with("VALIDATION").at(1).at("full_reference"), "fixed_AOCL");
}

TEST(BenchCli, ExactInputsGiveExactProducts) {
    const std::pair<const char*, const char*> domains[] = {
        {"integer", "EXACT_DOMAIN representation=integer numerator_bound=2 input_denominator=1 output_denominator=1"},
        {"dyadic", "EXACT_DOMAIN representation=dyadic numerator_bound=2 input_denominator=8 output_denominator=64"},
        {"rational", "EXACT_DOMAIN representation=integer_numerators A_denominator=3 B_denominator=5 "
                     "C_denominator=15 numerator_bound=2 FP32_numerators=1 rational_values_never_rounded=1"},
    };
    for (const auto& [data, domain] : domains) {
        const Result r = run(placement() + "DATA=" + data, "512 128 1 pilot dense,strassen_pan1,center_pan2");
        ASSERT_EQ(r.status, 0) << data << ": " << r.err;
        EXPECT_NE(std::find(r.lines.begin(), r.lines.end(), domain), r.lines.end()) << data;
        for (const auto& v : r.with("VALIDATION")) {
            EXPECT_EQ(v.at("pass"), "1") << data << " " << v.at("label");
            EXPECT_EQ(v.at("full_rel"), "0") << data << " " << v.at("label");
            EXPECT_EQ(v.at("maxabs"), "0") << data << " " << v.at("label");
            EXPECT_EQ(v.at("fp64_rows"), "0") << data << " " << v.at("label");
        }
        for (const auto& e : r.with("ERROR_DETAIL")) EXPECT_EQ(e.at("exact_input"), "1");
    }
    const Result r = run(placement() + "DATA=cancel", "64 64 1 pilot dense");
    EXPECT_FALSE(r.has("EXACT_DOMAIN"));
    EXPECT_EQ(r.with("ERROR_DETAIL").at(0).at("exact_input"), "0");
}

TEST(BenchCli, DamagedProductsAreRejected) {
    // 2e-4 relative error in every run: counted, the campaign goes on, no RUN_PASS.
    Result r = run(placement() + "KORVANE_BENCH_DAMAGE=relative", "256 64 1 pilot dense,strassen_aocl1",
                   "bench_damage_driver");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto v = r.with("VALIDATION");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].at("pass"), "1");  // the reference itself
    EXPECT_EQ(v[1].at("pass"), "0");
    EXPECT_EQ(v[2].at("pass"), "0");
    EXPECT_EQ(r.with("RUN_COMPLETE").at(0).at("numerical_rejections"), "2");
    EXPECT_FALSE(r.has("RUN_PASS"));

    // A NaN in C: the records of the run, then the failure.
    r = run(placement() + "KORVANE_BENCH_DAMAGE=nan", "256 64 1 pilot dense", "bench_damage_driver");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "FAILED nonfinite output or reference\n");
    EXPECT_EQ(r.with("VALIDATION").back().at("nonfinite"), "1");

    // Exact data: one entry off by one fails, self-scan or not.
    for (const char* full : {"1", "0"}) {
        r = run(placement() + "DATA=integer FULL_REFERENCE=" + full + " KORVANE_BENCH_DAMAGE=entry",
                "256 64 1 pilot dense", "bench_damage_driver");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.with("VALIDATION").back().at("pass"), "0") << full;
        EXPECT_FALSE(r.has("RUN_PASS")) << full;
    }

    // C is filled with NaN before every pilot and warm-up run: a method that
    // leaves C unwritten (from the second run on) shows as non-finite rather
    // than passing with the previous run's product.
    const std::string all = std::to_string(256 * 256);
    for (const char* args : {"256 64 1 pilot dense,strassen_aocl1", "256 64 2 compare dense,strassen_aocl1"}) {
        SCOPED_TRACE(args);
        r = run(placement() + "KORVANE_BENCH_DAMAGE=unwritten", args, "bench_damage_driver");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "FAILED nonfinite output or reference\n");
        const auto v = r.with("VALIDATION");
        ASSERT_EQ(v.size(), 3u);
        EXPECT_EQ(v[1].at("pass"), "1");  // the first run writes C
        EXPECT_EQ(v[2].at("label"), "strassen_aocl1");
        EXPECT_EQ(v[2].at("nonfinite"), all);
        EXPECT_FALSE(r.has("MEASURE"));
    }

    // A written padding cell ends the run.
    r = run(placement() + "LD_PADDING=2 KORVANE_BENCH_DAMAGE=padding", "256 64 1 pilot dense,strassen_aocl1",
            "bench_damage_driver");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "FAILED matrix padding overwritten\n");
    EXPECT_EQ(r.with("PILOT").size(), 1u);
    EXPECT_FALSE(r.has("RUN_COMPLETE"));
}
