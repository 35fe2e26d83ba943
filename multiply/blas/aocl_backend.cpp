#include "multiply/blas/aocl_backend.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <utility>

#include "common/cpus.h"
#include "korvane_aocl_config.h"

namespace aocl_backend {

BackendState state;
thread_local ThreadState thread_state;

std::atomic<std::uint64_t> external_audited_calls{0};
std::atomic<std::uint64_t> native_guarded_calls{0};
std::atomic<std::uint64_t> affinity_failures{0};

const LeafSgemmFn leaf_sgemm = &sgemm_one_thread;

namespace {

#ifdef KORVANE_AOCL_TESTING
std::string topology_prefix = "/sys/devices/system/cpu/cpu";
std::string library_override;
std::string key_shim_override;
bool key_shim_wanted = true;

std::string library_path() {
    if (!library_override.empty()) return library_override;
    return KORVANE_AOCL_LIBRARY_PATH;
}

// Empty: no shim.
std::string key_shim_path() {
    if (!key_shim_wanted) return "";
    if (!key_shim_override.empty()) return key_shim_override;
    return KORVANE_AOCL_KEY_SHIM_PATH;
}
#else
const std::string topology_prefix = "/sys/devices/system/cpu/cpu";

std::string library_path() { return KORVANE_AOCL_LIBRARY_PATH; }
std::string key_shim_path() { return KORVANE_AOCL_KEY_SHIM_PATH; }
#endif

constexpr int kMaxCpus = CPU_SETSIZE;  // 1024: the fixed 128-byte set

cpu_set_t current_mask_or_fail() {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof(mask), &mask) != 0) fail("sched_getaffinity failed");
    return mask;
}

cpu_set_t single_cpu(int cpu) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (cpu >= 0 && cpu < kMaxCpus) CPU_SET(cpu, &mask);
    return mask;
}

// Puts a saved mask back when it goes out of scope, normally or by exception.
class AffinityGuard {
public:
    explicit AffinityGuard(const cpu_set_t& saved) : saved_(saved) {}
    AffinityGuard(const AffinityGuard&) = delete;
    AffinityGuard& operator=(const AffinityGuard&) = delete;
    ~AffinityGuard() { restore_affinity(saved_); }

private:
    cpu_set_t saved_;
};

// The scoped environment of initialize: restored on every exit.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() { restore_environment(list); }
    std::vector<SavedVariable> list;
};

bool is_configured(int cpu) { return cpu >= 0 && cpu < kMaxCpus && CPU_ISSET(cpu, &state.configured); }

// The CPU of worker 0, where multithreaded calls and the audit start.
int first_configured_cpu() { return state.first_cpu; }

// Opens the library in a new link-map namespace and returns the namespace id.
// The key shim goes in first: it then heads the namespace's global scope, so
// libgomp and everything else loaded there bind its thread-key functions and
// share the program's key table (see key_shim.c).
Lmid_t open_in_new_namespace(const std::string& path) {
    auto loader_error = [] {
        const char* error = dlerror();
        fail(error != nullptr ? error : "dlmopen failed");
    };
    Lmid_t where = LM_ID_NEWLM;
    const std::string shim = key_shim_path();
    if (!shim.empty()) {
        void* shim_handle = dlmopen(LM_ID_NEWLM, shim.c_str(), RTLD_NOW);
        if (shim_handle == nullptr) loader_error();
        if (dlinfo(shim_handle, RTLD_DI_LMID, &where) != 0 || where == LM_ID_BASE)
            fail("AOCL did not load in a separate namespace");
    }
    state.handle = dlmopen(where, path.c_str(), RTLD_NOW);
    if (state.handle == nullptr) loader_error();
    Lmid_t namespace_id = 0;
    if (dlinfo(state.handle, RTLD_DI_LMID, &namespace_id) != 0 || namespace_id == LM_ID_BASE)
        fail("AOCL did not load in a separate namespace");
    return namespace_id;
}

// Audit probe shared with the library's OpenMP team.
struct ProbeSlot {
    std::atomic<unsigned> visits{0};
    int team = 0;
    int cpu = -1;
    int status = 0;
    cpu_set_t mask;
    ProbeSlot() { CPU_ZERO(&mask); }
};

struct Probe {
    int count = 0;
    ProbeSlot* slots = nullptr;
    std::atomic<unsigned> anomalies{0};
};

// Tells the library n threads for the calling thread and records it once the
// library reads the count back. The global count goes back to 1 first when
// the native route changed loop ways.
void apply_thread_count(int n) {
    ThreadState& ts = thread_state;
    const cpu_set_t saved = current_mask_or_fail();
    AffinityGuard guard(saved);
    if (ts.reset_pending) state.set_num_threads(1);
    state.set_num_threads_local(n);
    if (state.get_num_threads() != n) fail("AOCL local thread setting was not accepted");
    ts.threads = n;
    ts.reset_pending = false;
}

