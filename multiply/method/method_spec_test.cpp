#include "multiply/method/method_spec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "multiply/method/problem.h"

namespace {

// Every field in one line, so that a mismatch shows the whole record.
std::string describe(const MethodSpec& s) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "name=%s levels=%d pan=%d direct=%d native=%d config=%s grid=%d accurate=%d "
                  "centered=%d aocl=%d k=%llu s=%llu t=%llu p=%d scale=%d agg=%d leaf=%llu agg1g=%d",
                  s.name.c_str(), s.strassen_levels, s.pan, s.pan_direct, s.native, s.config.c_str(),
                  s.macro_grid, s.accurate, s.centered, s.aocl_corrections, (unsigned long long)s.correction_k,
                  (unsigned long long)s.main_subk, (unsigned long long)s.correction_tile, s.packed_corrections,
                  s.scale, s.agg, (unsigned long long)s.leaf, s.agg1g);
    return buf;
}

// "<kind>: <message>" of what f threw, or "no exception".
template <class F>
std::string outcome(F f) {
    try {
        f();
        return "no exception";
    } catch (const std::invalid_argument& e) { return std::string("invalid_argument: ") + e.what();
    } catch (const std::out_of_range& e) { return std::string("out_of_range: ") + e.what();
    } catch (const std::runtime_error& e) { return std::string("runtime: ") + e.what(); }
}

class MethodNames : public ::testing::Test {
protected:
    void SetUp() override { saved_threads_ = problem.native_threads; problem.native_threads = 64; }
    void TearDown() override { problem.native_threads = saved_threads_; }
    int saved_threads_ = 0;
};

TEST_F(MethodNames, AcceptedNamesGiveTheirFields) {
    auto pan = [](MethodSpec& s, int grid) { s.pan = s.pan_direct = true; s.macro_grid = grid; };
    const std::vector<std::pair<std::string, std::function<void(MethodSpec&)>>> cases = {  // changes from the defaults
        // The five main routes.
        {"dense", [](MethodSpec&) {}},
        {"center_pan2", [&](MethodSpec& s) { pan(s, 1); s.centered = true; }},
        {"center_accurate2s32t256p1", [&](MethodSpec& s) {
             pan(s, 1);
             s.centered = s.accurate = s.packed_corrections = true;
             s.main_subk = 32, s.correction_tile = 256; }},
        {"strassen_pan1", [](MethodSpec& s) { s.pan = true; s.strassen_levels = 1; }},
        {"scale_center_agg1", [](MethodSpec& s) { s.scale = s.centered = s.agg = true; }},
        // Pan and accurate bases; later options override earlier ones.
        {"pan32", [&](MethodSpec& s) { pan(s, 16); }},
        {"accurate4k128s128t128p0",
         [&](MethodSpec& s) { pan(s, 2); s.accurate = true; s.correction_k = s.main_subk = s.correction_tile = 128; }},
        {"accurate2k5k7t0s64p1p0", [&](MethodSpec& s) { pan(s, 1); s.accurate = true; s.correction_k = 7; }},
        // Prefixes stack in any order and may repeat.
        {"center_center_aocl_scale_pan2",
         [&](MethodSpec& s) { pan(s, 1); s.scale = s.aocl_corrections = s.centered = true; }},
        // Leaf suffix: leading number, trailing characters ignored.
        {"pan_block@256", [&](MethodSpec& s) { pan(s, 1); s.leaf = 256; }},
        {"strassen_agg1@0", [](MethodSpec& s) { s.agg = true; s.strassen_levels = 1; }},
        // Other bases.
        {"agg1g", [](MethodSpec& s) { s.agg = s.agg1g = true; }},
        {"strassen_pan2junk", [](MethodSpec& s) { s.pan = true; s.strassen_levels = 2; }},
        {"strassen_pan-1", [](MethodSpec& s) { s.pan = true; s.strassen_levels = -1; }},
        // Configurations.
        {"native:1x64x1", [](MethodSpec& s) { s.native = true; s.config = "1x64x1"; }},
        {"dense:2x4:512", [](MethodSpec& s) { s.config = "2x4:512"; }},
    };
    for (const auto& [text, expect] : cases) {
        MethodSpec want, got;
        expect(want);
        want.name = text;
        ASSERT_NO_THROW(got = parse_method_spec(text)) << text;
        EXPECT_EQ(describe(got), describe(want)) << text;
    }

    // Long prefix chains parse.
    std::string text;
    for (int i = 0; i < 100000; ++i) text += i % 3 == 0 ? "scale_" : i % 3 == 1 ? "aocl_" : "center_";
    const MethodSpec spec = parse_method_spec(text + "agg1@64");
    EXPECT_TRUE(spec.scale && spec.aocl_corrections && spec.centered && spec.agg);
    EXPECT_EQ(spec.leaf, 64u);
    EXPECT_EQ(spec.name.size(), text.size() + 7);
    EXPECT_EQ(outcome([&] { parse_method_spec(text + "bogus"); }), "runtime: unknown method: bogus");
}

