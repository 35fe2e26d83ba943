// The real program, run as a subprocess on numpy fixtures; numpy's int64
// (A % p) @ (B % p) % p is the oracle (exact while N*(p-1)^2 < 2^63).
#include <cstdio>

#include "common/cpus.h"
#include "modp/tests/test_util.h"

namespace {

using modp_test::file_exists;
using modp_test::read_file;
using modp_test::run_program;
using std::string;
constexpr auto npos = string::npos;
const string kExactCheck = "check: 0 of 4096 sampled entries differ from the exact value mod p (exact)\n";

class ModpCli : public modp_test::ModpTest {
protected:
    // "ok\n" when c (.npy, else raw int32 shaped like A) is the exact A*B mod p.
    string compare(const string& a, const string& b, const string& c, long long p) const {
        return py("A, B, c, p = np.load('" + a + "'), np.load('" + b + "'), '" + c + "', " +
                  std::to_string(p) + R"(
C = np.load(c) if c.endswith('.npy') else np.fromfile(c, dtype='<i4').reshape(A.shape)
A, B = A.astype(np.int64) % p, B.astype(np.int64) % p
assert A.shape[0] * (p - 1) ** 2 < 2 ** 63
R = (A @ B) % p
print('ok' if C.dtype == np.int32 and C.shape == R.shape and (C == R).all() else 'WRONG')
)");
    }
};

TEST_F(ModpCli, EveryInputTypeGivesTheExactProductOnEveryRoute) {
    py(R"(
r = np.random.default_rng(21)
for name, lo, hi, t in (('i4a', -2**31, 2**31, '<i4'), ('i4b', -2**31, 2**31, '<i4'), ('i8a', -2**62, 2**62, '<i8'),
                        ('u2b', 0, 2**16, '<u2'), ('u4a', 0, 2**32, '<u4'), ('v2a', -5, 5, '<i4'),
                        ('f8b', -9 * 10**15, 9 * 10**15, '<f8')):
    np.lib.format.write_array(open(name + '.npy', 'wb'), r.integers(lo, hi, (300, 300), dtype=np.int64).astype(t),
                              version=(2, 0) if name == 'v2a' else (1, 0))
)");
    struct Case { const char *a, *b; long long p; };
    for (Case c : {Case{"i4a.npy", "i4b.npy", 65521}, Case{"i8a.npy", "u2b.npy", 1000003},
                   Case{"u4a.npy", "f8b.npy", 2}, Case{"v2a.npy", "i8a.npy", 2097143}}) {
        string outputs[3];
        const string p = std::to_string(c.p), modes[3] = {"fmm", "classical", "auto"};
        for (int m = 0; m < 3; ++m) {
            const string out = "c_" + modes[m] + ".npy";
            auto r = run_program(dir_, string(c.a) + " " + c.b + " " + out + " --p " + p + " --mode " +
                                           modes[m] + " --workers 4 --block 16 --check");
            ASSERT_EQ(r.status, 0) << c.a << " " << modes[m] << " " << r.err;
            EXPECT_NE(r.out.find(kExactCheck), npos) << r.out;
            EXPECT_NE(r.out.find("wrote " + out + " (300 x 300 int32, entries in [0, " + p + ")) in "), npos) << r.out;
            outputs[m] = read_file(path(out));
        }
        EXPECT_EQ(compare(c.a, c.b, "c_fmm.npy", c.p), "ok\n") << c.a << " " << c.b;
        EXPECT_EQ(outputs[0], outputs[1]);
        EXPECT_EQ(outputs[0], outputs[2]);
    }
}

TEST_F(ModpCli, RawFilesInAndOut) {
    py(R"(
r = np.random.default_rng(22)
for f in 'ab':
    x = r.integers(-2**31, 2**31, (48, 48), dtype=np.int64).astype('<i4')
    np.save(f + '.npy', x); x.tofile(f + '.bin')
)");
    // Side found from the size, and given with --n; raw output has no header.
    auto r = run_program(dir_, "a.bin b.bin c.bin --p 65521 --workers 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("korvane_multiply_modp: N = 48 (internal 64), p = 65521, route classical, 2 workers, "
                          "block 1024; largest intermediate < ", 0), 0u) << r.out;
    EXPECT_EQ(read_file(path("c.bin")).size(), 48u * 48u * 4u);
    EXPECT_EQ(compare("a.npy", "b.npy", "c.bin", 65521), "ok\n");
    auto r2 = run_program(dir_, "--n 48 a.bin --mode fmm b.bin c2.npy --block 16 --p 65521 --workers 2");
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(compare("a.npy", "b.npy", "c2.npy", 65521), "ok\n");
    auto r3 = run_program(dir_, "a.bin b.bin c3.bin --n 47 --p 65521");
    EXPECT_EQ(r3.status, 2);
    EXPECT_EQ(r3.err, "FAILED a.bin: raw file size is not N*N*4 bytes (int32; give --n N)\n");
}