#ifdef KORVANE_AOCL_TESTING
inline void observe(int m, int n, int k, float alpha, float beta, int threads) {
    if (testing::sgemm_observer) testing::sgemm_observer(m, n, k, alpha, beta, threads);
}
#else
inline void observe(int, int, int, float, float, int) {}
#endif

// Starts the library's own OpenMP team once and checks that every member
// runs alone on a distinct configured CPU of a distinct physical core.
void audit_native_team() {
    if (state.handle == nullptr || state.gomp_parallel == nullptr) fail("initialize before auditing");
    const cpu_set_t saved = current_mask_or_fail();
    AffinityGuard guard(saved);
    const cpu_set_t pin = single_cpu(first_configured_cpu());
    if (sched_setaffinity(0, sizeof(pin), &pin) != 0) fail("sched_setaffinity failed");

    const int count = state.count;
    std::unique_ptr<ProbeSlot[]> slots(new ProbeSlot[count]);
    Probe probe;
    probe.count = count;
    probe.slots = slots.get();
    state.gomp_parallel(&probe_team, &probe, static_cast<unsigned>(count), 0);

    bool pass = probe.anomalies.load() == 0;
    std::set<int> cpus;
    std::set<std::pair<int, int>> cores;
    for (int id = 0; id < count; ++id) {
        const ProbeSlot& s = slots[id];
        const int affinity_count = CPU_COUNT(&s.mask);
        cpu_set_t common;
        CPU_AND(&common, &s.mask, &state.configured);
        const bool holds_configured = CPU_COUNT(&common) > 0;
        const bool valid = s.visits.load() == 1 && s.team == count && s.status == 0 &&
                           affinity_count == 1 && holds_configured && is_configured(s.cpu) &&
                           CPU_ISSET(s.cpu, &s.mask);
        if (valid) {
            cpus.insert(s.cpu);
            cores.insert({read_topology(s.cpu, "physical_package_id"), read_topology(s.cpu, "core_id")});
        } else {
            pass = false;
        }
        std::printf("AOCL_NATIVE_WORKER id=%d team=%d cpu=%d affinity_count=%d valid=%d\n", id, s.team,
                    s.cpu, affinity_count, valid ? 1 : 0);
    }
    if (cpus.size() != static_cast<std::size_t>(count) || cores.size() != static_cast<std::size_t>(count))
        pass = false;
    std::printf("AOCL_NATIVE_AUDIT workers=%d distinct_cpus=%zu distinct_physical_cores=%zu pass=%d\n", count,
                cpus.size(), cores.size(), pass ? 1 : 0);
    if (!pass) {
        std::fflush(stdout);
        fail("native OpenMP team/affinity audit failed; use a separately linked comparator");
    }
}

}  // namespace

void fail(const std::string& message) { throw std::runtime_error("AOCL backend: " + message); }

void update_environment(std::vector<SavedVariable>& list, const char* name, const char* value) {
    SavedVariable saved;
    saved.name = name;
    if (const char* old = std::getenv(name)) {
        saved.previous = old;
        saved.existed = true;
    }
    list.push_back(std::move(saved));
    const int rc = value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    if (rc != 0) fail("environment update failed");
}

void restore_environment(std::vector<SavedVariable>& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        const int rc = it->existed ? setenv(it->name.c_str(), it->previous.c_str(), 1) : unsetenv(it->name.c_str());
        if (rc != 0) std::abort();
    }
    list.clear();
    list.shrink_to_fit();
}

template <typename Fn>
Fn load_symbol(const char* name) {
    dlerror();
    void* address = dlsym(state.handle, name);
    const char* error = dlerror();
    if (error != nullptr || address == nullptr) {
        std::string message = std::string("missing symbol ") + name;
        if (error != nullptr) message += std::string(": ") + error;
        fail(message);
    }
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) fail("dladdr failed");
    std::printf("AOCL_SYMBOL name=%s file=%s address=%p\n", name, info.dli_fname, address);
    return reinterpret_cast<Fn>(address);
}

int read_topology(int cpu, const char* name) {
    std::ifstream in(topology_prefix + std::to_string(cpu) + "/topology/" + name);
    int value = 0;
    in >> value;
    if (in.fail()) fail("cannot read physical CPU topology");
    return value;
}

void probe_team(void* data) {
    Probe* probe = static_cast<Probe*>(data);
    const int n = state.omp_get_thread_num();
    if (n >= 0 && n < probe->count) {
        ProbeSlot& slot = probe->slots[n];
        if (slot.visits.fetch_add(1) == 0) {
            slot.team = state.omp_get_num_threads();
            slot.status = sched_getaffinity(0, sizeof(slot.mask), &slot.mask);
            unsigned cpu = 0;
            if (syscall(SYS_getcpu, &cpu, nullptr, nullptr) != 0) {
                slot.status = 1;
                slot.cpu = 0;
            } else {
                slot.cpu = static_cast<int>(cpu);
            }
            return;
        }
    }
    probe->anomalies.fetch_add(1);
}

