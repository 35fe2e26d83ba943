// Benchmark driver of the float32 program.
//
// `bench_main` ("N leaf reps compare|pilot|memory methods_csv") times chosen
// multiplication methods on generated N x N inputs through the same pipeline
// as korvane_multiply (parse_method_spec -> setup_method -> execute_method),
// validates every run against a full FP32 reference (or a self-scan) and the
// FP64 samples of the accuracy check, and prints one-line records: an
// upper-case tag followed by name=value fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "multiply/method/method_spec.h"

// The benchmark entry; 0 after a complete campaign, 2 on a usage error, a
// rejected argument or any failure.
int bench_main(int argc, char** argv);

namespace bench {

// ---------------------------------------------------------------- inputs

// The data distributions of the generated inputs.
enum class Distribution {
    balanced,
    integer,
    dyadic,
    cancel,
    positive,
    scaled,
    inner_scaled,
    rational,
    colsign,
    rowsign,
    halfsign,
};

// The distribution of a name; std::runtime_error "invalid data distribution".
Distribution distribution_from_name(const std::string& name);

// True when the current problem's distribution name is exactly `name`.
bool data_is(const char* name);

// SplitMix64 output function.
std::uint64_t mix(std::uint64_t x);

// A[r][c] and B[r][c] of an n x n problem: every value depends only on the
// distribution, the seed and the position.
struct InputPair {
    float a;
    float b;
};
InputPair input_values(Distribution d, std::uint64_t seed, std::uint64_t n, std::uint64_t r,
                       std::uint64_t c);

// Every padding cell (columns n..ld-1) of every matrix holds this value.
inline constexpr float kCanary = 123456.0f;

// Parameters of one generation run, written before
// pan_adapter::run_jobs(workers, generate_inputs_job). r may be null.
struct InputJob {
    Distribution distribution = Distribution::balanced;
    std::uint64_t seed = 0;
    std::uint64_t n = 0;
    std::uint64_t ld = 0;
    float* a = nullptr;
    float* b = nullptr;
    float* c = nullptr;
    float* r = nullptr;
    int workers = 1;
};
extern InputJob input_job;

// Pool job: worker w of input_job.workers fills rows [w*n/W, (w+1)*n/W) of
// A and B with the inputs, of C and R with quiet NaN, and every padding
// cell of the four with kCanary.
void generate_inputs_job(int w);

// True when columns [n, ld) of rows [0, n) all hold exactly kCanary.
bool padding_intact(const float* m, std::uint64_t n, std::uint64_t ld);

// ------------------------------------------------------------ settings

// The benchmark's environment, read and checked by read_settings.
struct Settings {
    int workers = 64;
    int cpu_base = 0;
    std::uint64_t ld = 0;  // N + LD_PADDING
    std::string data = "balanced";
    Distribution distribution = Distribution::balanced;
    std::uint64_t seed = 0;
    bool full_reference = true;
    GridSpec dense_grid;
    int native_threads = 64;
    int native_ways[3] = {0, 0, 0};
};

// Reads WORKERS, CPU_BASE, LD_PADDING, DATA, SEED, FULL_REFERENCE,
// DENSE_GRID, DENSE_KBLOCK, LEAF_GRIDS (into leaf_grids), NATIVE_THREADS and
// NATIVE_WAYS in this order, then checks them for side n. Throws on any
// malformed or inconsistent value, before anything starts.
Settings read_settings(std::uint64_t n, bool memory_campaign);

// ------------------------------------------------------------ campaigns

// Sides of the LEAF_CONFIG records for side n: n/2, n/4, ... while at
// least 16, ending with the first side at or below n/16.
std::vector<std::uint64_t> leaf_config_sides(std::uint64_t n);

// Base order of m methods: 0, then alternately the next from the front and
// the next from the back (m = 5: 0, 1, 4, 2, 3).
std::vector<int> base_order(int m);

// One measured run of the compare campaign.
struct Slot {
    int rep;
    int method;
};

// The measured runs of a compare campaign in order: for rep r the base
// order (reversed when r / m is odd), each entry o naming method (o + r) mod m.
std::vector<Slot> balanced_schedule(int m, int reps);

// Median of the values (mean of the two middle ones for an even count).
double median(std::vector<double> values);

// ------------------------------------------------------------ records

// Failed validations so far.
extern int numerical_rejections;

// Run line, METHOD_DETAIL, PARTIAL_CALLS and EQUIL_DETAIL of one run.
void print_run_report(const char* label, const MethodSpec& spec, int rep, double seconds,
                      double setup_seconds);

// Canary check, accuracy analysis, pass rule, VALIDATION and ERROR_DETAIL.
// std::runtime_error "matrix padding overwritten" or (after the records)
// "nonfinite output or reference".
void print_validation_report(const MethodSpec& spec, bool self_scan);

#ifdef KORVANE_BENCH_TESTING
// Test builds only: called just before and just after every execute_method
// of a campaign.
namespace testing {
extern void (*before_execute)();
extern void (*after_execute)();
}
#endif

}  // namespace bench
