// The benchmark's environment: worker placement, storage padding, data,
// seed, reference, tile grids and the native route's thread settings.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "common/cpus.h"
#include "multiply/bench/bench.h"

namespace bench {

namespace {

// Largest leading dimension the tile and Pan routes can address (32-bit ints).
constexpr std::uint64_t kMaxLd = 2147483647u;

// Every "side=grid" entry of LEAF_GRIDS goes into leaf_grids; a later entry
// for the same side replaces an earlier one.
void read_leaf_grids(const std::string& text) {
    std::istringstream in(text);
    std::string entry;
    while (std::getline(in, entry, ',')) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) throw std::runtime_error("bad LEAF_GRIDS");
        const std::uint64_t side = std::stoul(entry.substr(0, eq));
        leaf_grids[side] = parse_grid(entry.c_str() + eq + 1);
    }
}

// "%dx%dx%d" without overflow: each way is read as a long long (strtoll
// saturates) and saturated to the int range, so an out-of-range way stays out
// of range instead of wrapping into a small one. True when all three are read.
bool read_ways(const char* text, int (&ways)[3]) {
    const char* p = text;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && *p++ != 'x') return false;
        char* end = nullptr;
        const long long way = std::strtoll(p, &end, 10);
        if (end == p) return false;
        ways[i] = static_cast<int>(std::clamp<long long>(way, INT_MIN, INT_MAX));
        p = end;
    }
    return true;
}

}  // namespace

Settings read_settings(std::uint64_t n, bool memory_campaign) {
    Settings s;
    const char* v = nullptr;
    const long workers = (v = std::getenv("WORKERS")) ? std::strtol(v, nullptr, 10) : 64;
    const long cpu_base = (v = std::getenv("CPU_BASE")) ? std::strtol(v, nullptr, 10) : 0;
    const std::uint64_t padding = (v = std::getenv("LD_PADDING")) ? std::stoul(v) : 0;
    if ((v = std::getenv("DATA"))) s.data = v;
    s.distribution = distribution_from_name(s.data);
    if ((v = std::getenv("SEED"))) s.seed = std::stoull(v, nullptr, 10);
    s.full_reference = (v = std::getenv("FULL_REFERENCE")) ? std::strtol(v, nullptr, 10) != 0 : !memory_campaign;
    s.dense_grid = (v = std::getenv("DENSE_GRID")) ? parse_grid(v) : leaf_grid(n);
    if ((v = std::getenv("DENSE_KBLOCK"))) s.dense_grid.k_block = std::stoul(v);
    if ((v = std::getenv("LEAF_GRIDS"))) read_leaf_grids(v);
    const long native = (v = std::getenv("NATIVE_THREADS")) ? std::strtol(v, nullptr, 10) : workers;
    if ((v = std::getenv("NATIVE_WAYS"))) {
        if (!read_ways(v, s.native_ways)) throw std::runtime_error("bad native ways");
        // A first way of 0 means unset: no ways are in force.
        if (s.native_ways[0] == 0) s.native_ways[1] = s.native_ways[2] = 0;
    }

    if (workers < 1 || workers > 64 || cpu_base < 0 || cpu_base > 1024 - workers || native < 1 ||
        native > workers)
        throw std::runtime_error("invalid worker/native thread configuration");
    s.workers = static_cast<int>(workers);
    s.cpu_base = static_cast<int>(cpu_base);
    s.native_threads = static_cast<int>(native);
    if (s.native_ways[0] != 0) {
        const int* w = s.native_ways;
        // Positive ways whose first two already exceed the thread count cannot
        // match it; only then is the full product formed, and it cannot overflow.
        const bool match = w[0] > 0 && w[1] > 0 && w[2] > 0 && std::int64_t{w[0]} * w[1] <= native &&
                           std::int64_t{w[0]} * w[1] * w[2] == native;
        if (!match) throw std::runtime_error("native ways must multiply to native thread count");
    }
    // Worker i of every pool goes to the i-th usable CPU from CPU_BASE on:
    // refuse here rather than let a worker fail to pin itself.
    if (usable_cpus_from(s.cpu_base) < s.workers)
        throw std::runtime_error("WORKERS from CPU_BASE exceed the usable CPUs");
    // ld and the byte counts of the four n x ld matrices must not wrap.
    if (n > kMaxLd || padding > kMaxLd - n || n * (n + padding) > UINT64_MAX / 16)
        throw std::runtime_error("matrix too large");
    s.ld = n + padding;
    return s;
}

}  // namespace bench