void initialize(int count, int cpu_base) {
    // Once per process, sane range.
    if (state.handle != nullptr) fail("initialize must be called exactly once, before external workers");
    if (!(count > 0 && cpu_base >= 0 && count <= kMaxCpus - cpu_base)) fail("invalid CPU range");
    state.count = count;
    state.first_cpu = -1;
    CPU_ZERO(&state.configured);

    // Only the exact text "1" turns the every-call audit on.
    const char* audit = std::getenv("AOCL_AUDIT_EVERY_CALL");
    state.audit_every_call = audit != nullptr && std::strcmp(audit, "1") == 0;

    // From here on every exit puts the caller's initial mask back.
    const cpu_set_t initial = current_mask_or_fail();
    AffinityGuard initial_guard(initial);

    // Requested CPUs must be ours and on distinct physical cores. Worker i
    // goes where every pinned team of the program puts its worker i.
    std::set<std::pair<int, int>> cores;
    std::string places;
    for (int i = 0; i < count; ++i) {
        const int c = team_cpu(cpu_base, i);
        if (c < 0 || c >= kMaxCpus || !CPU_ISSET(c, &initial))
            fail("requested CPU is outside caller's initial affinity");
        if (i == 0) state.first_cpu = c;
        CPU_SET(c, &state.configured);
        const int core = read_topology(c, "core_id");
        const int package = read_topology(c, "physical_package_id");
        cores.insert({package, core});
        if (!places.empty()) places += ",";
        places += "{" + std::to_string(c) + "}";
    }
    if (cores.size() < static_cast<std::size_t>(count)) fail("requested CPUs contain SMT siblings");

    // The library reads its OpenMP and BLIS settings while it loads.
    ScopedEnvironment env;
    const std::string count_text = std::to_string(count);
    update_environment(env.list, "BLIS_NUM_THREADS", "1");
    for (const char* name : {"BLIS_JC_NT", "BLIS_PC_NT", "BLIS_IC_NT", "BLIS_JR_NT", "BLIS_IR_NT",
                             "GOMP_CPU_AFFINITY", "OMP_THREAD_LIMIT"})
        update_environment(env.list, name, nullptr);
    update_environment(env.list, "OMP_NUM_THREADS", count_text.c_str());
    update_environment(env.list, "OMP_PLACES", places.c_str());
    update_environment(env.list, "OMP_PROC_BIND", "close");
    update_environment(env.list, "OMP_WAIT_POLICY", "PASSIVE");
    update_environment(env.list, "GOMP_SPINCOUNT", "0");
    update_environment(env.list, "OMP_DYNAMIC", "FALSE");

    // A namespace of its own.
    const std::string path = library_path();
    const Lmid_t namespace_id = open_in_new_namespace(path);

    // Bind by name, then check the build.
    state.cblas_sgemm = load_symbol<CblasSgemmFn>("cblas_sgemm");
    state.set_num_threads_local = load_symbol<SetThreadsFn>("bli_thread_set_num_threads_local");
    state.set_num_threads = load_symbol<SetThreadsFn>("bli_thread_set_num_threads");
    state.set_ways = load_symbol<SetWaysFn>("bli_thread_set_ways");
    state.get_num_threads = load_symbol<IntGetterFn>("bli_thread_get_num_threads");
    state.get_loop_ways[0] = load_symbol<IntGetterFn>("bli_thread_get_jc_nt");
    state.get_loop_ways[1] = load_symbol<IntGetterFn>("bli_thread_get_pc_nt");
    state.get_loop_ways[2] = load_symbol<IntGetterFn>("bli_thread_get_ic_nt");
    state.get_loop_ways[3] = load_symbol<IntGetterFn>("bli_thread_get_jr_nt");
    state.get_loop_ways[4] = load_symbol<IntGetterFn>("bli_thread_get_ir_nt");
    const VersionFn version_str = load_symbol<VersionFn>("bli_info_get_version_str");
    const IntGetterFn int_type_size = load_symbol<IntGetterFn>("bli_info_get_int_type_size");
    const IntGetterFn blas_int_type_size = load_symbol<IntGetterFn>("bli_info_get_blas_int_type_size");
    state.gomp_parallel = load_symbol<GompParallelFn>("GOMP_parallel");
    state.omp_get_num_threads = load_symbol<OmpIntFn>("omp_get_num_threads");
    state.omp_get_thread_num = load_symbol<OmpIntFn>("omp_get_thread_num");

    const char* version_ptr = version_str();
    if (version_ptr == nullptr) fail("unexpected library version: null");
    const std::string version = version_ptr;
    if (version != "5.3.2" && version.find("AOCL-BLAS 5.3.2") == std::string::npos)
        fail("unexpected library version: " + version);
    if (int_type_size() != 64 || blas_int_type_size() != 32) fail("installed native/CBLAS integer ABI mismatch");

    // The calling thread starts as a one-thread caller.
    state.set_num_threads(1);
    state.set_num_threads_local(1);
    thread_state.threads = 1;
    if (state.get_num_threads() != 1) fail("AOCL initialization did not select one thread");

    // Configuration records.
    std::printf("AOCL_BACKEND version=%s namespace=%ld library=%s recorded_sha256=%s hash_checked_at_init=0\n",
                version.c_str(), static_cast<long>(namespace_id), path.c_str(), KORVANE_AOCL_LIBRARY_SHA256);
    std::printf("AOCL_RUNTIME BLIS_NUM_THREADS=1 OMP_NUM_THREADS=%d OMP_PLACES=%s OMP_PROC_BIND=close "
                "OMP_WAIT_POLICY=PASSIVE GOMP_SPINCOUNT=0 external_affinity_audit=%s\n",
                count, places.c_str(), state.audit_every_call ? "every_call" : "first_call_per_thread");

    // Loading the library may have bound the calling thread.
    if (sched_setaffinity(0, sizeof(initial), &initial) != 0) fail("sched_setaffinity failed");

    // One look at the library's own OpenMP team.
    audit_native_team();

    // Publish; the guards put the environment and the mask back.
    state.ready = true;
    std::fflush(stdout);
}

