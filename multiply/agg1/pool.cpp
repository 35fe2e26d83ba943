#include "multiply/agg1/pool.h"

#include <cstdio>
#include <stdexcept>

#include "common/pinned_thread.h"
#include "multiply/agg1/agg1.h"

thread_local int agg1_worker_id = -1;

namespace agg1 {
namespace detail {

Pool pool;
bool started = false;

void report_pin_failure(int, int) { std::fputs("agg1: CPU affinity failed\n", stderr); }

namespace {

// Keeps the first exception of the run; the others are dropped.
void record_failure(Pool& p) {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!p.failed.exchange(true)) p.error = std::current_exception();
}

}  // namespace

void Pool::worker_loop(int id) {
    agg1_worker_id = id;
    std::uint32_t seen = 0;
    for (;;) {
        JobFn current_job;
        FinishFn current_finish;
        std::int64_t n;
        {
            std::unique_lock<std::mutex> lock(mutex);
            work_cv.wait(lock, [&] { return stop || generation != seen; });
            if (stop) return;
            seen = generation;
            current_job = job;
            current_finish = finish;
            n = count;
        }
        for (std::int64_t i = next_index.fetch_add(1); i < n; i = next_index.fetch_add(1)) {
            if (failed.load(std::memory_order_relaxed)) break;
            try {
                current_job(static_cast<int>(i));
            } catch (...) {
                record_failure(*this);
                break;
            }
        }
        if (current_finish != nullptr && !failed.load(std::memory_order_relaxed)) {
            try {
                current_finish();
            } catch (...) {
                record_failure(*this);
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (++done_count == workers) done_cv.notify_one();
        }
    }
}

void Pool::run(int n, JobFn fn, FinishFn fin) {
    if (n < 1 && fin == nullptr) return;
    if (!started) throw std::logic_error("agg1: init_pool first");
    {
        std::lock_guard<std::mutex> lock(mutex);
        job = fn;
        finish = fin;
        count = n < 0 ? 0 : n;
        next_index.store(0);
        done_count = 0;
        failed.store(false);
        error = nullptr;
        ++generation;
    }
    work_cv.notify_all();
    std::exception_ptr thrown;
    {
        std::unique_lock<std::mutex> lock(mutex);
        done_cv.wait(lock, [&] { return done_count == workers; });
        thrown = error;
        error = nullptr;
    }
    if (thrown) std::rethrow_exception(thrown);
}

void Pool::request_stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    work_cv.notify_all();
}

void Pool::stop_workers() {
    request_stop();
    for (auto& t : threads)
        if (t.joinable()) t.join();
    std::vector<std::thread>().swap(threads);
    stop = false;
    count = 0;
    generation = 0;
    done_count = 0;
    job = nullptr;
    finish = nullptr;
}

Pool::~Pool() {
    if (!threads.empty()) stop_workers();
}

}  // namespace detail

using detail::pool;

void init_pool(int workers, int cpu_base) {
    if (detail::started) {
        if (workers == pool.workers && cpu_base == pool.cpu_base) return;
        throw std::logic_error("agg1: pool placement already fixed");
    }
    // Every worker needs a CPU the process may use, so that none can fail to pin.
    if (workers < 1 || workers > 1024 || cpu_base < 0 || !team_fits(cpu_base, workers))
        throw std::invalid_argument("agg1: invalid pool");
    pool.workers = workers;
    pool.cpu_base = cpu_base;
    try {
        start_pinned_team(
            pool.threads, workers, cpu_base, [](int id) { pool.worker_loop(id); },
            [] { pool.request_stop(); },
            detail::report_pin_failure);
    } catch (...) {
        // The started threads are joined; the pool is as before the call.
        pool.stop = false;
        throw;
    }
    detail::started = true;
}

void shutdown() {
    if (detail::started) {
        pool.stop_workers();
        detail::started = false;
    }
    release_workspace();
}

}  // namespace agg1
