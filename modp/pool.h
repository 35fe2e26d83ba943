// Pinned worker pool of the modular multiplier: a parallel-for over task
// indices whose jobs receive (task, worker). The calling thread only waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace torvik {

class Pool {
public:
    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    // The workers must have been stopped before destruction.
    ~Pool() = default;

    // Creates `workers` threads; worker i is pinned to the CPU list entry
    // (i + base) mod list size. A thread that cannot start for want of
    // memory throws std::bad_alloc (start_team).
    void start(int workers, int base);

    // Runs job(t, w) once for every t in [0, tasks); w is the index of the
    // worker that took t. Returns when every worker has finished the dispatch.
    // Jobs must not throw.
    void run(int tasks, std::function<void(int, int)> job);

    // Ends and joins every worker; calling it again does nothing.
    void stop();

    int worker_count() const { return workers; }

private:
    // Asks every worker to end (sets stop_requested and wakes them) without
    // joining them.
    void request_stop();
    // Body of worker `index`, which first pins itself to `cpu`.
    void worker_body(int index, int cpu);

    int workers = 0;
    int base = 0;
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable work_cv;
    std::condition_variable done_cv;
    std::atomic<int> next_task{0};
    int task_count = 0;
    int generation = 0;
    int finished = 0;
    bool stop_requested = false;
    std::function<void(int, int)> job;
};

// The CPUs that workers are pinned to, built once per process (by the first
// Pool::start, on its calling thread) by cpu_list_from with KORVANE_CPUS, the
// CPUs the process may use and the system's topology files.
const std::vector<int>& worker_cpu_list();

// The CPUs of a given list text (KORVANE_CPUS) that are allowed, in the
// order given, duplicates kept; when the text is null or names no allowed
// CPU, default_cpu_list. allowed_cpus is ascending; empty allows every CPU.
std::vector<int> cpu_list_from(const char* given, const std::vector<int>& allowed_cpus,
                               const std::string& topology_root);

// One allowed CPU per physical core, ascending: CPU i is left out when its
// "<topology_root>/cpu<i>/topology/thread_siblings_list" names an allowed
// CPU below i (a missing or unreadable file keeps i).
std::vector<int> default_cpu_list(const std::vector<int>& allowed_cpus, const std::string& topology_root);

// CPU-list text such as "0-3,8": numbers and ranges separated by any
// non-digit; numbers above 1023 are dropped and ranges are cut at 1023.
std::vector<int> parse_cpu_list(const char* text);

}  // namespace torvik
