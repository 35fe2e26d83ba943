#include "multiply/pan_adapter/leaf_plan.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace pan_adapter {

AccurateSettings accurate_settings;

namespace {

// Rounding up saturates: a block size near 2^64 (an unchecked override) must
// not wrap to 0, which would leave the drivers stepping by zero forever; it
// stands for "the whole side" instead. Nor is x + m - 1 ever formed: it wraps
// for the values just below the saturation point.
std::uint64_t ceil_to(std::uint64_t x, std::uint64_t m) {
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max() / m * m;
    if (x == 0) return 0;
    return x > top ? top : ((x - 1) / m + 1) * m;
}
std::uint64_t ceil6(std::uint64_t x) { return ceil_to(x, 6); }
std::uint64_t ceil16(std::uint64_t x) { return ceil_to(x, 16); }

}  // namespace

LeafPlan leaf_plan_default(std::uint64_t n) {
    const std::uint64_t d = n == 0 ? 1 : n;
    LeafPlan plan;
    // Row blocks keep mc * n at or below 73,728 floats (the A panels of one row block).
    plan.mc = std::clamp<std::uint64_t>(6 * (12288 / d), 6, 48);
    // Column blocks keep nc * n at or below 524,288 floats (about 2 MiB of B panels).
    plan.nc = std::max<std::uint64_t>(16 * (32768 / d), 16);
    plan.kc = 0;
    // Past two column blocks, re-packing A per column block costs more than keeping it.
    plan.apf = (n + plan.nc - 1) / plan.nc > 2 ? 1 : 0;
    return plan;
}

LeafLayout leaf_layout(std::uint64_t n, const LeafPlan& plan) {
    LeafLayout l;
    l.n = n;
    l.mc_eff = std::min(ceil6(n), plan.mc == 0 ? std::uint64_t{72} : ceil6(plan.mc));
    l.nc_eff = std::min(ceil16(n), plan.nc == 0 ? std::uint64_t{512} : ceil16(plan.nc));
    l.kc_eff = (plan.kc == 0 || plan.kc >= n) ? n : plan.kc;
    l.b_panel_floats = 16 * (n + 1);
    l.a_panel_floats = 6 * n + 16;
    l.b_panels = l.nc_eff / 16;
    l.a_panels = plan.apf != 0 ? (n + 5) / 6 : l.mc_eff / 6;
    l.b_floats = l.b_panel_floats * l.b_panels;
    l.a_floats = (l.a_panel_floats * l.a_panels + 31) / 16 * 16;
    l.partial_floats = l.kc_eff < n ? 96 * (l.mc_eff / 6) * l.b_panels : 0;
    l.whole_k = l.kc_eff >= n;
    l.apf = plan.apf != 0;
    return l;
}

LeafLayout leaf_layout(std::uint64_t n, const LeafPlan* plan) {
    return plan != nullptr ? leaf_layout(n, *plan) : leaf_layout(n, leaf_plan_default(n));
}

std::uint64_t pair_workspace_floats(std::uint64_t n, const LeafPlan& plan) {
    if (n == 0) return 0;
    const LeafLayout l = leaf_layout(n, plan);
    return 16 + l.b_floats + l.a_floats + l.partial_floats;
}

float* leaf_workspace_base(float* workspace) {
    const auto v = reinterpret_cast<std::uintptr_t>(workspace);
    return reinterpret_cast<float*>((v + 63) & ~std::uintptr_t{63});
}

std::uint64_t pair_workspace_floats_default(std::uint64_t n) {
    if (n == 0) return 0;
    const LeafLayout l = leaf_layout(n, leaf_plan_default(n));
    return 16 + l.b_floats + l.a_floats;
}

void set_accurate_main_subk(std::uint64_t subk) {
    if (subk != 32 && subk != 64 && subk != 128)
        throw std::invalid_argument("accurate main SUBK must be 32, 64, or 128");
    accurate_settings.main_subk = subk;
}

std::uint64_t accurate_main_subk() { return accurate_settings.main_subk; }

}  // namespace pan_adapter
