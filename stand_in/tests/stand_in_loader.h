// Test helpers: load a libblis-mt.so.5.3.2 into a new link-map namespace
// under the OpenMP settings the program's loader uses, bind its entry points,
// and inspect thread placement.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace stand_in_test {

using SgemmFn = void (*)(int, int, int, int, int, int, float, const float*, int, const float*,
                         int, float, float*, int);
using SetFn = void (*)(int64_t);
using WaysFn = void (*)(int64_t, int64_t, int64_t, int64_t, int64_t);
using GetFn = int64_t (*)();
using VersionFn = char* (*)();
using GompParallelFn = void (*)(void (*)(void*), void*, unsigned, unsigned);
using OmpIntFn = int (*)();

struct StandIn {
    void* handle = nullptr;
    long namespace_id = 0;
    SgemmFn sgemm = nullptr;
    SetFn set_local = nullptr;
    SetFn set_global = nullptr;
    WaysFn set_ways = nullptr;
    GetFn get_threads = nullptr;
    GetFn get_way[5] = {};
    VersionFn version = nullptr;
    GetFn int_size = nullptr;
    GetFn blas_int_size = nullptr;
    GompParallelFn gomp_parallel = nullptr;
    OmpIntFn omp_num_threads = nullptr;
    OmpIntFn omp_thread_num = nullptr;

    // dlsym on the handle; nullptr when absent.
    void* find(const char* name) const
    {
        dlerror();
        void* address = dlsym(handle, name);
        return dlerror() == nullptr ? address : nullptr;
    }
    void* need(const char* name) const
    {
        void* address = find(name);
        if (address == nullptr)
            throw std::runtime_error(std::string("missing symbol ") + name);
        return address;
    }
};

inline std::vector<int> mask_cpus(const cpu_set_t& set)
{
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set))
            cpus.push_back(c);
    return cpus;
}

inline std::vector<int> current_cpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        throw std::runtime_error("sched_getaffinity failed");
    return mask_cpus(set);
}

inline void pin_to(const std::vector<int>& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus)
        CPU_SET(c, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        throw std::runtime_error("sched_setaffinity failed");
}

// The CPUs the process may use, read once before anything was loaded (loading
// libgomp with places set binds the loading thread).
inline const std::vector<int>& allowed_cpus()
{
    static const std::vector<int> cpus = current_cpus();
    return cpus;
}

// Up to eight CPUs for the test workers, one place each.
inline std::vector<int> worker_cpus()
{
    std::vector<int> cpus = allowed_cpus();
    if (cpus.size() > 8)
        cpus.resize(8);
    return cpus;
}

// The environment the program's loader sets while the library loads.
inline void set_loader_environment()
{
    std::vector<int> cpus = worker_cpus();
    std::string places;
    for (int c : cpus)
        places += (places.empty() ? "{" : ",{") + std::to_string(c) + "}";
    setenv("BLIS_NUM_THREADS", "1", 1);
    for (const char* name : {"BLIS_JC_NT", "BLIS_PC_NT", "BLIS_IC_NT", "BLIS_JR_NT",
                             "BLIS_IR_NT", "GOMP_CPU_AFFINITY", "OMP_THREAD_LIMIT"})
        unsetenv(name);
    setenv("OMP_NUM_THREADS", std::to_string(cpus.size()).c_str(), 1);
    setenv("OMP_PLACES", places.c_str(), 1);
    setenv("OMP_PROC_BIND", "close", 1);
    setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
    setenv("GOMP_SPINCOUNT", "0", 1);
    setenv("OMP_DYNAMIC", "FALSE", 1);
}

// Loads path into a new namespace and binds everything; throws on failure.
// The calling thread's affinity is put back afterwards, as the loader does.
inline StandIn load_stand_in(const std::string& path)
{
    const std::vector<int> before = (allowed_cpus(), current_cpus());
    set_loader_environment();
    StandIn s;
    s.handle = dlmopen(LM_ID_NEWLM, path.c_str(), RTLD_NOW);
    if (s.handle == nullptr) {
        const char* error = dlerror();
        throw std::runtime_error(error ? error : "dlmopen failed");
    }
    Lmid_t id = 0;
    if (dlinfo(s.handle, RTLD_DI_LMID, &id) != 0)
        throw std::runtime_error("dlinfo failed");
    s.namespace_id = id;
    pin_to(before);
    s.sgemm = reinterpret_cast<SgemmFn>(s.need("cblas_sgemm"));
    s.set_local = reinterpret_cast<SetFn>(s.need("bli_thread_set_num_threads_local"));
    s.set_global = reinterpret_cast<SetFn>(s.need("bli_thread_set_num_threads"));
    s.set_ways = reinterpret_cast<WaysFn>(s.need("bli_thread_set_ways"));
    s.get_threads = reinterpret_cast<GetFn>(s.need("bli_thread_get_num_threads"));
    const char* ways[5] = {"bli_thread_get_jc_nt", "bli_thread_get_pc_nt",
                           "bli_thread_get_ic_nt", "bli_thread_get_jr_nt",
                           "bli_thread_get_ir_nt"};
    for (int i = 0; i < 5; ++i)
        s.get_way[i] = reinterpret_cast<GetFn>(s.find(ways[i]));
    s.version = reinterpret_cast<VersionFn>(s.need("bli_info_get_version_str"));
    s.int_size = reinterpret_cast<GetFn>(s.need("bli_info_get_int_type_size"));
    s.blas_int_size = reinterpret_cast<GetFn>(s.need("bli_info_get_blas_int_type_size"));
    s.gomp_parallel = reinterpret_cast<GompParallelFn>(s.need("GOMP_parallel"));
    s.omp_num_threads = reinterpret_cast<OmpIntFn>(s.need("omp_get_num_threads"));
    s.omp_thread_num = reinterpret_cast<OmpIntFn>(s.need("omp_get_thread_num"));
    return s;
}

}  // namespace stand_in_test
