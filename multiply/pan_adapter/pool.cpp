#include "multiply/pan_adapter/pool.h"

#include <cblas.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "common/blas_buffers.h"
#include "common/pinned_thread.h"

namespace pan_adapter {

thread_local int pan_worker_id = -1;

namespace implementation {

Pool pool;
std::mutex adapter_mutex;
int worker_count = 64;
bool initialized = false;

namespace {

void report_pin_failure(int cpu, int rc) {
    std::fprintf(stderr, "CPU affinity failed for CPU%d: %s\n", cpu, std::strerror(rc));
}

}  // namespace

// Runs on a worker already pinned to its CPU.
void Pool::start(int id) {
    pan_worker_id = id;
    std::uint32_t seen = 0;
    for (;;) {
        JobFn current;
        std::int64_t n;
        {
            std::unique_lock<std::mutex> lock(mutex);
            work_posted.wait(lock, [&] { return stop || generation != seen; });
            if (stop) return;
            seen = generation;
            current = job;
            n = count;
        }
        for (std::int64_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
            if (failed.load(std::memory_order_relaxed)) break;
            try {
                current(static_cast<int>(i));
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failed.exchange(true)) error = std::current_exception();
                break;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (++done == worker_count) all_done.notify_one();
        }
    }
}

void Pool::dispatch(int n, JobFn fn) {
    if (n <= 0) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        job = fn;
        count = n;
        done = 0;
        next.store(0);
        failed.store(false);
        error = nullptr;
        ++generation;
    }
    work_posted.notify_all();
    std::exception_ptr thrown;
    {
        std::unique_lock<std::mutex> lock(mutex);
        all_done.wait(lock, [&] { return done == worker_count; });
        thrown = error;
        error = nullptr;
    }
    if (thrown) std::rethrow_exception(thrown);
}

Pool::~Pool() { stop_workers(); }

void Pool::request_stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    work_posted.notify_all();
}

void Pool::stop_workers() {
    request_stop();
    for (auto& t : threads)
        if (t.joinable()) t.join();
}

void Pool::reset() {
    std::vector<std::thread>().swap(threads);
    stop = false;
    done = 0;
    count = 0;
    generation = 0;
    next.store(0);
    job = nullptr;
    failed.store(false);
    error = nullptr;
    pan_worker_id = -1;
}

}  // namespace implementation

using namespace implementation;

void init_pool(int workers, int cpu_base) {
    std::lock_guard<std::mutex> guard(adapter_mutex);
    // Every worker needs a CPU the process may use, so that none can fail to pin.
    if (workers < 1 || workers > 1024 || cpu_base < 0 || cpu_base > 1024 - workers ||
        !team_fits(cpu_base, workers))
        throw std::invalid_argument("Pan pool CPU range is invalid");
    if (initialized) {
        if (workers == worker_count && cpu_base == pool.cpu_base) return;
        throw std::logic_error("Call pan_adapter::shutdown before changing pool placement");
    }
    // Every worker and the calling thread may be inside OpenBLAS at once:
    // their buffers exist before any large allocation, so that a shortage
    // ends in an allocation failure of ours rather than inside OpenBLAS.
    // OpenBLAS's thread count is set first: setting it would start the
    // threads that the reservation ends.
    openblas_set_num_threads(1);
    if (!reserve_blas_buffers(workers + 1)) throw std::bad_alloc();
    worker_count = workers;
    pool.cpu_base = cpu_base;
    try {
        start_pinned_team(
            pool.threads, workers, cpu_base, [](int id) { pool.start(id); },
            [] { pool.request_stop(); },
            report_pin_failure);
    } catch (...) {
        pool.reset();
        throw;
    }
    initialized = true;
}

void run_jobs(int count, JobFn job) {
    std::lock_guard<std::mutex> guard(adapter_mutex);
    if (!initialized) throw std::logic_error("Call pan_adapter::init_pool before run_jobs");
    if (count < 0) throw std::invalid_argument("Invalid Pan pool job dispatch");
    pool.dispatch(count, job);
}

namespace implementation {

void stop_pool() {
    if (initialized) pool.stop_workers();
    pool.reset();
    initialized = false;
}

}  // namespace implementation
}  // namespace pan_adapter
