// Task order and ready list of the Pan main-product phase, shared by the float
// pair product and its FP64-accumulating variant.
//
// Task (i, j, k) adds one aggregated block product into the output blocks
// C[i][k] and C2[j][i]. The g^3 tasks are kept in a fixed order whose every
// run of g^2 consecutive tasks (one diagonal) writes each C block and each C2
// block exactly once. At run time the tasks sit in a circular ready list; a
// worker takes the first listed task whose two output blocks no other worker
// is writing, so no two workers ever write one output block at once, and no
// barrier separates the diagonals.
//
// Everything here is touched under the schedule mutex, except the task order,
// which changes only while the adapter mutex is held and no run is active.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pan_adapter::implementation {

struct PanTask {
    std::uint32_t i, j, k;
};

struct PanSchedule {
    std::vector<PanTask> tasks;  // g^3 tasks in schedule order
    std::vector<int> next;       // circular ready list
    std::vector<int> prev;
    std::vector<std::uint8_t> busy_c;   // C[i][k] in use, at i*g + k
    std::vector<std::uint8_t> busy_c2;  // C2[j][i] in use, at j*g + i
    int head = -1;
    int listed = 0;
    std::uint32_t remaining = 0;
    std::uint32_t grid = 0;
    std::mutex mutex;
    std::condition_variable cond;
    // The run's leaf-product counter is leaf_routing::pan_leaf_counter, shared
    // with the leaf router.
};

extern PanSchedule pan_schedule;

// Sizes the schedule for a g x g grid and fills the task order: for
// d, a, c in 0..g-1, task (d g + a) g + c is (i = c, j = a, k = (a + d) mod g).
// The caller has checked that g^3 fits an int.
void build_task_order(std::uint64_t g);

// Frees the task order and the ready list; the schedule is empty afterwards.
void release_schedule();

// Start of a main-product phase: every task listed in order, no block busy.
void reset_ready_list();

// Body of a main-product job: takes free tasks until none remain, runs
// product(task) for each with no lock held, counts one leaf product per task
// and wakes the waiting workers after each. Returns when every task of the
// run has finished.
void run_scheduled_tasks(void (*product)(const PanTask& task));

}  // namespace pan_adapter::implementation
