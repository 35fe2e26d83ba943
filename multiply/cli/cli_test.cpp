// End-to-end tests of korvane_multiply, run as a subprocess on numpy-made files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/printf_format.h"
#include "common/testing/test_support.h"

namespace fs = std::filesystem;

namespace {

// The worker count the program settles on for a request: at most 64 and at
// most the CPUs this process (and so the program) may run on.
int workers_for(int requested) {
    return std::min({requested, 64, static_cast<int>(usable_cpus().size())});
}

// A run that does not end within this many seconds counts as hung (a
// deadlocked engine) and is killed: a run at side 8192 takes 5-10 s on an
// idle machine, and up to ten times that on a busy one or under a sanitizer.
#ifdef KORVANE_SANITIZER_BUILD
constexpr int kHangSeconds = 480;
#else
constexpr int kHangSeconds = 180;
#endif

std::string start_line(const CommandResult& r) { return r.out.substr(0, r.out.find('\n')); }

// The relative error on the sampled rows that the check line reports, which
// comes after the multiply line; -1 without one.
double rows_error(const CommandResult& r) {
    const std::string head = "\ncheck: relative error against FP64 on sampled rows ";
    const std::size_t at = r.out.find(head);
    if (at == std::string::npos || r.out.find("\nmultiply: ") > at) return -1;
    return std::stod(r.out.substr(at + head.size()));
}

// The program's report lines, as it prints them (no trailing line end).
const char* const kStartFormat = "korvane_multiply: N = %zu (internal %zu), mode %s%s, %d workers, leaf %zu";
const char* const kMultiplyFormat = "multiply: %.3f s (setup %.3f s, reading %.3f s), peak memory %.1f GB";
const char* const kShortPhases =
    "phases: conditioning %.3f s, block products %.3f s, corrections %.3f s, vendor products %.3f s, decode %.3f s";
const char* const kLargePhases =
    "phases: conditioning %.3f s, block sums %.3f s, main products %.3f s (deferred %ld, drained %ld, tail %.3f s, "
    "leaves per worker %ld-%ld, finish spread %.3f s), corrections %.3f s, broadcast %.3f s, decode %.3f s";
const char* const kCheckFormat =
    "check: relative error against FP64 on sampled rows %.3g (worst row %.3g), on sampled points %.3g, non-finite "
    "entries %llu";
const char* const kWroteFormat = "wrote %s (%zu x %zu float32) in %.3f s";

// The report of a complete run, in order: start, multiply, the phases line in
// the given form (none for the dense route), the check line with --check, and
// the written file. Other output (the back ends' records) may come between.
void expect_report(const CommandResult& r, const char* phases, bool check) {
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        for (const char* head : {"korvane_multiply:", "multiply:", "phases:", "check:", "wrote "})
            if (line.starts_with(head)) lines.push_back(line);
    std::vector<const char*> formats = {kStartFormat, kMultiplyFormat};
    if (phases != nullptr) formats.push_back(phases);
    if (check) formats.push_back(kCheckFormat);
    formats.push_back(kWroteFormat);
    ASSERT_EQ(lines.size(), formats.size()) << r.out;
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(printf_format::mismatch(lines[i], formats[i]), "");
}

class MultiplyCli : public ::testing::Test {
protected:
    static inline ScratchDir* dir = nullptr;

    static void SetUpTestSuite() {
        dir = new ScratchDir("cli");
        // Inputs: random float32 matrices, and sparse raw files whose size alone matters.
        python("rng = np.random.default_rng(7)\n"
               "for n in (100, 512, 513, 1001, 2048):\n"
               "    np.save(f'a{n}.npy', rng.standard_normal((n, n), dtype=np.float32))\n"
               "    np.save(f'b{n}.npy', rng.standard_normal((n, n), dtype=np.float32))\n"
               "np.load('a2048.npy').tofile('a2048.raw')\n"
               "np.load('b2048.npy').tofile('b2048.raw')\n"
               "a = np.load('a512.npy'); a[3, 7] = np.nan; np.save('a512_nan.npy', a)\n"
               "for n in (8192, 10000):\n"
               "    with open(f'sparse{n}.raw', 'wb') as f: f.truncate(n * n * 4)\n");
    }
    static void TearDownTestSuite() { delete dir; }