void set_threads(int n) {
    if (!state.ready || n < 1 || n > state.count) fail("invalid thread setting or uninitialized backend");
    const ThreadState& ts = thread_state;
    if (ts.threads == n && !ts.reset_pending) return;
    apply_thread_count(n);
}

void ensure_one_thread() {
    if (!state.ready || state.count < 1) fail("invalid thread setting or uninitialized backend");
    const ThreadState& ts = thread_state;
    if (ts.threads != 1 || ts.reset_pending) apply_thread_count(1);
}

void sgemm(int order, int trans_a, int trans_b, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc) {
    ThreadState& ts = thread_state;
    if (!state.ready || ts.threads == 0) fail("set_threads in every calling worker before SGEMM");

    if (ts.threads == 1) {
        if (ts.verified && !state.audit_every_call) {
            observe(m, n, k, alpha, beta, 1);
            state.cblas_sgemm(order, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
            return;
        }
        const cpu_set_t saved = current_mask_or_fail();
        bool pinned = false;
        if (CPU_COUNT(&saved) == 1) {
            cpu_set_t common;
            CPU_AND(&common, &saved, &state.configured);
            pinned = CPU_COUNT(&common) == 1;
        }
        if (!pinned) fail("external AOCL caller is not pinned to one configured CPU");
        AffinityGuard guard(saved);
        observe(m, n, k, alpha, beta, 1);
        state.cblas_sgemm(order, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
        const cpu_set_t after = current_mask_or_fail();
        if (CPU_EQUAL(&after, &saved)) {
            ts.verified = true;
            external_audited_calls.fetch_add(1);
            return;
        }
        affinity_failures.fetch_add(1);
        fail("AOCL one-thread GEMM changed external-worker affinity");
    }

    // Native multithreaded call: the caller sits on the first configured CPU
    // so that the library's team starts from its place list in order.
    const cpu_set_t saved = current_mask_or_fail();
    AffinityGuard guard(saved);
    const cpu_set_t pin = single_cpu(first_configured_cpu());
    if (sched_setaffinity(0, sizeof(pin), &pin) != 0) fail("sched_setaffinity failed");
    observe(m, n, k, alpha, beta, ts.threads);
    state.cblas_sgemm(order, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    native_guarded_calls.fetch_add(1);
}

void sgemm_one_thread(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c, int ldc) {
    ensure_one_thread();
    sgemm(101, 111, 111, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c, ldc);
}

void restore_affinity(const cpu_set_t& saved) noexcept {
    if (sched_setaffinity(0, sizeof(saved), &saved) != 0) {
        static const char line[] = "AOCL: unable to restore caller affinity\n";
        std::fputs(line, stderr);
        std::fflush(stderr);
        std::abort();
    }
}

#ifdef KORVANE_AOCL_TESTING
namespace testing {
SgemmObserver sgemm_observer = nullptr;
void set_library_path(const std::string& path) { library_override = path; }
void set_topology_root(const std::string& prefix) { topology_prefix = prefix; }
void set_key_shim_path(const std::string& path) { key_shim_override = path; }
void use_key_shim(bool use) { key_shim_wanted = use; }
}  // namespace testing
#endif

}  // namespace aocl_backend
