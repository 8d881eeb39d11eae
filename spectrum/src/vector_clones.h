// Hot loops built three times on x86-64: for the baseline, AVX2
// (x86-64-v3) and AVX-512 (x86-64-v4), chosen at load time. Wider vectors
// change no result: every operation is IEEE-exact per element and products
// are never fused into additions. kVectorClones tells code that has a
// branch-free form for vector units and a cheaper one for scalar CPUs.
#ifndef QN_SPECTRUM_VECTOR_CLONES_H
#define QN_SPECTRUM_VECTOR_CLONES_H

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define QN_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
constexpr bool kVectorClones = true;
#else
#define QN_VECTOR_CLONES
constexpr bool kVectorClones = false;
#endif

#endif