    static void python(const std::string& code) { ASSERT_NO_THROW(run_python(dir->path, code)) << code; }

    // In numpy: C (float32, .npy or raw) against the FP64 product of A and B,
    // both divided by the numpy expression `scale`: relative Frobenius error
    // below err, largest error below worst times the largest entry.
    // c: one path, or several joined by commas.
    static void expect_close(const std::string& a, const std::string& b, const std::string& c, const char* err,
                             const char* worst, const std::string& scale = "1.0") {
        python("ref = np.load('" + a + "').astype(np.float64) @ np.load('" + b + "').astype(np.float64)\n"
               "s = " + scale + "\n"
               "for path in '" + c + "'.split(','):\n"
               "    c = np.load(path) if path.endswith('.npy') else np.fromfile(path, np.float32).reshape(ref.shape)\n"
               "    assert c.dtype == np.float32 and c.shape == ref.shape, (c.dtype, c.shape)\n"
               "    d, r = (c - ref) / s, ref / s\n"
               "    err, worst = np.linalg.norm(d) / np.linalg.norm(r), np.max(np.abs(d)) / np.max(np.abs(r))\n"
               "    assert err < " + err + " and worst < " + worst + ", (path, err, worst)\n");
    }
    static std::string slurp(const char* name) { return read_file(dir->at(name)); }

    // Runs the program on args; `prefix` goes in front of it (such as a taskset
    // call). A hung run is killed after kHangSeconds and says so.
    static CommandResult run(const std::string& args, const std::string& prefix = "") {
        return run_in_bounded(dir->path, prefix + "'" KORVANE_BINARY_DIR "/multiply/cli/korvane_multiply' " + args,
                              kHangSeconds);
    }
};

}  // namespace

TEST_F(MultiplyCli, UsageAndOptionErrors) {
    const std::string usage = "usage: " KORVANE_BINARY_DIR "/multiply/cli/korvane_multiply A_file B_file C_file "
                              "[--mode safe|accurate|fast|large|classical] [--n N] [--workers W] [--leaf L] [--check]\n"
                              "       files: .npy (float32, C order, square) or raw float32 row-major\n";
    const std::pair<const char*, std::string> cases[] = {
        {"", usage},
        {"a100.npy b100.npy", usage},
        {"a100.npy b100.npy c.npy d.npy", usage},
        {"a100.npy --bogus", "FAILED unknown option --bogus\n"},
        {"a100.npy b100.npy c.npy --mode=fast", "FAILED unknown option --mode=fast\n"},
        {"a100.npy b100.npy c.npy --workers", "FAILED missing value after --workers\n"},
        {"a100.npy b100.npy c.npy --workers 0", "FAILED invalid --workers or --leaf\n"},
        {"a100.npy b100.npy c.npy --leaf 0", "FAILED invalid --workers or --leaf\n"},
        {"a512.npy b513.npy c.npy", "FAILED A and B must be square matrices of the same size\n"},
        {"a100.npy b100.npy c.npy --leaf 536870912", "FAILED matrix too large\n"},
        {"sparse8192.raw sparse8192.raw c.npy --mode turbo", "FAILED unknown mode turbo\n"},
        // Failures after start-up end in the same line.
        {"a1001.npy b1001.npy c.npy --workers 4", "FAILED shape/depth incompatible\n"},  // odd side, dense route
        {"a512.npy b512.npy missing_dir/c.npy --workers 8", "FAILED cannot create missing_dir/c.npy\n"},
    };
    for (const auto& [args, err] : cases) {
        CommandResult r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err, err) << args;
    }
    EXPECT_FALSE(fs::exists(dir->at("c.npy")));
}

