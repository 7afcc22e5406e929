// The floating-point mode the numeric core computes in.
//
// Results are exact only with round-to-nearest and subnormals honoured, but
// the mode belongs to the calling thread: another library may have turned on
// flush-to-zero / denormals-are-zero for the whole process (fast-math
// builds do so when they load), or changed the rounding direction. A
// FloatEnvGuard pins the core's mode for its lifetime and puts the caller's
// back afterwards. The common case, a caller already in that mode, costs one
// read of the control register and a comparison.
#pragma once

#include <cstdint>

#include "sdf/float_rules.hpp"

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define SDF_FLOAT_ENV_MXCSR 1
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define SDF_FLOAT_ENV_FPCR 1
#elif defined(_MSC_VER)
#include <float.h>
#define SDF_FLOAT_ENV_CONTROLFP 1
#else
#include <cfenv>
#define SDF_FLOAT_ENV_CFENV 1
#endif

namespace sdf {

namespace float_env {

#if defined(SDF_FLOAT_ENV_MXCSR)
// MXCSR: bits 0-5 are sticky exception flags (left alone); the rest is
// control: DAZ (6), exception masks (7-12), rounding (13-14), FTZ (15).
// Wanted: all exceptions masked, round to nearest, no DAZ, no FTZ.
using Word = unsigned int;
constexpr Word kControl = 0xFFC0u;
constexpr Word kWanted = 0x1F80u;
inline Word read() { return _mm_getcsr(); }
inline void write(Word w) { _mm_setcsr(w); }
#elif defined(SDF_FLOAT_ENV_FPCR)
// FPCR: FIZ (0) and AH (1) of the alternate handling, trap enables (8-12,
// 15), rounding (22-23) and FZ (24) must all be clear.
using Word = uint64_t;
constexpr Word kControl = (1u << 0) | (1u << 1) | (0x1Fu << 8) | (1u << 15) | (3u << 22) |
                          (1u << 24);
constexpr Word kWanted = 0;
inline Word read() {
    Word w;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(w));
    return w;
}
inline void write(Word w) { __asm__ __volatile__("msr fpcr, %0" : : "r"(w)); }
#elif defined(SDF_FLOAT_ENV_CONTROLFP)
// The C runtime's portable view of the control word.
using Word = unsigned int;
constexpr Word kControl = _MCW_RC | _MCW_DN | _MCW_EM;
constexpr Word kWanted = _RC_NEAR | _DN_SAVE | _MCW_EM;
inline Word read() {
    Word w = 0;
    _controlfp_s(&w, 0, 0);
    return w;
}
inline void write(Word w) {
    Word ignored = 0;
    _controlfp_s(&ignored, w & kControl, kControl);
}
#else
// Only the rounding direction is reachable in standard C++.
using Word = int;
constexpr Word kControl = ~0;
constexpr Word kWanted = FE_TONEAREST;
inline Word read() { return std::fegetround(); }
inline void write(Word w) { std::fesetround(w); }
#endif

}  // namespace float_env

/// Round to nearest, subnormals honoured, no traps, for the guard's lifetime.
class FloatEnvGuard {
  public:
    FloatEnvGuard() noexcept : saved_(float_env::read()) {
        using namespace float_env;
        changed_ = (saved_ & kControl) != kWanted;
        if (changed_) write((saved_ & ~kControl) | kWanted);
    }
    ~FloatEnvGuard() {
        using namespace float_env;
        // The caller's control bits come back; status flags raised meanwhile
        // stay raised, as they would after any other computation.
        if (changed_) write((read() & ~kControl) | (saved_ & kControl));
    }
    FloatEnvGuard(const FloatEnvGuard&) = delete;
    FloatEnvGuard& operator=(const FloatEnvGuard&) = delete;

  private:
    float_env::Word saved_;
    bool changed_;
};

}  // namespace sdf