TEST_F(ModpCli, LargestAdmissibleModulusOnBothRoutesAndBlocks) {
    // For each block and route, at a side that is no multiple of the block,
    // the largest p whose bound stays below 2^53 runs on residues p - 1
    // almost everywhere (the largest magnitude of every intermediate value),
    // stored in every input type (uint16 cannot hold p - 1 above 2^16 and
    // takes its own largest values); p + 1 is refused before any work.
    struct Case { size_t block, n; };
    const Case cases[] = {{16, 20}, {64, 200}, {512, 1100}};
    const char* types[][2] = {{"<i4", "<i8"}, {"<u4", "<f8"}, {"<u2", "<i4"},
                              {"<i8", "<u4"}, {"<f8", "<u2"}, {"<i4", "<f8"}};
    int run = 0;
    for (const Case& c : cases) {
        for (const string mode : {"classical", "fmm"}) {
            const auto* type = types[run++];
            const string side = std::to_string(c.n), block = std::to_string(c.block);
            const string limits = py("n, block, fmm, types = " + side + ", " + block + ", " +
                                     (mode == "fmm" ? "True" : "False") + ", ('" + type[0] + "', '" + type[1] +
                                     "')\n" + R"(import math
t = 2 * block if fmm else min(block, 64)
d = -(-n // t) * t
coef = 7 * (d // 2) if fmm else d
p = math.isqrt(2**53 // coef) + 3  # the largest p with coef * (p - 1)^2 + p < 2^53
while coef * (p - 1) ** 2 + p >= 2**53: p -= 1
r = np.random.default_rng(n + fmm)
for name, t in zip('ab', types):
    x = -1 - (r.random((n, n)) < 0.2) * r.integers(1, 3, (n, n))  # residues p - 1, some p - 2, p - 3
    if t[1] == 'u': x = x % p if t == '<u4' else 65535 + x
    elif t == '<i8': x = x + p * r.integers(-2**20, 2**20, (n, n))
    np.save(name + '.npy', x.astype(t))
print(p, d)
)");
            long long p = 0, d = 0;
            ASSERT_EQ(std::sscanf(limits.c_str(), "%lld %lld", &p, &d), 2) << limits;
            if (c.block == 16 && mode == "classical") {
                EXPECT_EQ(p, 16777216);  // 32*(p-1)^2 + p < 2^53: p - 1 = 2^24 - 1
            }
            const string opts = " --mode " + mode + " --block " + block + " --workers 4 --check";
            auto ok = run_program(dir_, "a.npy b.npy c.npy --p " + std::to_string(p) + opts);
            ASSERT_EQ(ok.status, 0) << mode << " block " << block << ": " << ok.err;
            EXPECT_NE(ok.out.find("N = " + side + " (internal " + std::to_string(d) + ")"), npos) << ok.out;
            EXPECT_NE(ok.out.find(kExactCheck), npos) << ok.out;
            EXPECT_EQ(compare("a.npy", "b.npy", "c.npy", p), "ok\n") << mode << " block " << block << " " << type[0]
                                                                   << " x " << type[1];
            if (c.block != 16) continue;
            auto refused = run_program(dir_, "a.npy b.npy c2.npy --p " + std::to_string(p + 1) + opts);
            EXPECT_EQ(refused.status, 2);
            EXPECT_EQ(refused.err, "FAILED p too large for exact FP64 arithmetic at this size (bound >= 2^53)\n");
            EXPECT_EQ(refused.out, "");
            EXPECT_FALSE(file_exists(path("c2.npy")));
        }
    }
}

TEST_F(ModpCli, AutoSwitchesToBundlesAtSixteenBlocksPerHalf) {
    const std::vector<int>& usable = usable_cpus();
    if (usable.size() < 2) GTEST_SKIP() << "needs two CPUs the process may use";
    py(R"(
for n in (511, 512): np.save('a%d.npy' % n, np.random.default_rng(n).integers(0, 2**31, (n, n)).astype('<i4'))
)");
    // 255 // 16 = 15 blocks per half stays classical, 256 // 16 = 16 switches.
    // Run on two CPUs, or given a list of two, --workers 1000 is lowered to
    // those two (the CPU list itself: cpu_env_test).
    const string two_cpus = "taskset -c " + std::to_string(usable[0]) + "," + std::to_string(usable[1]);
    const string two_listed = "KORVANE_CPUS=" + std::to_string(usable[1]) + "," + std::to_string(usable[0]);
    for (auto [n, workers, env, route] :
         {std::tuple<string, string, string, string>{"511", "2", "", "classical"},
          {"512", "1000", two_cpus, "bundles"}, {"511", "1000", two_listed, "classical"}}) {
        auto r = run_program(dir_, "a" + n + ".npy a" + n + ".npy c.npy --p 65521 --block 16 --workers " + workers, env);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("N = " + n + " (internal 512), p = 65521, route " + route + ", 2 workers, block 16;"),
                  npos) << env << "\n" << r.out;
        EXPECT_EQ(compare("a" + n + ".npy", "a" + n + ".npy", "c.npy", 65521), "ok\n") << n;
    }
}

TEST_F(ModpCli, RejectedInputsAndOptions) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "compares standard error byte for byte, and a sanitizer adds its own warnings on failed allocations";
#endif
    py(R"(
np.save('a.npy', np.arange(16, dtype='<i4').reshape(4, 4))
np.save('frac.npy', np.full((4, 4), 2.25))
np.save('b5.npy', np.zeros((5, 5), dtype='<i4'))
np.save('be.npy', np.zeros((4, 4), dtype='>i4'))
)");
    const string usage =
        "usage: " + modp_test::program_path() +
        " A_file B_file C_file --p P [--mode auto|fmm|classical] [--n N] [--workers W] [--block B] [--check]\n"
        "       files: .npy (int32, int64, uint16, uint32 or integer-valued float64; C order; square) or raw int32\n";
    const string limits = "FAILED invalid --workers, --block or --p\n";
    // out: a part of the standard output, when the failure comes after the start line.
    struct Case { string args; int status; string err; string out = ""; };
    const Case cases[] = {
        {"a.npy a.npy c.npy", 2, usage}, {"a.npy a.npy c.npy --p 1", 2, usage}, {"a.npy a.npy --p 7", 2, usage},
        {"a.npy a.npy c.npy --p 2147483648", 2, limits}, {"a.npy a.npy c.npy --p 7 --block 15", 2, limits},
        {"a.npy a.npy c.npy --p 7 --workers 0", 2, limits},
        // Blocks whose padding, doubling or matrix size cannot be represented.
        {"a.npy a.npy c.npy --p 7 --block -1", 2, limits},
        {"a.npy a.npy c.npy --p 7 --block 9223372036854775800", 2, limits},
        {"a.npy a.npy c.npy --p 2 --block 1099511627776 --mode fmm", 2, limits},
        {"a.npy a.npy c.npy --p 2 --block 1073741824 --mode classical", 0, ""},
        {"a.npy a.npy c.npy --p", 2, "FAILED missing value after --p\n"},
        {"a.npy a.npy c.npy --p x", 2, "FAILED stoll\n"}, {"a.npy a.npy c.npy --p 7 --n z", 2, "FAILED stoul\n"},
        {"a.npy a.npy c.npy --p 7 --workers 9999999999", 2, "FAILED stoi\n"},
        {"a.npy a.npy c.npy --p 7 --fast", 2, "FAILED unknown option --fast\n"},
        {"a.npy a.npy c.npy --p 7 --mode pan", 2, "FAILED unknown mode pan\n"},
        {"a.npy b5.npy c.npy --p 7", 2, "FAILED A and B must be square matrices of the same size\n"},
        // One file refusal; the others: io_test.
        {"be.npy a.npy c.npy --p 7", 2,
         "FAILED be.npy: dtype must be int32, int64, uint16, uint32 or float64 (little-endian)\n"},
        {"missing.npy a.npy c.npy --p 7", 2, "FAILED cannot open missing.npy\n"},
        {"a.npy a.npy no/dir/c.npy --p 7", 2, "FAILED cannot create no/dir/c.npy\n"},
        // Failures once the workers run end the process cleanly (joined, not
        // hanging or aborting): a read failure, and an allocation that cannot
        // be satisfied (internal side 2^27 from a huge block) with status 1.
        {"a.npy frac.npy c.npy --p 7 --workers 2", 2, "FAILED frac.npy: float64 input contains non-integer values\n",
         "route classical, 2 workers"},
        {"a.npy a.npy c.npy --p 2 --block 67108864 --mode fmm --workers 2", 1, "alloc failed\n", "(internal 134217728)"},
    };
    for (const Case& c : cases) {
        auto r = run_program(dir_, c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.err, c.err) << c.args;
            EXPECT_NE(r.out.find(c.out), npos) << c.args << "\n" << r.out;
            EXPECT_FALSE(file_exists(path("c.npy"))) << c.args;
        }
        std::remove(path("c.npy").c_str());
    }
}

}  // namespace
