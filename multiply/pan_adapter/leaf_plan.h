// Blocking plan and workspace layout shared by the 6x16 leaf kernels.
//
// A leaf kernel multiplies square float blocks of side n by packing operand
// sums into panels inside one caller-owned, per-worker workspace and running a
// 6-row by 16-column register tile over them. The plan says how the product is
// blocked (rows, columns, depth); the layout says where the panels live in the
// workspace. All counts are in floats or panels, never bytes.
//
// Workspace map, from the workspace pointer rounded up to 64 bytes (the base):
//   1. B region, b_floats: B panel p at base + p * b_panel_floats;
//   2. A region, a_floats, at base + b_floats: A panels at stride a_panel_floats;
//   3. partial-tile region, partial_floats, after the A region (only when the
//      depth is blocked).
// Every region, B panel and partial tile starts 64-byte aligned.
//
// Packed panel formats:
//   B panel: 16 columns, k-major; row k is 16 floats at offset 16k; columns past
//     the block's last column are 0.0. 16 spare floats follow row n-1.
//   A panel: 6 rows, k-major; column k is 6 floats at offset 6k; rows past the
//     block's last row are 0.0. 16 spare floats follow column n-1 (packers may
//     store zeros there). With apf, panel t holds rows 6t..6t+5 of the whole
//     block; otherwise panel s holds rows ic + 6s.. of the current row block.
//   Partial tile: 96 floats, a row-major 6x16 tile (row i at offset 16i); the
//     tile of B panel p and A strip s is at 96 * (p * (mc_eff / 6) + s).
#pragma once

#include <cstdint>

namespace pan_adapter {

struct LeafPlan {
    std::uint64_t mc = 0;  // rows per row block (rounded up to 6; 0 means 72)
    std::uint64_t nc = 0;  // columns per column block (rounded up to 16; 0 means 512)
    std::uint64_t kc = 0;  // depth per depth block (0 or >= n: the whole depth)
    std::int32_t apf = 0;  // nonzero: keep every A panel of the block packed
};

struct LeafLayout {
    std::uint64_t n = 0;
    std::uint64_t mc_eff = 0;
    std::uint64_t nc_eff = 0;
    std::uint64_t kc_eff = 0;
    std::uint64_t b_panel_floats = 0;
    std::uint64_t a_panel_floats = 0;
    std::uint64_t b_panels = 0;
    std::uint64_t a_panels = 0;
    std::uint64_t b_floats = 0;
    std::uint64_t a_floats = 0;
    std::uint64_t partial_floats = 0;
    bool whole_k = true;
    bool apf = false;
};

// Default plan of side n (also defined for n = 0).
LeafPlan leaf_plan_default(std::uint64_t n);

// Layout of side n under a plan. The pointer form takes a null plan as the
// default plan of n; otherwise both forms give identical results.
LeafLayout leaf_layout(std::uint64_t n, const LeafPlan& plan);
LeafLayout leaf_layout(std::uint64_t n, const LeafPlan* plan);

// Floats a caller must provide as workspace for a kernel driver of side n:
// 0 for n = 0, else 16 (pointer rounding) + b_floats + a_floats + partial_floats.
std::uint64_t pair_workspace_floats(std::uint64_t n, const LeafPlan& plan);

// The base of the workspace map: the workspace pointer rounded up to 64 bytes.
float* leaf_workspace_base(float* workspace);
std::uint64_t pair_workspace_floats_default(std::uint64_t n);

// Settings of the FP64-accumulating Pan variant. main_subk (the depth chunk of
// its leaf kernel) changes only through set_accurate_main_subk.
struct AccurateSettings {
    std::uint64_t correction_k = 64;
    std::uint64_t main_subk = 64;
    std::uint64_t correction_tile = 0;
    bool packed_corrections = false;
};
extern AccurateSettings accurate_settings;

// Stores subk when it is 32, 64 or 128; otherwise std::invalid_argument and the
// setting stays as it was. Written only while no product runs.
void set_accurate_main_subk(std::uint64_t subk);
std::uint64_t accurate_main_subk();

}  // namespace pan_adapter