TEST_F(MethodNames, RefusedNamesGiveTheirMessages) {
    const std::string grid = "runtime: Pan grid must be even and in [2,32]";
    const std::string chunk = "runtime: invalid accurate chunk option";
    const std::string leaf = "runtime: @leaf only for agg/pan methods";
    const std::string only = "runtime: only dense/native methods accept configurations";
    const std::string ways = "runtime: native ways must multiply to native thread count";
    const std::string no_digits = "invalid_argument: stoul", too_big = "out_of_range: stoul";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"pan34", grid}, {"pan3", grid}, {"accurate1", grid},
        {"pan99999999999", "out_of_range: stoi"},
        {"pan2x", "runtime: invalid Pan method suffix"}, {"pan2s32", "runtime: invalid Pan method suffix"},
        {"pan_2", "runtime: unknown method: pan_2"}, {"pan", "runtime: unknown method: pan"},
        {"center_foo", "runtime: unknown method: foo"}, {"", "runtime: unknown method: "},
        {"accurate2s48", chunk}, {"accurate2k0", chunk}, {"accurate2t64", chunk},
        {"accurate2q1", chunk},
        {"accurate2k", no_digits}, {"accurate2kx", no_digits}, {"accurate2k99999999999999999999999", too_big},
        // A negative option value is refused instead of wrapping to 2^64 - 1.
        {"accurate2k-1", too_big},
        {"dense@512", leaf}, {"native@4", leaf}, {"strassen_aocl1@4", leaf},
        {"agg1@", no_digits}, {"agg1@x", no_digits}, {"agg1@99999999999999999999999", too_big},
        // A negative leaf is refused instead of wrapping to a huge leaf.
        {"agg1@-512", too_big},
        {"strassen_pan", "invalid_argument: stoi"}, {"strassen_agg", "invalid_argument: stoi"},
        {"strassen_aoclx", "invalid_argument: stoi"},
        {"dense:2", "runtime: invalid grid"}, {"dense:0x4", "runtime: invalid grid"},
        {"dense:", "runtime: empty method configuration"}, {"native:", "runtime: empty method configuration"},
        {"strassen_pan1:2x2", only}, {"agg1:2x2", only},
        {"foo:2x2", "runtime: unknown method: foo"},
        {"native:4x4x2", ways}, {"native:4x4x4x", ways}, {"native:4x16", ways}, {"native:-4x-4x4", ways},
        // 64 * 536903681 * 536838145 = 2^64 + 64: wraps to 64 in 64 bits.
        {"native:64x536903681x536838145", ways},
        // 2^32 + 64 does not fit an int; truncated it would read as 64.
        {"native:4294967360x1x1", ways},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(outcome([&] { parse_method_spec(text); }), want) << text;

    // The ways follow the thread count.
    problem.native_threads = 8;
    EXPECT_EQ(outcome([] { parse_method_spec("native:2x2x2"); }), "no exception");
    EXPECT_EQ(outcome([] { parse_method_spec("native:auto"); }), "no exception");
    EXPECT_EQ(outcome([] { parse_method_spec("native:4x4x4"); }), ways);
}

std::string grid_text(const GridSpec& g) {
    return std::to_string(g.rows) + "x" + std::to_string(g.cols) + ":" + std::to_string(g.k_block);
}

TEST(Grids, ParseGridAgreesWithScanfAndRefusesValuesThatDoNotFit) {
    // The grid format is "%dx%d:%lu" with the depth part optional; for texts
    // without overflow or negative depth, sscanf itself is the oracle.
    for (const char* t : {"2x4", "2x4:512", " 3x 5", "2x4:", "2x4:abc", "8x16junk", "2", "0x4", "4x0", "-1x4", "x4", "",
                          "2 x4", "2x-4", "+2x+4:+7"}) {
        int rows = 1, cols = 1;
        unsigned long k = 0;
        const int items = std::sscanf(t, "%dx%d:%lu", &rows, &cols, &k);
        const bool valid = items >= 2 && rows > 0 && cols > 0;
        EXPECT_EQ(outcome([&] { EXPECT_EQ(grid_text(parse_grid(t)), grid_text(GridSpec{rows, cols, k})); }),
                  valid ? "no exception" : "runtime: invalid grid")
            << '"' << t << '"';
    }
    // Values that do not fit are refused rather than truncated or wrapped.
    for (const char* t : {"2147483648x1", "1x99999999999", "2x4:-5", "2x4:99999999999999999999999"})
        EXPECT_EQ(outcome([&] { parse_grid(t); }), "runtime: invalid grid") << t;
    EXPECT_EQ(grid_text(parse_grid("2147483647x1:18446744073709551615")), "2147483647x1:18446744073709551615");
    EXPECT_EQ(outcome([] { parse_grid(nullptr); }), "runtime: invalid grid");
}

TEST(Grids, LeafGridValues) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {959, "1x1:0"}, {960, "1x2:0"}, {8192, "8x16:0"},
        // Very large sides stay within int tile counts.
        {std::uint64_t{1} << 63, "1073741824x1073741824:0"},
    };
    for (const auto& [side, want] : cases) EXPECT_EQ(grid_text(leaf_grid(side)), want) << side;

    // A table entry replaces the rule for exactly its side.
    leaf_grids[8192] = GridSpec{3, 5, 256};
    EXPECT_EQ(grid_text(leaf_grid(8192)), "3x5:256");
    EXPECT_EQ(grid_text(leaf_grid(8193)), "8x16:0");
    leaf_grids.clear();
}

}  // namespace
