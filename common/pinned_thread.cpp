#include "common/pinned_thread.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>

#include "common/cpus.h"

bool team_fits(int cpu_base, int workers) {
    return workers >= 1 && cpu_base >= 0 && team_cpu(cpu_base, workers - 1) != -1;
}

void pin_current_thread(int cpu, PinFailureReport report) {
    cpu_set_t set;  // the fixed 1024-CPU form
    CPU_ZERO(&set);
    int rc = EINVAL;  // no CPU bit: nothing to pin to
    if (cpu >= 0 && cpu < CPU_SETSIZE) {
        CPU_SET(cpu, &set);
        rc = pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
    }
    if (rc != 0) {
        report(cpu, rc);
        std::abort();
    }
}

void start_pinned_team(std::vector<std::thread>& threads, int count, int cpu_base,
                       const std::function<void(int)>& body, const std::function<void()>& stop,
                       PinFailureReport report) {
    try {
        threads.reserve(threads.size() + static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            const int cpu = team_cpu(cpu_base, i);
            threads.emplace_back([cpu, i, body, report] {
                pin_current_thread(cpu, report);
                body(i);
            });
        }
    } catch (...) {
        stop();
        for (auto& t : threads)
            if (t.joinable()) t.join();
        std::vector<std::thread>().swap(threads);
        throw;
    }
}
