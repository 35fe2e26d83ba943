// The float32 program's pinned worker pool: a parallel-for over job(0..count-1).
//
// One process-wide pool of W threads, worker i pinned to CPU
// team_cpu(cpu_base, i) (cpu_base + i when the process may use every CPU) for
// its whole life. Jobs are plain functions of one index; their inputs travel in
// module-level state written by the caller before the dispatch. The calling
// thread never runs a job and waits until every worker has finished, so a
// dispatch is a full barrier in both directions.
//
// Jobs are expected not to throw. If one does, the first exception is kept,
// the remaining indices are skipped, and the exception is rethrown on the
// dispatching thread once every worker has finished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace pan_adapter {

using JobFn = void (*)(int);

// Worker index 0..W-1 inside a pool worker; -1 in every other thread.
extern thread_local int pan_worker_id;

// Starts W pinned workers from CPU cpu_base on. Same placement again: nothing
// changes. Another placement while started: std::logic_error. Bad range, or
// fewer usable CPUs from cpu_base on than workers: std::invalid_argument.
// Sets OpenBLAS to one thread. A thread that fails to start: the started ones
// are stopped and joined, the pool stays unstarted, the exception passes on.
void init_pool(int workers, int cpu_base);

// Runs job(0) .. job(count - 1) on the pool under the adapter mutex and
// returns when all have returned. count == 0 does nothing.
void run_jobs(int count, JobFn job);

// Stops and joins the workers, resets the pool and releases the Pan
// workspaces. Safe when the pool was never started. Defined beside the Pan
// engine (link korvane_pan); the pool itself needs only stop_pool.
void shutdown();

// Releases the Pan engine's workspaces (defined by the Pan engine).
void release_workspaces();

namespace implementation {

struct Pool {
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable work_posted;
    std::condition_variable all_done;
    // Claims are 64-bit so that W extra claims past a count near INT_MAX never wrap.
    std::atomic<std::int64_t> next{0};
    int count = 0;
    std::uint32_t generation = 0;
    int done = 0;
    bool stop = false;
    JobFn job = nullptr;
    int cpu_base = 0;

    // First exception thrown by a job of the current dispatch.
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    // Posts one dispatch and waits for all workers. The caller holds the
    // adapter mutex and has validated its arguments; count <= 0 does nothing.
    // Rethrows the first exception a job threw.
    void dispatch(int count, JobFn job);

    // Empties the thread vector and zeroes the dispatch fields (no lock).
    void reset();

    // Sets stop and wakes the workers.
    void request_stop();

    // request_stop, then joins every started thread.
    void stop_workers();

    // Starts worker `id` (body of each pool thread).
    void start(int id);

    // A process that ends without shutdown() still stops and joins its
    // workers, rather than destroying the condition variables they wait on.
    ~Pool();
};

extern Pool pool;
// Serialises every pan_adapter operation (pool, Pan preparation, Pan runs).
extern std::mutex adapter_mutex;
// Worker count of the pool (64 until init_pool sets it); per-worker buffers are sized by it.
extern int worker_count;
extern bool initialized;

// Stops and joins the workers (when started), resets the pool and clears the
// initialised flag. The caller holds the adapter mutex.
void stop_pool();

}  // namespace implementation

// Current worker count W of the pool.
inline int workers() { return implementation::worker_count; }

}  // namespace pan_adapter
