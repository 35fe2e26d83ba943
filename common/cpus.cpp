#include "common/cpus.h"

#include <sched.h>

#include <algorithm>

const std::vector<int>& usable_cpus() {
    static const std::vector<int> cpus = [] {
        std::vector<int> list;
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) == 0)
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &set)) list.push_back(c);
        return list;
    }();
    return cpus;
}

namespace {

// Position in the usable list of the first CPU at or above `first`.
std::size_t first_position(int first) {
    const auto& cpus = usable_cpus();
    return static_cast<std::size_t>(std::lower_bound(cpus.begin(), cpus.end(), first) - cpus.begin());
}

}  // namespace

int usable_cpus_from(int first) {
    return static_cast<int>(usable_cpus().size() - first_position(first));
}

int team_cpu(int first, int index) {
    if (index < 0) return -1;
    const auto& cpus = usable_cpus();
    const std::size_t at = first_position(first) + static_cast<std::size_t>(index);
    return at < cpus.size() ? cpus[at] : -1;
}
