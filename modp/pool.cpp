#include "modp/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/cpus.h"
#include "common/pinned_thread.h"

namespace torvik {

namespace {

constexpr int kMaxCpu = 1023;

}  // namespace

std::vector<int> default_cpu_list(const std::vector<int>& allowed_cpus, const std::string& topology_root) {
    std::vector<bool> allowed(kMaxCpu + 1, allowed_cpus.empty());
    for (int c : allowed_cpus)
        if (c >= 0 && c <= kMaxCpu) allowed[static_cast<std::size_t>(c)] = true;

    std::vector<int> kept;
    for (int i = 0; i <= kMaxCpu; ++i) {
        if (!allowed[static_cast<std::size_t>(i)]) continue;
        bool has_lower_sibling = false;
        const std::string file = topology_root + "/cpu" + std::to_string(i) + "/topology/thread_siblings_list";
        if (std::FILE* f = std::fopen(file.c_str(), "r")) {
            char line[256];
            if (std::fgets(line, sizeof(line), f)) {
                for (int j : parse_cpu_list(line)) {
                    if (j < i && allowed[static_cast<std::size_t>(j)]) {
                        has_lower_sibling = true;
                        break;
                    }
                }
            }
            std::fclose(f);
        }
        if (!has_lower_sibling) kept.push_back(i);
    }
    return kept;
}

std::vector<int> cpu_list_from(const char* given, const std::vector<int>& allowed_cpus,
                               const std::string& topology_root) {
    if (given) {
        std::vector<int> list;
        for (int c : parse_cpu_list(given))
            if (allowed_cpus.empty() ||
                std::binary_search(allowed_cpus.begin(), allowed_cpus.end(), c))
                list.push_back(c);
        if (!list.empty()) return list;
    }
    return default_cpu_list(allowed_cpus, topology_root);
}

std::vector<int> parse_cpu_list(const char* text) {
    std::vector<int> cpus;
    if (!text) return cpus;
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    // Numbers saturate well above the CPU limit so that long digit runs
    // cannot overflow; anything above 1023 is dropped or clipped anyway.
    auto read_number = [&](const char*& s) {
        long long v = 0;
        while (is_digit(*s)) {
            if (v <= 1000000) v = v * 10 + (*s - '0');
            ++s;
        }
        return v;
    };
    const char* s = text;
    while (*s) {
        if (!is_digit(*s)) {
            ++s;
            continue;
        }
        long long a = read_number(s);
        if (*s == '-') {
            ++s;
            long long b = read_number(s);
            long long hi = b < kMaxCpu ? b : kMaxCpu;
            for (long long c = a; c <= hi; ++c) cpus.push_back(static_cast<int>(c));
        } else if (a <= kMaxCpu) {
            cpus.push_back(static_cast<int>(a));
        }
    }
    return cpus;
}

const std::vector<int>& worker_cpu_list() {
    static const std::vector<int> list =
        cpu_list_from(std::getenv("KORVANE_CPUS"), usable_cpus(), "/sys/devices/system/cpu");
    return list;
}

void Pool::start(int worker_count_, int base_) {
    // The CPU list is built here, on the calling thread, never by a worker:
    // a process forked while workers start then finds it complete (a worker
    // caught half-way through building it would leave it locked for ever in
    // the child). The list is never empty (default_cpu_list keeps the lowest
    // allowed CPU) and holds CPUs 0-1023 only.
    const std::vector<int>* list = &worker_cpu_list();
    workers = worker_count_;
    base = base_;
    const auto cpu_of = [this, list](int i) {
        const long size = static_cast<long>(list->size());
        return (*list)[static_cast<std::size_t>(((static_cast<long>(i) + base) % size + size) % size)];
    };
    // A thread that fails to start leaves no started worker behind unjoined.
    try {
        start_team(threads, workers, [this, cpu_of](int i) { worker_body(i, cpu_of(i)); }, [this] { request_stop(); });
    } catch (...) {
        workers = 0;
        throw;
    }
}

void Pool::run(int tasks, std::function<void(int, int)> new_job) {
    if (tasks <= 0) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        job = std::move(new_job);
        task_count = tasks;
        finished = 0;
        next_task.store(0);
        ++generation;
    }
    work_cv.notify_all();
    std::unique_lock<std::mutex> lock(mutex);
    done_cv.wait(lock, [this] { return finished == workers; });
}

void Pool::request_stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop_requested = true;
    }
    work_cv.notify_all();
}

void Pool::stop() {
    request_stop();
    for (std::thread& t : threads) t.join();
    threads.clear();
}

void Pool::worker_body(int index, int cpu) {
    // A worker that cannot be pinned simply runs unpinned.
    (void)try_pin_current_thread(cpu);

    int seen = 0;
    for (;;) {
        std::function<void(int, int)> my_job;
        int tasks;
        {
            std::unique_lock<std::mutex> lock(mutex);
            work_cv.wait(lock, [&] { return stop_requested || generation != seen; });
            if (stop_requested) return;
            seen = generation;
            my_job = job;
            tasks = task_count;
        }
        for (;;) {
            int k = next_task.fetch_add(1);
            if (k >= tasks) break;
            my_job(k, index);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++finished;
            if (finished == workers) done_cv.notify_one();
        }
    }
}

}  // namespace torvik
