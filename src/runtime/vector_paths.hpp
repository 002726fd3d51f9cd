// Kernels compiled for several vector widths, one chosen when the module first runs it.
//
// The package is built for baseline x86-64, so that one wheel runs everywhere. A kernel
// whose loop gains from wider vectors is compiled again for AVX2 and AVX-512 (the
// KESTRUM_VECTOR_PATHS macro below instantiates one body under each target), and the
// widest version the processor supports is used. Only operations that are exact in
// every width (loads, compares, selects, add, subtract, multiply, divide, conversions)
// may run in such a body and the build never contracts into fused multiply-adds, so
// every path gives the same bits; tests/test_vector_paths.py checks it by running each
// path, which the environment variable KESTRUM_VECTOR selects: "baseline", "avx2" or
// "avx512" (a path wider than the processor supports is never taken).
#pragma once

#include <cstdlib>
#include <cstring>

namespace vector_paths {

enum Path : int { baseline = 0, avx2 = 1, avx512 = 2 };

inline Path detect() {
    Path best = baseline;
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) best = avx2;
    if (__builtin_cpu_supports("avx512f")) best = avx512;
#endif
    if (const char* want = std::getenv("KESTRUM_VECTOR")) {
        Path asked = best;
        if (std::strcmp(want, "baseline") == 0) asked = baseline;
        if (std::strcmp(want, "avx2") == 0) asked = avx2;
        if (asked < best) best = asked;
    }
    return best;
}

// Decided once per process: the processor does not change, nor does the choice.
inline Path chosen() {
    static const Path path = detect();
    return path;
}

}  // namespace vector_paths

#if defined(__x86_64__) && defined(__GNUC__)
#define KESTRUM_TARGET_AVX2 __attribute__((target("avx2")))
#define KESTRUM_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define KESTRUM_TARGET_AVX2
#define KESTRUM_TARGET_AVX512
#endif

// Defines NAME_baseline, NAME_avx2 and NAME_avx512 with the given parameter list, each
// calling BODY (an always-inline function template or function) with ARGS, and NAME,
// which calls the one for the chosen path.
#define KESTRUM_VECTOR_PATHS(NAME, BODY, PARAMS, ARGS)                              \
    void NAME##_baseline PARAMS { BODY ARGS; }                                      \
    KESTRUM_TARGET_AVX2 void NAME##_avx2 PARAMS { BODY ARGS; }                      \
    KESTRUM_TARGET_AVX512 void NAME##_avx512 PARAMS { BODY ARGS; }                  \
    inline void NAME PARAMS {                                                       \
        switch (vector_paths::chosen()) {                                           \
            case vector_paths::avx512: return NAME##_avx512 ARGS;                   \
            case vector_paths::avx2: return NAME##_avx2 ARGS;                       \
            default: return NAME##_baseline ARGS;                                   \
        }                                                                           \
    }
