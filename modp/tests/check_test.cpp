// The exact sampled check, alone on a damaged C and inside the program,
// where a mismatch must end with status 3 and leave C unwritten.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "modp/program.h"
#include "modp/tests/test_util.h"

namespace {

using ModpCheck = modp_test::ModpTest;

// A, B of side n (leading dimension ld) and C = A·B mod p exactly, for
// p = 2^31 - 1 and entries near p: products near 2^62, sums that need 128 bits.
struct CheckedProduct {
    static constexpr long p = 2147483647;
    size_t n, ld;
    std::vector<double> A, B, C;
    CheckedProduct(size_t side, size_t stride, unsigned seed)
        : n(side), ld(stride), A(n * ld, 0.0), B(n * ld, 0.0), C(n * ld, 0.0) {
        std::mt19937_64 rng(seed);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) {
                A[i * ld + j] = static_cast<double>(p - 1 - static_cast<long>(rng() % 3));
                B[i * ld + j] = static_cast<double>(rng() % static_cast<std::uint64_t>(p));
            }
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) {
                unsigned __int128 s = 0;
                for (size_t k = 0; k < n; ++k)
                    s += static_cast<unsigned __int128>(static_cast<std::uint64_t>(A[i * ld + k])) *
                         static_cast<std::uint64_t>(B[k * ld + j]);
                C[i * ld + j] = static_cast<double>(static_cast<std::uint64_t>(s % p));
            }
    }
    // Sampled entries of `damaged` (C with some entries changed) that the check finds wrong.
    size_t mismatches(torvik::Pool& pool, const std::vector<double>& damaged) const {
        return torvik::count_check_mismatches(pool, torvik::check_samples(n), A.data(), B.data(), damaged.data(),
                                              ld, n, p);
    }
    // C with every entry (i, j) for which hit(i, j) holds changed.
    template <class Hit>
    std::vector<double> damage(Hit hit) const {
        std::vector<double> d = C;
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j)
                if (hit(i, j)) d[i * ld + j] += 1.0;
        return d;
    }
};

// Every kind of wrong value counts, values that are not residues at all as
// well: with every entry of C wrong, every sample is a mismatch, whichever
// entries the sampler picks.
TEST_F(ModpCheck, CountsEveryDamagedSampledEntry) {
    const CheckedProduct prod(40, 48, 31);
    const auto samples = torvik::check_samples(prod.n);
    ASSERT_EQ(samples.size(), 4096u);
    for (const auto& s : samples) ASSERT_TRUE(s.i < prod.n && s.j < prod.n);
    EXPECT_EQ(prod.mismatches(*pool_, prod.C), 0u);

    std::vector<double> C = prod.C;
    for (size_t i = 0; i < prod.n; ++i)
        for (size_t j = 0; j < prod.n; ++j) {
            double& c = C[i * prod.ld + j];
            const double bad[] = {-1.0, std::nan(""), 0.5, c + CheckedProduct::p};
            c = bad[(i + j) % 4];
        }
    EXPECT_EQ(prod.mismatches(*pool_, C), 4096u);
}

// The samples cover C: a damaged quadrant, a damaged row or a damaged column
// is found wherever it lies, and each quadrant draws a fair share of the
// samples (about a quarter; at least an eighth is asked for).
TEST_F(ModpCheck, SamplesReachEveryQuadrantRowAndColumn) {
    const CheckedProduct prod(40, 48, 33);
    const size_t n = prod.n, half = n / 2;
    size_t total = 0;
    for (size_t q = 0; q < 4; ++q) {
        auto in_quadrant = [&](size_t i, size_t j) { return (i >= half) == (q >= 2) && (j >= half) == (q % 2 == 1); };
        const size_t found = prod.mismatches(*pool_, prod.damage(in_quadrant));
        EXPECT_GE(found, 4096u / 8) << "quadrant " << q / 2 << "," << q % 2;
        total += found;
    }
    EXPECT_EQ(total, 4096u);  // the quadrants split the samples between them
    for (size_t k = 0; k < n; ++k) {
        EXPECT_GT(prod.mismatches(*pool_, prod.damage([&](size_t i, size_t) { return i == k; })), 0u) << "row " << k;
        EXPECT_GT(prod.mismatches(*pool_, prod.damage([&](size_t, size_t j) { return j == k; })), 0u)
            << "column " << k;
    }
}

// Adds 1 to one sampled entry of the program's C before its check.
void damage_one_entry(double* C, size_t ld, size_t n) {
    const auto s = torvik::check_samples(n);
    C[s[10].i * ld + s[10].j] += 1.0;
}

TEST_F(ModpCheck, ProgramStopsWithStatusThreeAndWritesNothing) {
    py("np.save('a.npy', np.random.default_rng(32).integers(-2**31, 2**31, (64, 64), dtype=np.int64).astype('<i4'))\n");
    const std::string a = path("a.npy"), c = path("c.npy");
    const auto s = torvik::check_samples(64);
    size_t hits = 0;
    for (const auto& cs : s) hits += (cs.i == s[10].i && cs.j == s[10].j);
    for (std::string mode : {"fmm", "classical"}) {
        std::vector<std::string> args = {"korvane_multiply_modp", a, a, c, "--p", "65521", "--mode", mode,
                                         "--block", "16", "--workers", "4", "--check"};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        torvik::before_check_hook = damage_one_entry;
        testing::internal::CaptureStdout();
        const int status = torvik::modp_main(static_cast<int>(args.size()), argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        torvik::before_check_hook = nullptr;
        EXPECT_EQ(status, 3) << mode;
        EXPECT_NE(out.find("check: " + std::to_string(hits) +
                           " of 4096 sampled entries differ from the exact value mod p  ** ERROR **\n"),
                  std::string::npos) << out;
        EXPECT_EQ(out.find("wrote"), std::string::npos) << out;
        EXPECT_FALSE(modp_test::file_exists(c)) << mode;
    }
}

}  // namespace
