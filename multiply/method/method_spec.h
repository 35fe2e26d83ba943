// Method names: the grammar that selects a multiplication route, and the tile
// grids of tiled SGEMM.
//
// A method name is a short text such as "center_pan2", "strassen_pan1",
// "scale_center_agg1", "dense:2x4" or "native:4x4x4". Prefixes ("scale_",
// "aocl_", "center_") switch on conditioning and may be stacked, a base names
// the product engine, "@<leaf>" overrides the leaf of agg/Pan methods and
// ":<config>" configures the dense and native routes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// A tile grid of a tiled SGEMM: rows x cols tiles and a depth block
// (0 = the whole depth in one call). Text form "RxC" or "RxC:K".
struct GridSpec {
    std::int32_t rows = 1;
    std::int32_t cols = 1;
    std::uint64_t k_block = 0;
};

// A parsed method name. Readers take it by const reference.
struct MethodSpec {
    std::string name;                   // the whole text given to the parser
    std::int32_t strassen_levels = 0;   // Strassen outer levels
    bool pan = false;                   // product on the Pan engine
    bool pan_direct = false;            // Pan over the whole matrix (no Strassen level)
    bool native = false;                // one multi-threaded AOCL SGEMM
    std::string config;                 // text after ':' (dense grid or native ways)
    std::int32_t macro_grid = 1;        // g / 2 of "pan<g>" / "accurate<g>"
    bool accurate = false;              // FP64-accumulating Pan variant
    bool centered = false;              // centering transform
    bool aocl_corrections = false;      // Pan correction products through AOCL
    std::uint64_t correction_k = 64;    // accurate option k (non-zero)
    std::uint64_t main_subk = 64;       // accurate option s (32, 64 or 128)
    std::uint64_t correction_tile = 0;  // accurate option t (0, 128 or 256)
    bool packed_corrections = false;    // accurate option p (0 or 1)
    bool scale = false;                 // equilibration transform
    bool agg = false;                   // product on the agg1 engine
    std::uint64_t leaf = 0;             // leaf after '@'; 0 = the problem leaf
    bool agg1g = false;                 // agg1 with general form builders only
};

// Per-side grid overrides for leaf_grid. Starts empty; only the benchmark
// driver fills it, before any run.
extern std::map<std::uint64_t, GridSpec> leaf_grids;

// Parses a method name. Throws std::runtime_error with a fixed message for a
// malformed name, and std::invalid_argument / std::out_of_range ("stoi",
// "stoul") for numbers without digits or out of range. Reads
// problem.native_threads for the native loop-way check.
MethodSpec parse_method_spec(const std::string& text);

// Parses "RxC" or "RxC:K" (rows, cols > 0). std::runtime_error "invalid grid".
GridSpec parse_grid(const char* text);

// Default tile grid for a square side: the leaf_grids entry when there is one,
// else power-of-two tile counts of about 960 x 480 elements per tile.
GridSpec leaf_grid(std::uint64_t side);

// The route table of korvane_multiply from N = 8192 on: the method that a
// mode runs ("safe", "accurate", "fast", "large"), or an empty text for any
// other word. The aggregation routes multiply equilibrated inputs ("scale_"):
// their sums mix blocks whose scales may differ widely, and the error of such
// a sum follows the largest scale in it, not the entry's own, so rows,
// columns and inner indices are first brought to one scale by exact powers
// of two.
std::string mode_method(const std::string& mode);

// What "large" runs instead when the side holds fewer than 30 leaf blocks:
// the safe route.
std::string large_fallback_method();
