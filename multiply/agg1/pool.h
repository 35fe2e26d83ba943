// The agg1 engine's own pool of pinned workers: one parallel-for at a time.
//
// One process-wide pool of W threads, worker i pinned to CPU
// team_cpu(cpu_base, i) (cpu_base + i when the process may use every CPU) for
// its whole life. A run hands the workers a job function of one index, an
// index count and an optional finish function that every worker calls once
// after the indices are exhausted; the caller takes no index and returns when
// all W workers are done, so a run is a full barrier in both directions.
//
// A job or finish function that throws: the first exception is kept, the
// remaining indices and finish calls are skipped, and the exception is
// rethrown to the caller of run once every worker is done. The pool stays
// usable.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

// Worker index 0..W-1 inside an agg1 pool worker; -1 in every other thread.
extern thread_local int agg1_worker_id;

namespace agg1 {

using JobFn = void (*)(int);
using FinishFn = void (*)();

// Places and starts the pool. Started with the same values: nothing changes;
// with other values: std::logic_error "agg1: pool placement already fixed".
// workers outside 1..1024, a negative cpu_base, or fewer usable CPUs from
// cpu_base on than workers: std::invalid_argument "agg1: invalid pool". A
// thread that fails to start: the started ones are stopped and joined, the
// pool stays unstarted and the exception passes on.
void init_pool(int workers, int cpu_base);

// Stops the pool when started, then releases the engine's workspace. After it
// init_pool may place the pool anew.
void shutdown();

namespace detail {

struct Pool {
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable work_cv;
    std::condition_variable done_cv;
    // 64-bit so that the W claims past a count near INT_MAX never wrap.
    std::atomic<std::int64_t> next_index{0};
    int count = 0;
    std::uint32_t generation = 0;
    int done_count = 0;
    bool stop = false;
    JobFn job = nullptr;
    FinishFn finish = nullptr;
    int cpu_base = 0;
    int workers = 0;

    // Set by the first job or finish function of the current run that throws.
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    // One parallel-for: job(0..count-1) on the workers, then finish() once on
    // every worker. count < 1 without finish returns at once. Not started:
    // std::logic_error "agg1: init_pool first".
    void run(int count, JobFn job, FinishFn finish);

    // Body of worker `id`, on a thread already pinned to its CPU.
    void worker_loop(int id);

    // Sets stop and wakes the workers.
    void request_stop();

    // request_stop, then joins every thread.
    void stop_workers();

    // Stops the workers if a process ends with the pool running.
    ~Pool();
};

extern Pool pool;
extern bool started;

}  // namespace detail
}  // namespace agg1
