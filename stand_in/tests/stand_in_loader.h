// Test helpers: load a libblis-mt.so.5.3.2 into a new link-map namespace
// under the OpenMP settings the program's loader uses, bind its entry points,
// and inspect thread placement.
#pragma once

#include <dlfcn.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace stand_in_test {

using GetFn = int64_t (*)();

struct StandIn {
    void* handle = nullptr;
    void (*sgemm)(int, int, int, int, int, int, float, const float*, int, const float*, int,
                  float, float*, int) = nullptr;
    void (*set_local)(int64_t) = nullptr, (*set_global)(int64_t) = nullptr;
    void (*set_ways)(int64_t, int64_t, int64_t, int64_t, int64_t) = nullptr;
    GetFn get_threads = nullptr;
    GetFn get_way[5] = {};  // jc, pc, ic, jr, ir
    char* (*version)() = nullptr;
    void (*gomp_parallel)(void (*)(void*), void*, unsigned, unsigned) = nullptr;

    // dlsym on the handle searches the whole namespace.
    void* need(const char* name) const
    {
        if (void* address = dlsym(handle, name))
            return address;
        throw std::runtime_error(std::string("missing symbol ") + name);
    }
};

inline std::vector<int> current_cpus()
{
    cpu_set_t set;  // glibc clears what the kernel does not fill
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        throw std::runtime_error("sched_getaffinity failed");
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set))
            cpus.push_back(c);
    return cpus;
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

// Up to eight CPUs for the test workers, one place each. Read once, before
// anything is loaded: loading libgomp with places set binds the loading thread.
inline const std::vector<int>& worker_cpus()
{
    static const std::vector<int> all = current_cpus(),
                                   cpus(all.begin(), all.begin() + std::min<size_t>(all.size(), 8));
    return cpus;
}

// Loads path into a new namespace, with the environment the program's loader
// sets, and binds everything; throws on failure. The calling thread's
// affinity is put back afterwards, as the loader does.
inline StandIn load_stand_in(const std::string& path)
{
    std::string places;
    for (int c : worker_cpus())
        places += (places.empty() ? "{" : ",{") + std::to_string(c) + "}";
    for (const char* name : {"BLIS_JC_NT", "BLIS_PC_NT", "BLIS_IC_NT", "BLIS_JR_NT",
                             "BLIS_IR_NT", "GOMP_CPU_AFFINITY", "OMP_THREAD_LIMIT"})
        unsetenv(name);
    setenv("BLIS_NUM_THREADS", "1", 1);
    setenv("OMP_NUM_THREADS", std::to_string(worker_cpus().size()).c_str(), 1);
    setenv("OMP_PLACES", places.c_str(), 1);
    setenv("OMP_PROC_BIND", "close", 1);
    setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
    setenv("GOMP_SPINCOUNT", "0", 1);
    setenv("OMP_DYNAMIC", "FALSE", 1);
    const std::vector<int> before = current_cpus();

    StandIn s;
    s.handle = dlmopen(LM_ID_NEWLM, path.c_str(), RTLD_NOW);
    if (s.handle == nullptr)
        throw std::runtime_error(dlerror());
    pin_to(before);
    auto bind = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<decltype(+fn)>(s.need(name));
    };
    bind(s.sgemm, "cblas_sgemm");
    bind(s.set_local, "bli_thread_set_num_threads_local");
    bind(s.set_global, "bli_thread_set_num_threads");
    bind(s.set_ways, "bli_thread_set_ways");
    bind(s.get_threads, "bli_thread_get_num_threads");
    bind(s.version, "bli_info_get_version_str");
    bind(s.gomp_parallel, "GOMP_parallel");
    const char* loops = "jcpcicjrir";
    for (int i = 0; i < 5; ++i)
        s.get_way[i] = reinterpret_cast<GetFn>(
            s.need(("bli_thread_get_" + std::string(loops + 2 * i, 2) + "_nt").c_str()));
    return s;
}

}  // namespace stand_in_test