TEST_F(MultiplyCli, RouteChoiceAndStartLine) {
    const std::string head = "korvane_multiply: N = ";
    auto workers = [](int requested) { return ", " + std::to_string(workers_for(requested)) + " workers, leaf 1024"; };
    // The phases line: none on the dense route, the short form on the safe
    // route, also when the large route falls back to it.
    const struct { std::string args, line; const char* phases; } cases[] = {
        // Small inputs run dense whatever the mode; the suffix says so unless the mode is classical.
        // 500 workers are cut to 64, and to the CPUs this process may use.
        {"a100.npy b100.npy c100.npy --mode large --workers 500",
         "100 (internal 100), mode large -> classical (matrix too small for the fast routes)" + workers(500),
         nullptr},
        {"a100.npy b100.npy c100.npy --mode classical --workers 2", "100 (internal 100), mode classical" + workers(2),
         nullptr},
        {"a100.npy b100.npy c100.npy --mode whatever --workers 2",
         "100 (internal 100), mode whatever -> classical (matrix too small for the fast routes)" + workers(2),
         nullptr},
        // Large sides: the route shows in the start line before any product runs.
        {"sparse8192.raw sparse8192.raw c.raw --workers 8", "8192 (internal 8192), mode safe" + workers(8),
         kShortPhases},
        {"sparse10000.raw sparse10000.raw c.raw --mode large --workers 8",
         "10000 (internal 10240), mode large -> safe (matrix too small for the large route: fewer than 30 blocks "
         "per side)" +
             workers(8),
         kShortPhases},
    };
    for (const auto& [args, line, phases] : cases) {
        SCOPED_TRACE(args);
        CommandResult r = run(args);
        EXPECT_EQ(r.status, 0) << args << ": " << r.err;
        EXPECT_EQ(start_line(r), head + line);
        expect_report(r, phases, false);
    }

    // Under a mask of two CPUs the workers are cut to two, and the run
    // completes (no worker is pinned to a CPU it may not use).
    if (std::system("taskset -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "taskset is not installed";
    const std::vector<int>& cpus = usable_cpus();
    ASSERT_GE(cpus.size(), 2u);
    CommandResult r = run("a512.npy b512.npy c512m.npy --workers 8",
                   "taskset -c " + std::to_string(cpus[0]) + "," + std::to_string(cpus[1]) + " ");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(start_line(r), head + "512 (internal 512), mode safe -> classical (matrix too small for the fast "
                                     "routes), 2 workers, leaf 1024");
    EXPECT_EQ(fs::file_size(dir->at("c512m.npy")), 128u + 512u * 512u * 4u);
}

TEST_F(MultiplyCli, ClassicalProductsMatchNumpy) {
    CommandResult r = run("a2048.npy b2048.npy c2048.npy --mode classical --workers 8 --check");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_report(r, nullptr, true);  // the check line follows the multiply line
    EXPECT_NE(r.out.find("non-finite entries 0\n"), std::string::npos);
    // The sampled-row error of a float32 product of side 2048 is a few 1e-7.
    EXPECT_GT(rows_error(r), 1e-8) << r.out;
    EXPECT_LT(rows_error(r), 1e-6);
    EXPECT_NE(r.out.find("wrote c2048.npy (2048 x 2048 float32) in "), std::string::npos);

    // Raw inputs (side inferred) and a raw output (path without .npy).
    r = run("a2048.raw b2048.raw c2048.out --workers 5");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir->at("c2048.out")), 2048u * 2048u * 4u);
    expect_close("a2048.npy", "b2048.npy", "c2048.npy", "1e-6", "1");
    expect_close("a2048.npy", "b2048.npy", "c2048.out", "1e-6", "1");

    // One NaN in A spoils one row of C: 512 non-finite entries.
    r = run("a512_nan.npy b512.npy c512.npy --workers 4 --check");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_report(r, nullptr, true);
    EXPECT_NE(r.out.find("non-finite entries 512\n"), std::string::npos) << r.out;
}

