// AMD AOCL-BLAS backend: loader, per-thread thread count and guarded SGEMM.
//
// The library is never linked. `initialize` opens it once with dlmopen into a
// link-map namespace of its own (so its OpenMP runtime and thread settings stay
// apart from OpenBLAS and our pools), binds its entry points by name, checks
// the build, and audits once that its OpenMP team lands one thread per
// requested CPU on distinct physical cores. Every later call goes through the
// pointers bound here.
//
// `sgemm` wraps the library's cblas_sgemm with CPU-placement guards: a
// one-thread call must come from a thread pinned to exactly one configured CPU
// and must leave that placement untouched; a multithreaded call runs with the
// caller pinned to the first configured CPU.
//
// The configured CPUs are those of a pinned team of `count` workers starting
// at `cpu_base` (common/cpus.h): cpu_base + i when the process may use every
// CPU, the i-th usable CPU from cpu_base on under a narrower mask.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace aocl_backend {

// Entry points of the library. Its native integer is 64 bits; the CBLAS layer
// takes 32-bit ints (initialize checks both sizes).
using CblasSgemmFn = void (*)(int order, int trans_a, int trans_b, int m, int n, int k, float alpha,
                              const float* a, int lda, const float* b, int ldb, float beta, float* c,
                              int ldc);
using SetThreadsFn = void (*)(std::int64_t n);
using SetWaysFn = void (*)(std::int64_t jc, std::int64_t pc, std::int64_t ic, std::int64_t jr,
                           std::int64_t ir);
using IntGetterFn = std::int64_t (*)();
using VersionFn = const char* (*)();
using GompParallelFn = void (*)(void (*body)(void*), void* data, unsigned num_threads, unsigned flags);
using OmpIntFn = int (*)();

// Process-wide backend state. Written only by `initialize`, which runs before
// any pool exists; read without locks afterwards (`ready` publishes it).
struct BackendState {
    void* handle = nullptr;  // never closed, never cleared once set
    int count = 0;           // number of configured CPUs
    int first_cpu = -1;      // configured CPU of worker 0
    cpu_set_t configured{};  // the configured CPUs as a set
    bool audit_every_call = false;
    bool ready = false;

    CblasSgemmFn cblas_sgemm = nullptr;
    SetThreadsFn set_num_threads_local = nullptr;
    SetThreadsFn set_num_threads = nullptr;
    SetWaysFn set_ways = nullptr;
    IntGetterFn get_num_threads = nullptr;
    IntGetterFn get_loop_ways[5] = {};  // jc, pc, ic, jr, ir
    GompParallelFn gomp_parallel = nullptr;
    OmpIntFn omp_get_num_threads = nullptr;
    OmpIntFn omp_get_thread_num = nullptr;
};
extern BackendState state;

// Per-thread view of what this system told the library (zero for a new thread).
struct ThreadState {
    int threads = 0;             // BLIS thread count last set for this thread; 0 = never
    bool reset_pending = false;  // the native route changed global loop ways
    bool verified = false;       // one-thread calls passed the placement audit once
};
extern thread_local ThreadState thread_state;

// Counters of what the guards checked; atomic adds, never reset.
extern std::atomic<std::uint64_t> external_audited_calls;
extern std::atomic<std::uint64_t> native_guarded_calls;
extern std::atomic<std::uint64_t> affinity_failures;

// One entry of the scoped environment list of `initialize`.
struct SavedVariable {
    std::string name;
    std::string previous;  // empty when the variable was absent
    bool existed = false;
};

// Throws std::runtime_error("AOCL backend: " + message).
[[noreturn]] void fail(const std::string& message);

// Records the current value of `name`, then sets it (overwrite) or unsets it
// when value is null. Fails "environment update failed".
void update_environment(std::vector<SavedVariable>& list, const char* name, const char* value);

// Puts every recorded variable back, last entry first, and empties the list.
// Aborts when the environment cannot be restored.
void restore_environment(std::vector<SavedVariable>& list);

// dlsym of `name` in the loaded library (and its dependencies), checked with
// dladdr, and reported as one AOCL_SYMBOL line.
template <typename Fn>
Fn load_symbol(const char* name);

// One decimal integer from the CPU's sysfs topology file `name`.
int read_topology(int cpu, const char* name);

// Body run by every member of the library's OpenMP team during the audit.
void probe_team(void* data);

// Loads and checks the library for the team of `count` CPUs from `cpu_base`
// (common/cpus.h). Once per process, on the main thread, before any pool starts.
void initialize(int count, int cpu_base);

// Makes n the library's thread count for the calling thread.
void set_threads(int n);

// Makes the calling thread a one-thread caller when it is not one already
// (refuses when the backend is not ready).
void ensure_one_thread();

// Guarded cblas_sgemm of the library.
void sgemm(int order, int trans_a, int trans_b, int m, int n, int k, float alpha, const float* a,
           int lda, const float* b, int ldb, float beta, float* c, int ldc);

// C := A·B, row-major, with one library thread on the calling thread.
void sgemm_one_thread(int m, int n, int k, const float* a, int lda, const float* b, int ldb,
                      float* c, int ldc);

// Puts the calling thread's CPU mask back; aborts with a line on standard
// error when that is impossible. Never throws.
void restore_affinity(const cpu_set_t& saved) noexcept;

// The process-wide one-thread SGEMM entry of the accurate Pan variant's leaves.
using LeafSgemmFn = void (*)(int m, int n, int k, const float* a, int lda, const float* b, int ldb,
                             float* c, int ldc);
extern const LeafSgemmFn leaf_sgemm;

#ifdef KORVANE_AOCL_TESTING
// Test builds only: the production library has no such switches.
namespace testing {
// Library file opened by initialize (empty: the configured path).
void set_library_path(const std::string& path);
// Key shim loaded into the namespace first (empty: the configured path).
void set_key_shim_path(const std::string& path);
// false: the library goes into a new namespace of its own, without the shim.
void use_key_shim(bool use);
// Directory prefix of the per-CPU topology files, up to and including "cpu".
void set_topology_root(const std::string& prefix);
// Called by sgemm just before every library call.
using SgemmObserver = void (*)(int m, int n, int k, float alpha, float beta, int threads);
extern SgemmObserver sgemm_observer;
}  // namespace testing
#endif

}  // namespace aocl_backend
