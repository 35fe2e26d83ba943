// The exact sampled check, alone on a damaged C and inside the program,
// where a mismatch must end with status 3 and leave C unwritten.
#include <cmath>
#include <cstdint>
#include <random>
#include <set>

#include "modp/program.h"
#include "modp/tests/test_util.h"

namespace {

using ModpCheck = modp_test::ModpTest;

TEST_F(ModpCheck, CountsEveryDamagedSampledEntry) {
    const size_t n = 40, ld = 48;
    const long p = 2147483647;  // products near 2^62: the sums need 128 bits
    std::mt19937_64 rng(31);
    std::vector<double> A(n * ld, 0.0), B(n * ld, 0.0), C(n * ld, 0.0);
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
    const auto samples = torvik::check_samples(n);
    ASSERT_EQ(samples.size(), 4096u);
    for (const auto& s : samples) ASSERT_TRUE(s.i < n && s.j < n);
    EXPECT_EQ(torvik::count_check_mismatches(*pool_, samples, A.data(), B.data(), C.data(), ld, n, p), 0u);

    // Damage a few entries in several ways, including values that are not
    // residues at all; the count is the number of samples that hit them.
    const std::pair<size_t, size_t> damaged[] = {
        {samples[0].i, samples[0].j}, {samples[7].i, samples[7].j}, {samples[4095].i, samples[4095].j}, {3, 5}};
    const double bad[] = {-1.0, std::nan(""), 0.5, C[3 * ld + 5] + p};
    for (size_t d = 0; d < 4; ++d) C[damaged[d].first * ld + damaged[d].second] = bad[d];
    const std::set<std::pair<size_t, size_t>> hit(std::begin(damaged), std::end(damaged));
    size_t expected = 0;
    for (const auto& s : samples) expected += hit.count({s.i, s.j});
    EXPECT_GE(expected, 3u);
    EXPECT_EQ(torvik::count_check_mismatches(*pool_, samples, A.data(), B.data(), C.data(), ld, n, p), expected);
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
