// The real program, run as a subprocess on numpy fixtures; numpy's int64
// (A % p) @ (B % p) % p is the oracle (exact while N*(p-1)^2 < 2^63).
#include <gtest/gtest.h>

#include <string>

#include "modp/tests/test_util.h"

namespace {

using modp_test::file_exists;
using modp_test::read_file;
using modp_test::run_program;
using modp_test::run_python;

class ModpCli : public ::testing::Test {
protected:
    void SetUp() override { dir_ = modp_test::make_temp_dir(); }
    void TearDown() override { modp_test::remove_dir(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Prints "ok" when the int32 result file equals the oracle for inputs a, b.
    std::string compare(const std::string& a, const std::string& b, const std::string& c, long long p,
                        bool raw_inputs = false, int n = 0) {
        std::string load = raw_inputs
            ? "A = np.fromfile('" + a + "', dtype='<i4').reshape(" + std::to_string(n) + ", -1)\n"
              "B = np.fromfile('" + b + "', dtype='<i4').reshape(" + std::to_string(n) + ", -1)\n"
            : "A = np.load('" + a + "')\nB = np.load('" + b + "')\n";
        std::string read_c = c.size() > 4 && c.substr(c.size() - 4) == ".npy"
            ? "C = np.load('" + c + "')\n"
            : "C = np.fromfile('" + c + "', dtype='<i4').reshape(A.shape)\n";
        return run_python(dir_, load + read_c + "p = " + std::to_string(p) + R"(
A = A.astype(np.int64) % p
B = B.astype(np.int64) % p
assert A.shape[0] * (p - 1) ** 2 < 2 ** 63
R = (A @ B) % p
print('ok' if C.dtype == np.int32 and C.shape == R.shape and (C == R).all() else 'WRONG')
)");
    }

    std::string dir_;
};

TEST_F(ModpCli, EveryInputTypeGivesTheExactProductOnEveryRoute) {
    run_python(dir_, R"(
r = np.random.default_rng(21)
n = 300
np.save('i4a.npy', r.integers(-2**31, 2**31, (n, n), dtype=np.int64).astype('<i4'))
np.save('i4b.npy', r.integers(-2**31, 2**31, (n, n), dtype=np.int64).astype('<i4'))
np.save('i8a.npy', r.integers(-2**62, 2**62, (n, n), dtype=np.int64))
np.save('u2b.npy', r.integers(0, 2**16, (n, n)).astype('<u2'))
np.save('u4a.npy', r.integers(0, 2**32, (n, n), dtype=np.uint64).astype('<u4'))
np.save('f8b.npy', r.integers(-9 * 10**15, 9 * 10**15, (n, n), dtype=np.int64).astype('<f8'))
np.lib.format.write_array(open('v2a.npy', 'wb'), r.integers(-5, 5, (n, n)).astype('<i4'), version=(2, 0))
)");
    const std::string opts = " --workers 4 --block 16";
    struct Case { const char* a; const char* b; long long p; };
    for (Case c : {Case{"i4a.npy", "i4b.npy", 65521}, Case{"i8a.npy", "u2b.npy", 1000003},
                   Case{"u4a.npy", "f8b.npy", 2}, Case{"v2a.npy", "i8a.npy", 2097143}}) {
        std::string outputs[3];
        const char* modes[3] = {"fmm", "classical", "auto"};
        for (int m = 0; m < 3; ++m) {
            const std::string out = std::string("c_") + modes[m] + ".npy";
            auto r = run_program(dir_, std::string(c.a) + " " + c.b + " " + out + " --p " +
                                           std::to_string(c.p) + " --mode " + modes[m] + opts + " --check");
            ASSERT_EQ(r.status, 0) << c.a << " " << modes[m] << " " << r.err;
            EXPECT_NE(r.out.find("check: 0 of 4096 sampled entries differ from the exact value mod p (exact)\n"),
                      std::string::npos) << r.out;
            EXPECT_NE(r.out.find("wrote " + out + " (300 x 300 int32, entries in [0, " + std::to_string(c.p) + ")) in "),
                      std::string::npos) << r.out;
            outputs[m] = read_file(path(out));
        }
        EXPECT_EQ(compare(c.a, c.b, "c_fmm.npy", c.p), "ok\n") << c.a << " " << c.b;
        EXPECT_EQ(outputs[0], outputs[1]);
        EXPECT_EQ(outputs[0], outputs[2]);
    }
}

TEST_F(ModpCli, RawFilesInAndOut) {
    run_python(dir_, R"(
r = np.random.default_rng(22)
r.integers(-2**31, 2**31, (48, 48), dtype=np.int64).astype('<i4').tofile('a.bin')
r.integers(-2**31, 2**31, (48, 48), dtype=np.int64).astype('<i4').tofile('b.bin')
)");
    // Side found from the size, and given with --n; raw output has no header.
    auto r = run_program(dir_, "a.bin b.bin c.bin --p 65521 --workers 3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("korvane_multiply_modp: N = 48 (internal 64), p = 65521, route classical, 3 workers, block 1024; "
                          "largest intermediate < ", 0), 0u) << r.out;
    EXPECT_EQ(read_file(path("c.bin")).size(), 48u * 48u * 4u);
    EXPECT_EQ(compare("a.bin", "b.bin", "c.bin", 65521, true, 48), "ok\n");
    auto r2 = run_program(dir_, "--n 48 a.bin --mode fmm b.bin c2.npy --block 16 --p 65521 --workers 2");
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(compare("a.bin", "b.bin", "c2.npy", 65521, true, 48), "ok\n");
    auto r3 = run_program(dir_, "a.bin b.bin c3.bin --n 47 --p 65521");
    EXPECT_EQ(r3.status, 2);
    EXPECT_EQ(r3.err, "FAILED a.bin: raw file size is not N*N*4 bytes (int32; give --n N)\n");
}

TEST_F(ModpCli, LargestAdmissibleModulusOnBothRoutes) {
    // N = 20 with block 16: internal side 32 on both routes. The largest p
    // keeping the route's bound below 2^53 runs, p + 1 is refused before any
    // work; all -1 inputs give N*(p-1)^2 mod p everywhere.
    const std::string limits = run_python(dir_, R"(
def pmax(coef):
    lo, hi = 2, 2**31 - 1
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if coef * (mid - 1) ** 2 + mid < 2**53: lo = mid
        else: hi = mid - 1
    return lo
n, d = 20, 32
pc, pf = pmax(d), pmax(7 * d // 2)
np.save('m1.npy', np.full((n, n), -1, dtype='<i4'))
r = np.random.default_rng(23)
np.save('ra.npy', r.integers(pf - 1000, pc, (n, n), dtype=np.int64))
np.save('rb.npy', r.integers(pf - 1000, pc, (n, n), dtype=np.int64))
print(pc, pf)
)");
    long long pc = 0, pf = 0;
    ASSERT_EQ(std::sscanf(limits.c_str(), "%lld %lld", &pc, &pf), 2);
    EXPECT_EQ(pc, 16777216);  // 32*(p-1)^2 + p < 2^53 up to p - 1 = 2^24 - 1
    struct Route { const char* mode; long long p; };
    for (Route rt : {Route{"classical", pc}, Route{"fmm", pf}}) {
        const std::string common = std::string(" --mode ") + rt.mode + " --block 16 --workers 4 --check";
        auto ok = run_program(dir_, "m1.npy m1.npy c.npy --p " + std::to_string(rt.p) + common);
        ASSERT_EQ(ok.status, 0) << rt.mode << ok.err;
        EXPECT_NE(ok.out.find("N = 20 (internal 32)"), std::string::npos) << ok.out;
        const std::string all = run_python(dir_, "p = " + std::to_string(rt.p) + R"(
C = np.load('c.npy')
print(bool((C == (20 * (p - 1) ** 2) % p).all()))
)");
        EXPECT_EQ(all, "True\n") << rt.mode;
        auto ok2 = run_program(dir_, "ra.npy rb.npy c2.npy --p " + std::to_string(rt.p) + common);
        ASSERT_EQ(ok2.status, 0) << ok2.err;
        EXPECT_EQ(compare("ra.npy", "rb.npy", "c2.npy", rt.p), "ok\n") << rt.mode;

        auto refused = run_program(dir_, "m1.npy m1.npy c3.npy --p " + std::to_string(rt.p + 1) + common);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.err, "FAILED p too large for exact FP64 arithmetic at this size (bound >= 2^53)\n");
        EXPECT_EQ(refused.out, "");
        EXPECT_FALSE(file_exists(path("c3.npy")));
    }
}

TEST_F(ModpCli, AutoSwitchesToBundlesAtSixteenBlocksPerHalf) {
    run_python(dir_, R"(
r = np.random.default_rng(24)
for n in (511, 512):
    np.save('a%d.npy' % n, r.integers(0, 2**31, (n, n)).astype('<i4'))
)");
    auto small = run_program(dir_, "a511.npy a511.npy c511.npy --p 65521 --block 16 --workers 8");
    ASSERT_EQ(small.status, 0) << small.err;
    EXPECT_NE(small.out.find("N = 511 (internal 512), p = 65521, route classical, 8 workers, block 16;"),
              std::string::npos) << small.out;
    auto big = run_program(dir_, "a512.npy a512.npy c512.npy --p 65521 --block 16 --workers 1000");
    ASSERT_EQ(big.status, 0) << big.err;
    EXPECT_NE(big.out.find("N = 512 (internal 512), p = 65521, route bundles, 8 workers, block 16;"),
              std::string::npos) << big.out;
    EXPECT_EQ(compare("a511.npy", "a511.npy", "c511.npy", 65521), "ok\n");
    EXPECT_EQ(compare("a512.npy", "a512.npy", "c512.npy", 65521), "ok\n");
}

TEST_F(ModpCli, RejectedInputsAndOptions) {
    run_python(dir_, R"(
np.save('a.npy', np.arange(16, dtype='<i4').reshape(4, 4))
np.save('b5.npy', np.zeros((5, 5), dtype='<i4'))
np.save('be.npy', np.zeros((4, 4), dtype='>i4'))
np.save('u1.npy', np.zeros((4, 4), dtype='|u1'))
np.save('f4.npy', np.zeros((4, 4), dtype='<f4'))
np.save('fo.npy', np.asfortranarray(np.arange(16, dtype='<i4').reshape(4, 4)))
f = np.zeros((4, 4)); f[2, 1] = 0.5; np.save('frac.npy', f)
f = np.zeros((4, 4)); f[3, 3] = np.nan; np.save('nan.npy', f)
h = "{'descr': '<i4', 'fortran_order': False, 'shape': (2147483648, 2147483648), }".encode()
open('wrap.npy', 'wb').write(b'\x93NUMPY\x01\x00' + len(h).to_bytes(2, 'little') + h)
)");
    const std::string usage =
        "usage: " + modp_test::program_path() +
        " A_file B_file C_file --p P [--mode auto|fmm|classical] [--n N] [--workers W] [--block B] [--check]\n"
        "       files: .npy (int32, int64, uint16, uint32 or integer-valued float64; C order; square) or raw int32\n";
    const std::string limits = "FAILED invalid --workers, --block or --p\n";
    struct Case { std::string args; int status; std::string err; };
    const std::string dt = ": dtype must be int32, int64, uint16, uint32 or float64 (little-endian)\n";
    const Case cases[] = {
        {"a.npy a.npy c.npy", 2, usage},
        {"a.npy a.npy c.npy --p 1", 2, usage},
        {"a.npy a.npy c.npy --p 0", 2, usage},
        {"a.npy a.npy --p 7", 2, usage},
        {"a.npy a.npy c.npy d.npy --p 7", 2, usage},
        {"a.npy a.npy c.npy --p 2147483648", 2, limits},
        {"a.npy a.npy c.npy --p 7 --block 15", 2, limits},
        {"a.npy a.npy c.npy --p 7 --workers 0", 2, limits},
        {"a.npy a.npy c.npy --p 7 --block -1", 2, limits},
        {"a.npy a.npy c.npy --p 7 --block 9223372036854775800", 2, limits},
        {"a.npy a.npy c.npy --p 2 --block 1099511627776 --mode fmm", 2, limits},
        {"a.npy a.npy c.npy --p 2 --block 1073741824 --mode classical", 0, ""},
        {"a.npy a.npy c.npy --p", 2, "FAILED missing value after --p\n"},
        {"a.npy a.npy c.npy --p 7 --mode", 2, "FAILED missing value after --mode\n"},
        {"a.npy a.npy c.npy --p x", 2, "FAILED stoll\n"},
        {"a.npy a.npy c.npy --p 99999999999999999999", 2, "FAILED stoll\n"},
        {"a.npy a.npy c.npy --p 7 --workers 9999999999", 2, "FAILED stoi\n"},
        {"a.npy a.npy c.npy --p 7 --n z", 2, "FAILED stoul\n"},
        {"a.npy a.npy c.npy --p 7 --fast", 2, "FAILED unknown option --fast\n"},
        {"a.npy a.npy c.npy --p 7 --mode pan", 2, "FAILED unknown mode pan\n"},
        {"a.npy b5.npy c.npy --p 7", 2, "FAILED A and B must be square matrices of the same size\n"},
        {"be.npy a.npy c.npy --p 7", 2, "FAILED be.npy" + dt},
        {"a.npy u1.npy c.npy --p 7", 2, "FAILED u1.npy" + dt},
        {"f4.npy a.npy c.npy --p 7", 2, "FAILED f4.npy" + dt},
        {"fo.npy a.npy c.npy --p 7", 2, "FAILED fo.npy: array must be in C (row-major) order\n"},
        {"wrap.npy a.npy c.npy --p 7", 2, "FAILED wrap.npy: size does not match its header\n"},
        {"a.npy frac.npy c.npy --p 7", 2, "FAILED frac.npy: float64 input contains non-integer values\n"},
        {"nan.npy a.npy c.npy --p 7", 2, "FAILED nan.npy: float64 input contains non-integer values\n"},
        {"missing.npy a.npy c.npy --p 7", 2, "FAILED cannot open missing.npy\n"},
        {"a.npy a.npy no/dir/c.npy --p 7", 2, "FAILED cannot create no/dir/c.npy\n"},
    };
    for (const Case& c : cases) {
        auto r = run_program(dir_, c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.err, c.err) << c.args;
            EXPECT_FALSE(file_exists(path("c.npy"))) << c.args;
        }
        std::remove(path("c.npy").c_str());
    }
}

TEST_F(ModpCli, FailuresAfterThePoolStartedEndCleanly) {
    run_python(dir_, R"(
np.save('a.npy', np.arange(16, dtype='<i4').reshape(4, 4))
f = np.ones((4, 4)); f[1, 1] = 2.25; np.save('frac.npy', f)
)");
    // Reading fails once the workers are running: one failure line, status 2,
    // the workers joined (the process ends instead of hanging or aborting).
    auto r = run_program(dir_, "a.npy frac.npy c.npy --p 7 --workers 8");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("route classical, 8 workers"), std::string::npos);
    EXPECT_EQ(r.err, "FAILED frac.npy: float64 input contains non-integer values\n");
    EXPECT_FALSE(file_exists(path("c.npy")));
    // An allocation that cannot be satisfied (an internal side of 2^27 from
    // a huge block) ends with status 1 after the start line.
    auto big = run_program(dir_, "a.npy a.npy c.npy --p 2 --block 67108864 --mode fmm --workers 2");
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.err, "alloc failed\n");
    EXPECT_NE(big.out.find("(internal 134217728)"), std::string::npos) << big.out;
    EXPECT_FALSE(file_exists(path("c.npy")));
}

TEST_F(ModpCli, ChosenCpusStillGiveTheExactProduct) {
    run_python(dir_, R"(
r = np.random.default_rng(25)
np.save('a.npy', r.integers(-1000, 1000, (70, 70)).astype('<i8'))
)");
    for (const char* cpus : {"1,2", "7-6,0", "x"}) {
        auto r = run_program(dir_, "a.npy a.npy c.npy --p 65521 --workers 3 --check", std::string("KORVANE_CPUS=") + cpus);
        ASSERT_EQ(r.status, 0) << cpus << r.err;
        EXPECT_EQ(compare("a.npy", "a.npy", "c.npy", 65521), "ok\n") << cpus;
    }
}

}  // namespace
