// The lane loop of a run of simple children (child_runs.hpp): for each
// vector of lanes, every child of the run in its order, the folded
// distance kept in a register from the first child to the last.
//
// A child's value is sqrt(d2) - r, d2 its squared distance as the leaf
// computes it, folded into D as the list's fold does: v < D ? v : D for a
// union (minps), v > D ? v : D for an intersection (maxps). Each lane
// performs the leaf's operations in the leaf's order, so the values are
// the leaf's to the bit.
//
// No child is left out here. Leaving out a child whose value cannot beat a
// bound needs its d2 for the test, which is most of its cost: measured,
// such a test per child and vector (branch-free, or branching) took longer
// than the square roots it saved.
//
// Included by block_kernel.hpp once per instruction set, inside
// SDF_BLOCK_NS and after lane_loops.hpp; the AVX-512 and AVX2 builds spell
// the loop in intrinsics (16 and 8 lanes a register), the baseline in plain
// lane loops over one vector of lanes.
#include <cstddef>
#include <cstdint>

#include "sdf/block_lanes.hpp"
#include "sdf/child_runs.hpp"
#include "sdf/primitives.hpp"

namespace sdf {
namespace SDF_BLOCK_NS {

using namespace ::sdf::block;

#if SDF_BLOCK_AVX512

/// Sixteen lanes (GCC and Clang vector extensions: each operator is the
/// float operation on every lane; the selects compile to one min or max
/// instruction each, whose NaN and signed-zero rules are the selects').
typedef float ChildLanes __attribute__((vector_size(16 * sizeof(float))));

SDF_INLINE ChildLanes load16(const float* at) {
    ChildLanes v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

SDF_INLINE ChildLanes sqrt16(ChildLanes v) {
    for (size_t j = 0; j < 16; ++j) v[j] = __builtin_sqrtf(v[j]);
    return v;
}

/// a > b ? a : b and a < b ? a : b in one instruction each: written as
/// selects, the compiler makes these a compare and two blends.
SDF_INLINE ChildLanes first_or_max(ChildLanes a, ChildLanes b) {
    ChildLanes r;
    __asm__("vmaxps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
}
SDF_INLINE ChildLanes first_or_min(ChildLanes a, ChildLanes b) {
    ChildLanes r;
    __asm__("vminps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
}

/// Sixteen lanes of the child's value, as its leaf (and SubR) compute it:
/// the operations of the eight-lane loop below, in its order, on vectors
/// twice as wide, so that each child costs half the instructions a row.
template <RunKind Kind>
SDF_INLINE ChildLanes run_value(const float* f, ChildLanes x, ChildLanes y, ChildLanes z) {
    ChildLanes dx = x - f[0], dy = y - f[1], dz = z - f[2];
    if constexpr (Kind == RunKind::Capsule) {
        const float ex = f[3], ey = f[4], ez = f[5];
        ChildLanes h = ((dx * ex + dy * ey) + dz * ez) / f[6];
        // maxps(0, h) is 0 > h ? 0 : h, and minps(1, h) is 1 < h ? 1 : h:
        // the leaf's clamp, which lets NaN through.
        h = first_or_max(ChildLanes{} + 0.0f, h);
        h = first_or_min(ChildLanes{} + 1.0f, h);
        dx = x - (ex * h + f[0]);
        dy = y - (ey * h + f[1]);
        dz = z - (ez * h + f[2]);
    }
    return sqrt16((dx * dx + dy * dy) + dz * dz) - f[kRunRadiusAt<Kind>];
}

template <RunKind Kind, Combine How>
SDF_LANE_LOOP void child_run_loop(const ChildRun& run, const float* __restrict x,
                                  const float* __restrict y, const float* __restrict z,
                                  float* __restrict d, size_t n) {
    static_assert(kVectorLanes % 16 == 0, "blocks come in whole vectors of sixteen lanes");
    for (size_t i = 0; i < n; i += 16) {
        const ChildLanes px = load16(x + i), py = load16(y + i), pz = load16(z + i);
        ChildLanes acc = load16(d + i);
        for (size_t k = 0; k < run.count; ++k) {
            const ChildLanes v = run_value<Kind>(run.params[k], px, py, pz);
            acc = How == Combine::Union ? (v < acc ? v : acc) : (v > acc ? v : acc);
        }
        std::memcpy(d + i, &acc, sizeof acc);
    }
}

#elif SDF_BLOCK_AVX2

/// Eight lanes of the child's value, as its leaf (and SubR) compute it.
template <RunKind Kind>
SDF_INLINE __m256 run_value(const float* f, __m256 x, __m256 y, __m256 z) {
    __m256 dx = _mm256_sub_ps(x, _mm256_set1_ps(f[0]));
    __m256 dy = _mm256_sub_ps(y, _mm256_set1_ps(f[1]));
    __m256 dz = _mm256_sub_ps(z, _mm256_set1_ps(f[2]));
    if constexpr (Kind == RunKind::Capsule) {
        const __m256 ex = _mm256_set1_ps(f[3]), ey = _mm256_set1_ps(f[4]);
        const __m256 ez = _mm256_set1_ps(f[5]);
        const __m256 dot = _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(dx, ex), _mm256_mul_ps(dy, ey)), _mm256_mul_ps(dz, ez));
        __m256 h = _mm256_div_ps(dot, _mm256_set1_ps(f[6]));
        // maxps(0, h) is 0 > h ? 0 : h, and minps(1, h) is 1 < h ? 1 : h:
        // the leaf's clamp, which lets NaN through.
        h = _mm256_max_ps(_mm256_setzero_ps(), h);
        h = _mm256_min_ps(_mm256_set1_ps(1.0f), h);
        dx = _mm256_sub_ps(x, _mm256_add_ps(_mm256_mul_ps(ex, h), _mm256_set1_ps(f[0])));
        dy = _mm256_sub_ps(y, _mm256_add_ps(_mm256_mul_ps(ey, h), _mm256_set1_ps(f[1])));
        dz = _mm256_sub_ps(z, _mm256_add_ps(_mm256_mul_ps(ez, h), _mm256_set1_ps(f[2])));
    }
    const __m256 d2 = _mm256_add_ps(
        _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
    return _mm256_sub_ps(_mm256_sqrt_ps(d2), _mm256_set1_ps(f[kRunRadiusAt<Kind>]));
}

template <RunKind Kind, Combine How>
SDF_LANE_LOOP void child_run_loop(const ChildRun& run, const float* __restrict x,
                                  const float* __restrict y, const float* __restrict z,
                                  float* __restrict d, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        const __m256 px = _mm256_loadu_ps(x + i), py = _mm256_loadu_ps(y + i);
        const __m256 pz = _mm256_loadu_ps(z + i);
        __m256 acc = _mm256_loadu_ps(d + i);
        for (size_t k = 0; k < run.count; ++k) {
            const __m256 v = run_value<Kind>(run.params[k], px, py, pz);
            acc = How == Combine::Union ? _mm256_min_ps(v, acc) : _mm256_max_ps(v, acc);
        }
        _mm256_storeu_ps(d + i, acc);
    }
}

#else

/// One lane of the child's value, as its leaf (and SubR) compute it.
template <RunKind Kind>
SDF_INLINE float run_value(const float* f, Vec3 p, ClampBounds bounds) {
    if constexpr (Kind == RunKind::Capsule) {
        return segment_distance(f, p, bounds.zero, bounds.one) - f[kRunRadiusAt<Kind>];
    } else {
        return sphere_distance(f, p);
    }
}

template <RunKind Kind, Combine How>
SDF_LANE_LOOP void child_run_loop(const ChildRun& run, const float* __restrict x,
                                  const float* __restrict y, const float* __restrict z,
                                  float* __restrict d, size_t n) {
    const ClampBounds bounds = clamp_bounds();
    for (size_t i = 0; i < n; i += kVectorLanes) {
        float acc[kVectorLanes];
        for (size_t j = 0; j < kVectorLanes; ++j) acc[j] = d[i + j];
        for (size_t k = 0; k < run.count; ++k) {
            for (size_t j = 0; j < kVectorLanes; ++j) {
                const float v = run_value<Kind>(run.params[k], {x[i + j], y[i + j], z[i + j]}, bounds);
                acc[j] = combine_distance(How, acc[j], v);
            }
        }
        for (size_t j = 0; j < kVectorLanes; ++j) d[i + j] = acc[j];
    }
}

#endif

/// Runs the gathered children over lanes 0 .. n - 1 (whole vectors) of
/// the list's point `p`, folding into d.
SDF_INLINE void child_run_lanes(const ChildRun& run, Lanes p, float* d, size_t n) {
    const bool sphere = run.kind == RunKind::Sphere;
    if (run.how == Combine::Union) {
        if (sphere) return child_run_loop<RunKind::Sphere, Combine::Union>(run, p.x, p.y, p.z, d, n);
        return child_run_loop<RunKind::Capsule, Combine::Union>(run, p.x, p.y, p.z, d, n);
    }
    if (sphere) return child_run_loop<RunKind::Sphere, Combine::Intersect>(run, p.x, p.y, p.z, d, n);
    child_run_loop<RunKind::Capsule, Combine::Intersect>(run, p.x, p.y, p.z, d, n);
}

}  // namespace SDF_BLOCK_NS
}  // namespace sdf
