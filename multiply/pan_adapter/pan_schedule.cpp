#include "multiply/pan_adapter/pan_schedule.h"

#include <algorithm>

#include "multiply/blas/leaf_route.h"

namespace pan_adapter::implementation {

PanSchedule pan_schedule;

namespace {

using u64 = std::uint64_t;

// Index of the first listed task whose two output blocks are free, or -1.
int find_free_task() {
    auto& sc = pan_schedule;
    const u64 g = sc.grid;
    int t = sc.head;
    for (int n = 0; n < sc.listed; ++n) {
        const auto& task = sc.tasks[static_cast<u64>(t)];
        if (!sc.busy_c[task.i * g + task.k] && !sc.busy_c2[task.j * g + task.i]) return t;
        t = sc.next[static_cast<u64>(t)];
    }
    return -1;
}

// Takes the next free task, waiting while every listed task is blocked.
// False when the run has no task left.
bool take_task(PanTask& task) {
    auto& sc = pan_schedule;
    const u64 g = sc.grid;
    std::unique_lock<std::mutex> lock(sc.mutex);
    if (sc.remaining == 0) return false;
    int t = find_free_task();
    while (t < 0) {
        sc.cond.wait(lock);
        if (sc.remaining == 0) return false;
        t = find_free_task();
    }
    const auto ut = static_cast<u64>(t);
    task = sc.tasks[ut];
    sc.busy_c[task.i * g + task.k] = 1;
    sc.busy_c2[task.j * g + task.i] = 1;
    // Unlink it; the next scan starts at its successor.
    if (sc.listed > 1) {
        const int nx = sc.next[ut], pv = sc.prev[ut];
        sc.next[static_cast<u64>(pv)] = nx;
        sc.prev[static_cast<u64>(nx)] = pv;
        sc.head = nx;
    } else {
        sc.head = -1;
    }
    --sc.listed;
    return true;
}

void finish_task(const PanTask& task) {
    auto& sc = pan_schedule;
    const u64 g = sc.grid;
    {
        std::lock_guard<std::mutex> lock(sc.mutex);
        sc.busy_c[task.i * g + task.k] = 0;
        sc.busy_c2[task.j * g + task.i] = 0;
        --sc.remaining;
    }
    sc.cond.notify_all();
}

}  // namespace

void build_task_order(u64 g) {
    auto& sc = pan_schedule;
    const u64 tasks = g * g * g;
    sc.grid = static_cast<std::uint32_t>(g);
    sc.tasks.resize(tasks);
    sc.next.resize(tasks);
    sc.prev.resize(tasks);
    sc.busy_c.assign(g * g, 0);
    sc.busy_c2.assign(g * g, 0);
    // Within one diagonal d the g^2 tasks touch every C[i][k] and every
    // C2[j][i] exactly once, so they are free of conflicts with each other;
    // runs of g consecutive tasks share j and k.
    for (u64 d = 0; d < g; ++d)
        for (u64 a = 0; a < g; ++a)
            for (u64 c = 0; c < g; ++c)
                sc.tasks[(d * g + a) * g + c] = {static_cast<std::uint32_t>(c),
                                                 static_cast<std::uint32_t>(a),
                                                 static_cast<std::uint32_t>((a + d) % g)};
}

void release_schedule() {
    auto& sc = pan_schedule;
    std::vector<PanTask>().swap(sc.tasks);
    std::vector<int>().swap(sc.next);
    std::vector<int>().swap(sc.prev);
    std::vector<std::uint8_t>().swap(sc.busy_c);
    std::vector<std::uint8_t>().swap(sc.busy_c2);
    sc.remaining = 0;
    sc.listed = 0;
    sc.head = -1;
    sc.grid = 0;
}

void reset_ready_list() {
    auto& sc = pan_schedule;
    std::lock_guard<std::mutex> lock(sc.mutex);
    const u64 n = sc.tasks.size();
    sc.remaining = static_cast<std::uint32_t>(n);
    sc.listed = static_cast<int>(n);
    sc.head = n == 0 ? -1 : 0;
    std::fill(sc.busy_c.begin(), sc.busy_c.end(), 0);
    std::fill(sc.busy_c2.begin(), sc.busy_c2.end(), 0);
    for (u64 t = 0; t < n; ++t) {
        sc.next[t] = static_cast<int>(t + 1 == n ? 0 : t + 1);
        sc.prev[t] = static_cast<int>(t == 0 ? n - 1 : t - 1);
    }
}

void run_scheduled_tasks(void (*product)(const PanTask& task)) {
    PanTask task;
    while (take_task(task)) {
        product(task);
        leaf_routing::pan_leaf_counter.fetch_add(1);
        finish_task(task);
    }
}

}  // namespace pan_adapter::implementation
