// Choosing, at run time, between kernels compiled for the baseline
// instruction set, for AVX2 and for AVX-512 (x86-64 with GCC or Clang only).
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SDF_HAVE_AVX2_KERNELS 1
#define SDF_TARGET_AVX2 __attribute__((target("avx2")))
// Every function defined between the two is compiled for AVX2.
#if defined(__clang__)
#define SDF_AVX2_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define SDF_AVX2_END _Pragma("clang attribute pop")
#else
#define SDF_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define SDF_AVX2_END _Pragma("GCC pop_options")
#endif
// The AVX-512 kernels: the foundation and the 128- and 256-bit forms of its
// instructions, with the byte, word and double-word ones.
#define SDF_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512dq")))
#if defined(__clang__)
// (One string: _Pragma does not join literals.)
#define SDF_AVX512_BEGIN                                                                        \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,avx512f,avx512vl,avx512bw,avx512dq\"))), apply_to = function)")
#define SDF_AVX512_END _Pragma("clang attribute pop")
#else
#define SDF_AVX512_BEGIN \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,avx512f,avx512vl,avx512bw,avx512dq\")")
#define SDF_AVX512_END _Pragma("GCC pop_options")
#endif
#endif

namespace sdf {

/// Which compiled kernel a computation uses. `Best` is what the processor
/// supports; the others exist so that tests can compare the kernels.
enum class KernelChoice { Best, Baseline, Avx2, Avx512 };

/// Does this processor run the AVX2 kernels?
inline bool cpu_has_avx2() {
#ifdef SDF_HAVE_AVX2_KERNELS
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

/// Does this processor run the AVX-512 kernels?
inline bool cpu_has_avx512() {
#ifdef SDF_HAVE_AVX2_KERNELS
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512dq");
    return has;
#else
    return false;
#endif
}

/// Does `choice` mean the AVX-512 kernel here? (Avx512 falls back to AVX2
/// or the baseline on a processor without it.)
inline bool use_avx512(KernelChoice choice) {
    return (choice == KernelChoice::Best || choice == KernelChoice::Avx512) && cpu_has_avx512();
}

/// May `choice` use AVX2 here? (Avx2 falls back to the baseline on a
/// processor without it; the batch kernels ask use_avx512 first.)
inline bool use_avx2(KernelChoice choice) {
    return choice != KernelChoice::Baseline && cpu_has_avx2();
}

}  // namespace sdf