// The safe (centred Pan) and fast (Strassen over Pan) routes on numpy-made
// inputs whose rows partly get centring offsets of both signs: C within
// float32 tolerance of numpy's FP64 product, and for the safe route (which
// centres A and B in place and gives them back) the check line, whose FP64
// references are taken from the inputs before the run, agrees.
TEST_F(MultiplyCli, SafeAndFastRoutesMatchNumpyAt8192) {
    python("rng = np.random.default_rng(11)\n"
           "n = 8192\n"
           "a = rng.standard_normal((n, n), dtype=np.float32)\n"
           "b = rng.standard_normal((n, n), dtype=np.float32)\n"
           "a[::2] = rng.uniform(1.0, 2.0, (n // 2, n)).astype(np.float32)\n"
           "b[::3] = rng.uniform(-3.0, -2.0, (len(range(0, n, 3)), n)).astype(np.float32)\n"
           "np.save('big_a.npy', a)\n"
           "np.save('big_b.npy', b)\n");
    const std::string workers = ", " + std::to_string(workers_for(8)) + " workers";
    for (std::string mode : {"safe", "fast"}) {
        CommandResult r = run("big_a.npy big_b.npy big_c_" + mode + ".npy --mode " + mode + " --workers 8" +
                       (mode == "safe" ? " --check" : ""));
        ASSERT_EQ(r.status, 0) << mode << ": " << r.err;
        EXPECT_NE(start_line(r).find("mode " + mode + workers), std::string::npos) << r.out;
        expect_report(r, kShortPhases, mode == "safe");
        if (mode != "safe") continue;
        EXPECT_LT(rows_error(r), 1e-6) << r.out;
        EXPECT_GE(rows_error(r), 0.0);
        EXPECT_NE(r.out.find("non-finite entries 0\n"), std::string::npos) << r.out;
    }
    for (std::string mode : {"safe", "fast"})
        expect_close("big_a.npy", "big_b.npy", "big_c_" + mode + ".npy", "1e-5", "1e-4");
}

// The large route (equilibrated and centred agg1), and safe and fast, on
// inputs whose rows of A are scaled by 2^k, k in -20..20, and columns of B
// by 2^(k - 40), half the rows of A also centred, with a subnormal entry in
// a row of A and in a column of B that the scaling brings down, a zero row
// of B and a -0.0 column of A (whose other lines must not keep their
// unscaled size): with the scales divided out, C is within float32
// tolerance of numpy's FP64 product.
TEST_F(MultiplyCli, LargeRouteMatchesNumpyAt8192) {
    python("rng = np.random.default_rng(13)\n"
           "n = 8192\n"
           "ka = rng.integers(-20, 21, n)\n"
           "kb = rng.integers(-20, 21, n) - 40\n"
           "a = rng.standard_normal((n, n), dtype=np.float32)\n"
           "a[::2] = rng.uniform(1.0, 2.0, (n // 2, n)).astype(np.float32)\n"
           "b = rng.standard_normal((n, n), dtype=np.float32)\n"
           "a = np.ldexp(a, ka[:, None].astype(np.int32))\n"
           "b = np.ldexp(b, kb[None, :].astype(np.int32))\n"
           "a[np.argmax(ka), 5] = b[7, np.argmax(kb)] = np.float32(1e-40)\n"
           "b[4099] = 0\n"
           "a[:, 77] = -0.0\n"
           "np.save('large_a.npy', a)\n"
           "np.save('large_b.npy', b)\n"
           "np.save('large_k.npy', np.stack([ka, kb]))\n");
    for (std::string mode : {"large --leaf 256", "safe", "fast"}) {
        SCOPED_TRACE(mode);
        const bool large = mode[0] == 'l';
        const std::string word = mode.substr(0, mode.find(' '));
        CommandResult r = run("large_a.npy large_b.npy large_c_" + word + ".npy --check --workers 8 --mode " + mode);
        EXPECT_EQ(start_line(r).rfind("korvane_multiply: N = 8192 (internal 8192), mode " + word + ", ", 0), 0u)
            << r.out;
        ASSERT_EQ(r.status, 0) << r.err;
        expect_report(r, large ? kLargePhases : kShortPhases, true);
        EXPECT_NE(r.out.find("non-finite entries 0\n"), std::string::npos) << r.out;
    }
    expect_close("large_a.npy", "large_b.npy", "large_c_large.npy,large_c_safe.npy,large_c_fast.npy", "1e-5", "1e-4",
                 "np.ldexp(1.0, np.load('large_k.npy')[0])[:, None] * "
                 "np.ldexp(1.0, np.load('large_k.npy')[1])[None, :]");
}

