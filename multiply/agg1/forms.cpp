// Compiled with -mavx2 -mfma -ffp-contract=off: every fused multiply-add is
// explicit and nothing else is fused, so each packed element rounds exactly as
// term_product.h states.
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "multiply/agg1/simd.h"
#include "multiply/agg1/term_product.h"

namespace agg1 {

bool general_forms_only = false;

namespace {

using u64 = std::uint64_t;

constexpr u64 kPrefetchRows = 4;  // B rows fetched ahead of the one being packed

// How one packed element is formed from its terms. Each form has an 8-wide
// combination (wide, given a loader of term t's 8 floats) and a one-float
// tail (tail, given a reader of term t's float).
//
// Any coefficients, N terms: the 8-wide path tests each term's kind; the tail
// chains forms.count terms as x*alpha, then fma(x, alpha, v).
template <int N>
struct ByCount {
    template <class Load>
    static __m256 wide(const FormSet& f, Load load) {
        __m256 x = load(0);
        __m256 v;
        if (f.kind[0] == kPlusOne)
            v = x;
        else if (f.kind[0] == kMinusOne)
            v = _mm256_sub_ps(_mm256_setzero_ps(), x);
        else
            v = _mm256_mul_ps(x, _mm256_set1_ps(f.coef[0]));
#pragma GCC unroll 8
        for (int t = 1; t < N; ++t) {
            x = load(t);
            if (f.kind[t] == kPlusOne)
                v = _mm256_add_ps(v, x);
            else if (f.kind[t] == kMinusOne)
                v = _mm256_sub_ps(v, x);
            else
                v = _mm256_fmadd_ps(x, _mm256_set1_ps(f.coef[t]), v);
        }
        return v;
    }
    template <class Read>
    static float tail(const FormSet& f, Read read) {
        float v = read(0) * f.coef[0];
        for (int t = 1; t < f.count; ++t) v = std::fma(read(t), f.coef[t], v);
        return v;
    }
};

// One to three +-1 terms, the signs fixed at compile time (bit t of MASK set:
// term t is subtracted): the signed sum from left to right. A negated first
// term is 0 - x in the 8-wide path and an exact sign flip in the tail.
template <int N, int MASK>
struct BySign {
    template <class Load>
    static __m256 wide(const FormSet&, Load load) {
        __m256 v = (MASK & 1) ? _mm256_sub_ps(_mm256_setzero_ps(), load(0)) : load(0);
        if constexpr (N > 1) v = (MASK & 2) ? _mm256_sub_ps(v, load(1)) : _mm256_add_ps(v, load(1));
        if constexpr (N > 2) v = (MASK & 4) ? _mm256_sub_ps(v, load(2)) : _mm256_add_ps(v, load(2));
        return v;
    }
    template <class Read>
    static float tail(const FormSet&, Read read) {
        float v = (MASK & 1) ? -read(0) : read(0);
        if constexpr (N > 1) v = (MASK & 2) ? v - read(1) : v + read(1);
        if constexpr (N > 2) v = (MASK & 4) ? v - read(2) : v + read(2);
        return v;
    }
};

// A panels: strip s (6 rows) at dst + s*stride, depth step k at offset 6k.
// Full strips go 8 depth steps at a time: six rows combined 8 wide, transposed
// to eight 6-row groups (two zeros each) and stored in ascending depth, so
// each store's zeros fall on the next step's first two floats (or, after the
// last group, on the two floats that follow it). The rest is one float at a
// time, with 0.0 for the rows past the strip's height.
template <class Form>
u64 pack_a(u64 rows, u64 k_len, const FormSet& f, float* dst, u64 stride) {
    const u64 strips = (rows + 5) / 6;
    const int terms = std::clamp(f.count, 1, 8);
    for (u64 s = 0; s < strips; ++s) {
        const u64 height = std::min<u64>(6, rows - 6 * s);
        float* const panel = dst + s * stride;
        const float* row[8][6];
        for (int t = 0; t < terms; ++t)
            for (u64 r = 0; r < height; ++r) row[t][r] = f.data[t] + (6 * s + r) * f.ld[t];
        u64 k = 0;
        if (height == 6) {
            for (; k + 8 <= k_len; k += 8) {
                // A strip reads six rows of every term at once, more streams
                // than the hardware prefetcher follows: fetch the same depth
                // of the next strip's rows while this one is formed.
                if (k % 16 == 0 && s + 1 < strips)
                    for (int t = 0; t < terms; ++t)
                        for (u64 r = 0; r < 6; ++r)
                            _mm_prefetch(reinterpret_cast<const char*>(f.data[t] + (6 * s + 6 + r) * f.ld[t] + k),
                                         _MM_HINT_T0);
                __m256 v[6], g[8];
                for (int r = 0; r < 6; ++r)
                    v[r] = Form::wide(f, [&](int t) { return _mm256_loadu_ps(row[t][r] + k); });
                transpose_6x8(v, g);
                for (int j = 0; j < 8; ++j) _mm256_storeu_ps(panel + 6 * (k + j), g[j]);
            }
        }
        for (; k < k_len; ++k) {
            float* const d = panel + 6 * k;
            u64 r = 0;
            for (; r < height; ++r) d[r] = Form::tail(f, [&](int t) { return row[t][r][k]; });
            for (; r < 6; ++r) d[r] = 0.0f;
        }
    }
    return strips;
}

// B panels: row k of panel p at dst + p*stride + 16k. Whole 16-column panels
// are two 8-wide combinations per row; the last, narrower panel is formed one
// float at a time with 0.0 in its columns past cols.
template <class Form>
void pack_b(u64 k_len, u64 cols, const FormSet& f, float* dst, u64 stride) {
    const u64 full = cols / 16;
    const u64 rem = cols % 16;
    const int terms = std::clamp(f.count, 1, 8);
    for (u64 k = 0; k < k_len; ++k) {
        const float* row[8];
        for (int t = 0; t < terms; ++t) row[t] = f.data[t] + k * f.ld[t];
        // Rows are short runs far apart: fetch a few rows ahead.
        if (k + kPrefetchRows < k_len)
            for (int t = 0; t < terms; ++t)
                for (u64 c = 0; c < cols; c += 16)
                    _mm_prefetch(reinterpret_cast<const char*>(row[t] + kPrefetchRows * f.ld[t] + c), _MM_HINT_T0);
        for (u64 p = 0; p < full; ++p) {
            float* const d = dst + p * stride + 16 * k;
            const u64 c = 16 * p;
            _mm256_store_ps(d, Form::wide(f, [&](int t) { return _mm256_loadu_ps(row[t] + c); }));
            _mm256_store_ps(d + 8, Form::wide(f, [&](int t) { return _mm256_loadu_ps(row[t] + c + 8); }));
        }
        if (rem != 0) {
            float* const d = dst + full * stride + 16 * k;
            const u64 c0 = 16 * full;
            u64 c = 0;
            for (; c < rem; ++c) d[c] = Form::tail(f, [&](int t) { return row[t][c0 + c]; });
            for (; c < 16; ++c) d[c] = 0.0f;
        }
    }
}

using PackA = u64 (*)(u64, u64, const FormSet&, float*, u64);
using PackB = void (*)(u64, u64, const FormSet&, float*, u64);

// Specialised variants indexed by 8*(count - 1) + mask; count 1 uses masks
// 0-1, count 2 masks 0-3, count 3 masks 0-7.
template <template <class> class Packer, class Fn>
constexpr void fill_signed(Fn (&table)[24]) {
    table[0] = Packer<BySign<1, 0>>::fn;
    table[1] = Packer<BySign<1, 1>>::fn;
    table[8] = Packer<BySign<2, 0>>::fn;
    table[9] = Packer<BySign<2, 1>>::fn;
    table[10] = Packer<BySign<2, 2>>::fn;
    table[11] = Packer<BySign<2, 3>>::fn;
    table[16] = Packer<BySign<3, 0>>::fn;
    table[17] = Packer<BySign<3, 1>>::fn;
    table[18] = Packer<BySign<3, 2>>::fn;
    table[19] = Packer<BySign<3, 3>>::fn;
    table[20] = Packer<BySign<3, 4>>::fn;
    table[21] = Packer<BySign<3, 5>>::fn;
    table[22] = Packer<BySign<3, 6>>::fn;
    table[23] = Packer<BySign<3, 7>>::fn;
}

template <class Form>
struct APacker {
    static constexpr PackA fn = pack_a<Form>;
};
template <class Form>
struct BPacker {
    static constexpr PackB fn = pack_b<Form>;
};

struct SignedTables {
    PackA a[24] = {};
    PackB b[24] = {};
    constexpr SignedTables() {
        fill_signed<APacker>(a);
        fill_signed<BPacker>(b);
    }
};
constexpr SignedTables signed_tables;

constexpr PackB count_b[8] = {pack_b<ByCount<1>>, pack_b<ByCount<2>>, pack_b<ByCount<3>>, pack_b<ByCount<4>>,
                              pack_b<ByCount<5>>, pack_b<ByCount<6>>, pack_b<ByCount<7>>, pack_b<ByCount<8>>};

// Sign mask of a set of at most three +-1 terms: bit i set when term i is -1.
std::int32_t sign_mask(const FormSet& set) {
    std::int32_t mask = 0;
    for (int t = 0; t < set.count && t < 3; ++t)
        if (set.kind[t] == kMinusOne) mask |= 1 << t;
    return mask;
}

}  // namespace

bool uses_signed_forms(const FormSet& f) {
    if (general_forms_only || f.count < 1 || f.count > 3) return false;
    for (int t = 0; t < f.count; ++t)
        if (f.kind[t] == kGeneral) return false;
    return true;
}

void transpose_8x8(float* out, __m256 r0, __m256 r1, __m256 r2, __m256 r3, __m256 r4, __m256 r5) {
    const __m256 r[6] = {r0, r1, r2, r3, r4, r5};
    __m256 g[8];
    transpose_6x8(r, g);
    for (int k = 0; k < 8; ++k) _mm256_store_ps(out + 8 * k, g[k]);
}

#define AGG1_FORM_A(N)                                                                               \
    u64 form_a_terms_##N(u64 rows, u64 k_len, const FormSet* forms, float* dst, u64 panel_stride) { \
        return pack_a<ByCount<N>>(rows, k_len, *forms, dst, panel_stride);                          \
    }
AGG1_FORM_A(1)
AGG1_FORM_A(2)
AGG1_FORM_A(3)
AGG1_FORM_A(4)
AGG1_FORM_A(5)
AGG1_FORM_A(6)
AGG1_FORM_A(7)
AGG1_FORM_A(8)
#undef AGG1_FORM_A

u64 form_a_signed(u64 rows, u64 k_len, const FormSet* forms, float* dst, u64 panel_stride) {
    return signed_tables.a[8 * (forms->count - 1) + sign_mask(*forms)](rows, k_len, *forms, dst, panel_stride);
}

void form_b_terms_pack(u64 k_len, u64 cols, const FormSet* forms, float* dst, u64 panel_stride) {
    if (k_len == 0) return;
    if (uses_signed_forms(*forms)) {
        signed_tables.b[8 * (forms->count - 1) + sign_mask(*forms)](k_len, cols, *forms, dst, panel_stride);
        return;
    }
    const int count = forms->count >= 1 && forms->count <= 8 ? forms->count : 8;
    count_b[count - 1](k_len, cols, *forms, dst, panel_stride);
}

}  // namespace agg1
