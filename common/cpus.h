// The CPUs this process may run on, and where a pinned team of workers goes.
//
// A team asks for "worker i of a team starting at CPU first". On a process
// that may run on every online CPU that is CPU first + i; under a narrower
// affinity mask (taskset, a container's cpuset) it is the i-th CPU of the mask
// counted from the first one at or above `first`, so a team never asks for a
// CPU it cannot have.
#pragma once

#include <vector>

// The process's CPUs in increasing order: the calling thread's affinity mask
// at the first call (make that call before any thread pins itself).
const std::vector<int>& usable_cpus();

// How many usable CPUs there are at or above CPU `first`.
int usable_cpus_from(int first);

// The CPU of worker `index` of a team starting at CPU `first`; -1 when the
// process has fewer usable CPUs from `first` on.
int team_cpu(int first, int index);