// The accurate route (FP64-accumulating Pan after centring) with --check on
// inputs whose rows partly get centring offsets and partly mix signs over a
// wide range of magnitudes: C within float32 tolerance of numpy's FP64
// product, and a check line to match.
TEST_F(MultiplyCli, AccurateRouteMatchesNumpyAt8192) {
    python("rng = np.random.default_rng(12)\n"
           "n = 8192\n"
           "a = rng.standard_normal((n, n), dtype=np.float32)\n"
           "b = rng.standard_normal((n, n), dtype=np.float32)\n"
           "a[::4] = rng.uniform(1.0, 2.0, (n // 4, n)).astype(np.float32)\n"
           "scale = np.exp2(rng.integers(-20, 21, (n, 1))).astype(np.float32)\n"
           "a[1::4] *= scale[1::4]\n"
           "np.save('acc_a.npy', a)\n"
           "np.save('acc_b.npy', b)\n");
    CommandResult r =
        run("acc_a.npy acc_b.npy acc_c.npy --mode accurate --check --workers " + std::to_string(test_workers()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(start_line(r).find("mode accurate, "), std::string::npos) << r.out;
    expect_report(r, kShortPhases, true);
    EXPECT_GT(rows_error(r), 0.0) << r.out;
    EXPECT_LT(rows_error(r), 1e-6) << r.out;
    expect_close("acc_a.npy", "acc_b.npy", "acc_c.npy", "1e-6", "1e-5");
}

// One NaN or infinity in A at N = 8192: every mode whose sums mix entries of
// different rows and columns refuses it before A or B changes, with one
// failure line that names the mode that takes it, and writes no C; the
// classical mode takes it and spoils exactly the one row of C that holds it.
TEST_F(MultiplyCli, NonFiniteInputsNeedTheClassicalMode) {
    python("rng = np.random.default_rng(17)\n"
           "n = 8192\n"
           "a = rng.standard_normal((n, n), dtype=np.float32)\n"
           "np.save('finite_b.npy', rng.standard_normal((n, n), dtype=np.float32))\n"
           "a[2730, 4096] = np.nan\n"
           "np.save('nan_a.npy', a)\n"
           "a[2730, 4096] = np.inf\n"
           "np.save('inf_a.npy', a)\n"
           "a[2730, 4096] = 1\n"
           "a[rng.random((n, n)) < 0.3] = np.float32(3e-45)\n"  // rounds to 2·2^-149; in rows brought down
           "np.save('tiny_a.npy', a)\n");
    const std::vector<std::pair<const char*, std::vector<const char*>>> cases = {
        {"nan_a.npy", {"safe", "accurate", "fast", "large", "large --leaf 256"}}, {"inf_a.npy", {"fast", "safe"}}};
    for (const auto& [a, modes] : cases) {
        for (const char* mode : modes) {
            SCOPED_TRACE(std::string(a) + " --mode " + mode);
            const CommandResult r = run(std::string(a) + " finite_b.npy refused_c.npy --workers 8 --mode " + mode);
            EXPECT_EQ(r.status, 2);
            const std::string word = std::string(mode).substr(0, std::string(mode).find(' '));
            EXPECT_EQ(r.err, "FAILED mode " + word +
                                 " needs finite inputs, and A or B holds a NaN or an infinity: --mode classical "
                                 "takes them\n");
            EXPECT_FALSE(fs::exists(dir->at("refused_c.npy")));
        }
    }
    // 30 % of A's entries lose bits when scaled, more than the scaling keeps aside.
    const CommandResult tiny = run("tiny_a.npy finite_b.npy refused_c.npy --workers 8 --mode safe");
    EXPECT_EQ(tiny.status, 2);
    EXPECT_EQ(tiny.err.rfind("FAILED mode safe cannot scale A and B by powers of two: ", 0), 0u) << tiny.err;
    EXPECT_NE(tiny.err.find(" entries of A and B are too small to scale exactly (at most 16777216): --mode "
                            "classical takes them\n"),
              std::string::npos)
        << tiny.err;
    EXPECT_FALSE(fs::exists(dir->at("refused_c.npy")));
    const CommandResult r = run("nan_a.npy finite_b.npy nan_c.npy --workers 8 --mode classical --check");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("non-finite entries 8192\n"), std::string::npos) << r.out;
    python("c = np.load('nan_c.npy')\n"
           "bad = ~np.isfinite(c)\n"
           "assert bad[2730].all() and bad.sum() == 8192, np.argwhere(bad)[:5]\n");
}
