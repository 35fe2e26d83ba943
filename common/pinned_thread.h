// Starting a team of pinned worker threads, shared by the worker pools.
//
// Worker i of a team placed at CPU `cpu_base` runs on team_cpu(cpu_base, i)
// (common/cpus.h) for its whole life. A worker that cannot pin itself reports
// through the pool's own message and aborts the process: a pool never runs
// work on an unpinned thread.
#pragma once

#include <functional>
#include <system_error>
#include <thread>
#include <vector>

// Writes the pool's line for a failed pinning of `cpu` (rc: the error number)
// to standard error. The caller aborts right after it returns.
using PinFailureReport = void (*)(int cpu, int rc);

// True when every worker of a team of `workers` placed at `cpu_base` has a
// usable CPU (workers >= 1).
bool team_fits(int cpu_base, int workers);

// Pins the calling thread to exactly `cpu` (a 1024-CPU set); returns 0 or the
// error number (EINVAL for a cpu outside 0..1023).
int try_pin_current_thread(int cpu);

// Pins the calling thread to exactly `cpu`. On failure, including a cpu
// outside 0..1023: report(cpu, rc), then abort().
void pin_current_thread(int cpu, PinFailureReport report);

// True when a thread start failed for want of memory or of the resources the
// system gives each thread (EAGAIN, ENOMEM): a memory shortage, which the
// programs report as std::bad_alloc.
bool is_thread_start_shortage(const std::system_error& e);

// Appends `count` threads to `threads`, thread i running body(i). If a thread
// fails to start, stop() is called (it must make every body already running
// return), the started threads are joined, `threads` is emptied, and the
// exception is rethrown; a shortage (is_thread_start_shortage) as
// std::bad_alloc.
void start_team(std::vector<std::thread>& threads, int count, const std::function<void(int)>& body,
                const std::function<void()>& stop);

// start_team with thread i first pinning itself to team_cpu(cpu_base, i).
void start_pinned_team(std::vector<std::thread>& threads, int count, int cpu_base,
                       const std::function<void(int)>& body, const std::function<void()>& stop,
                       PinFailureReport report);
