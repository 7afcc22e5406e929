// Compiler settings the numeric core cannot do without, checked in every
// file that includes it: each float operation is one IEEE single-precision
// operation, rounded on its own.
#pragma once

// Fast-math reorders sums, assumes no NaN or infinity and may flush
// subnormals: every promise about exact results would be void.
#if defined(__FAST_MATH__)
#error "the numeric core must not be compiled with fast-math"
#endif
#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "the numeric core must not be compiled with finite-math-only"
#endif
#if defined(_M_FP_FAST)
#error "the numeric core must not be compiled with /fp:fast"
#endif

// The x87 unit keeps excess precision and exponent range in its registers,
// which changes results; 32-bit x86 must compute in SSE registers.
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error "32-bit x86 needs -msse2 -mfpmath=sse for the numeric core"
#endif

// No fused multiply-add. The build passes -ffp-contract=off where the
// compiler has it; MSVC has no reliable flag (older versions contract under
// /fp:precise), so it is told here, and Clang is told again in the source.
#if defined(_MSC_VER) && !defined(__clang__)
#pragma float_control(precise, on)
#pragma fp_contract(off)
#elif defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif
