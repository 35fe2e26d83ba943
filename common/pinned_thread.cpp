#include "common/pinned_thread.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "common/cpus.h"

bool team_fits(int cpu_base, int workers) {
    return workers >= 1 && cpu_base >= 0 && team_cpu(cpu_base, workers - 1) != -1;
}

int try_pin_current_thread(int cpu) {
    if (cpu < 0 || cpu >= CPU_SETSIZE) return EINVAL;  // no CPU bit: nothing to pin to
    cpu_set_t set;  // the fixed 1024-CPU form
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

void pin_current_thread(int cpu, PinFailureReport report) {
    const int rc = try_pin_current_thread(cpu);
    if (rc != 0) {
        report(cpu, rc);
        std::abort();
    }
}

void start_pinned_team(std::vector<std::thread>& threads, int count, int cpu_base,
                       const std::function<void(int)>& body, const std::function<void()>& stop,
                       PinFailureReport report) {
    start_team(
        threads, count,
        [cpu_base, body, report](int i) {
            pin_current_thread(team_cpu(cpu_base, i), report);
            body(i);
        },
        stop);
}

bool is_thread_start_shortage(const std::system_error& e) {
    return e.code() == std::errc::resource_unavailable_try_again || e.code() == std::errc::not_enough_memory;
}

void start_team(std::vector<std::thread>& threads, int count, const std::function<void(int)>& body,
                const std::function<void()>& stop) {
    const auto end_started = [&] {
        stop();
        for (auto& t : threads)
            if (t.joinable()) t.join();
        std::vector<std::thread>().swap(threads);
    };
    try {
        threads.reserve(threads.size() + static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) threads.emplace_back([i, body] { body(i); });
    } catch (const std::system_error& e) {
        end_started();
        if (is_thread_start_shortage(e)) throw std::bad_alloc();
        throw;
    } catch (...) {
        end_started();
        throw;
    }
}
