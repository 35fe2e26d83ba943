// Included first by every AVX-512 kernel source, which is built twice:
//  - natively, with -mavx512f -mfma -ffp-contract=off, into the programs: the
//    compiler's own _mm512_* intrinsics, entries named as written;
//  - for tests only, with the AVX2/FMA kernel flags and KORVANE_AVX512_EMULATED:
//    SIMDe's portable implementations of the same _mm512_* names, every entry
//    renamed with the suffix _emulated so that both builds link into one test.
// Wrap each entry's name in KORVANE_AVX512_ENTRY(...) and keep everything else
// of the source in an anonymous namespace. Include nothing from the standard
// library that has inline functions: in the native build they would be emitted
// with AVX-512 instructions and could be picked by the linker for callers
// running on processors without it.
#pragma once

#if defined(KORVANE_AVX512_EMULATED)
#include <simde/x86/avx512.h>
#if defined(SIMDE_X86_AVX512F_NATIVE)
#error "the emulated AVX-512 build must run SIMDe's portable code (build it without -mavx512f)"
#endif

#include <cstdint>
#define KORVANE_AVX512_ENTRY(name) name##_emulated
// The hardware faults on an aligned 64-byte load or store of an address that
// is not a multiple of 64; SIMDe's portable versions do not. Trap the same way.
namespace korvane_avx512_emulation {
static inline void require_64(const void* p) {
    if (reinterpret_cast<std::uintptr_t>(p) % 64 != 0) __builtin_trap();
}
static inline simde__m512 load_ps(const void* p) {
    require_64(p);
    return simde_mm512_load_ps(p);
}
static inline void store_ps(void* p, simde__m512 v) {
    require_64(p);
    simde_mm512_store_ps(p, v);
}
}  // namespace korvane_avx512_emulation
#undef _mm512_load_ps
#undef _mm512_store_ps
#define _mm512_load_ps(p) korvane_avx512_emulation::load_ps(p)
#define _mm512_store_ps(p, v) korvane_avx512_emulation::store_ps(p, v)
// This SIMDe lacks the float-to-double widening of eight lanes: convert each
// 128-bit half with AVX, which is exact as the hardware's conversion is.
#ifndef _mm512_cvtps_pd
namespace korvane_avx512_emulation {
static inline simde__m512d cvtps_pd(simde__m256 a) {
    const simde__m512d lo = simde_mm512_insertf64x4(
        simde_mm512_setzero_pd(), simde_mm256_cvtps_pd(simde_mm256_castps256_ps128(a)), 0);
    return simde_mm512_insertf64x4(lo, simde_mm256_cvtps_pd(simde_mm256_extractf128_ps(a, 1)), 1);
}
}  // namespace korvane_avx512_emulation
#define _mm512_cvtps_pd(a) korvane_avx512_emulation::cvtps_pd(a)
#endif
#else
#if !defined(__AVX512F__) || !defined(__FMA__)
#error "native AVX-512 kernel sources need -mavx512f -mfma"
#endif
#include <immintrin.h>
#define KORVANE_AVX512_ENTRY(name) name
#endif
