// Generated inputs of the benchmark: eleven data distributions, seeded and
// independent of the worker count, with the padding canary around them.
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "multiply/bench/bench.h"
#include "multiply/method/problem.h"
#include "multiply/method/square_view.h"

namespace bench {

InputJob input_job;

namespace {

struct NamedDistribution {
    const char* name;
    Distribution distribution;
};

constexpr NamedDistribution kDistributions[] = {
    {"balanced", Distribution::balanced}, {"integer", Distribution::integer},
    {"dyadic", Distribution::dyadic},     {"cancel", Distribution::cancel},
    {"positive", Distribution::positive}, {"scaled", Distribution::scaled},
    {"inner_scaled", Distribution::inner_scaled}, {"rational", Distribution::rational},
    {"colsign", Distribution::colsign},   {"rowsign", Distribution::rowsign},
    {"halfsign", Distribution::halfsign},
};

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ull;

// -1.0 when mix(key) is odd, else +1.0.
float sign_of(std::uint64_t key) { return (mix(key) & 1) ? -1.0f : 1.0f; }

// A value in [-0.5, 0.5): the top 32 bits of h read as a signed int32, times 2^-32.
float unit_value(std::uint64_t h) {
    return static_cast<float>(static_cast<std::int32_t>(h >> 32)) * 2.3283064e-10f;
}

float pow2(int e) { return std::ldexp(1.0f, e); }

}  // namespace

Distribution distribution_from_name(const std::string& name) {
    for (const auto& d : kDistributions)
        if (name == d.name) return d.distribution;
    throw std::runtime_error("invalid data distribution");
}

bool data_is(const char* name) { return problem.data_distribution == name; }

std::uint64_t mix(std::uint64_t x) {
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

InputPair input_values(Distribution d, std::uint64_t seed, std::uint64_t n, std::uint64_t r,
                       std::uint64_t c) {
    const std::uint64_t idx = r * n + c;
    if (d == Distribution::integer || d == Distribution::rational || d == Distribution::dyadic) {
        const int ia = static_cast<int>(mix(0x9e3779b97f4a7c32ull - 18 + seed + idx) % 5) - 2;
        const int ib = static_cast<int>(mix(0x9e3779b97f4a7c32ull + seed + idx) % 5) - 2;
        if (d == Distribution::dyadic)
            return {static_cast<float>(ia) * 0.125f, static_cast<float>(ib) * 0.125f};
        return {static_cast<float>(ia), static_cast<float>(ib)};
    }
    const std::uint64_t key = (seed + 1) * 0x3c6ef372fe94f82aull + idx;
    const float a = unit_value(mix(key));
    const float b = unit_value(mix(key + kGolden));
    // A[i][k] has i = r, k = c; B[k][j] has k = r, j = c.
    switch (d) {
        case Distribution::balanced:
            return {a, b};
        case Distribution::positive:
            return {a + 0.5f, b + 0.5f};
        case Distribution::scaled:
            return {a * pow2(2 * static_cast<int>(r % 9) - 8), b * pow2(8 - 2 * static_cast<int>(c % 9))};
        case Distribution::inner_scaled:
            return {a * pow2(2 * static_cast<int>(c % 9) - 8), b * pow2(8 - 2 * static_cast<int>(r % 9))};
        case Distribution::cancel:
            return {a * pow2(-10) + 1.0f, b * pow2(-10) + ((r & 1) ? -1.0f : 1.0f)};
        case Distribution::colsign:
            return {a * pow2(-6) + sign_of(0x9e3779b97f4a7c62ull + c),
                    b * pow2(-6) + sign_of(0x9e3779b97f4a7c70ull + r)};
        case Distribution::rowsign:
            return {a * pow2(-6) + sign_of(0x9e3779b97f4a7c62ull + r),
                    b * pow2(-6) + sign_of(0x9e3779b97f4a7c70ull + c)};
        case Distribution::halfsign:
            return {a * pow2(-6) + (r < n / 2 ? 1.0f : -1.0f), b * pow2(-6) + (c < n / 2 ? 1.0f : -1.0f)};
        default:
            return {a, b};  // the exact distributions returned above
    }
}

void generate_inputs_job(int w) {
    const InputJob& job = input_job;
    const std::uint64_t n = job.n, ld = job.ld;
    const square_view::Range rows = square_view::job_range(w, job.workers, n);
    const std::uint32_t nan_bits = 0x7fc00000u;  // quiet NaN
    float nan;
    std::memcpy(&nan, &nan_bits, sizeof(nan));
    for (std::uint64_t i = rows.first; i < rows.last; ++i) {
        float* a = job.a + i * ld;
        float* b = job.b + i * ld;
        float* c = job.c + i * ld;
        float* r = job.r ? job.r + i * ld : nullptr;
        for (std::uint64_t col = 0; col < n; ++col) {
            const InputPair v = input_values(job.distribution, job.seed, n, i, col);
            a[col] = v.a;
            b[col] = v.b;
        }
        for (std::uint64_t col = 0; col < n; ++col) c[col] = nan;
        if (r)
            for (std::uint64_t col = 0; col < n; ++col) r[col] = nan;
        for (std::uint64_t col = n; col < ld; ++col) {
            a[col] = kCanary;
            b[col] = kCanary;
            c[col] = kCanary;
            if (r) r[col] = kCanary;
        }
    }
}

bool padding_intact(const float* m, std::uint64_t n, std::uint64_t ld) {
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t col = n; col < ld; ++col)
            if (!(m[i * ld + col] == kCanary)) return false;
    return true;
}

}  // namespace bench
