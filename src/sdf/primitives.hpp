// The distance formula of each leaf and the point transforms, one small
// function each, reading their parameters from an instruction's parameter words.
#pragma once

#include <cmath>
#include <limits>

#include "sdf/program.hpp"
#include "sdf/vec.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace sdf {

SDF_INLINE Vec3 vec_at(const float* f) { return {f[0], f[1], f[2]}; }

/// |p - c| - r
SDF_INLINE float sphere_distance(const float* f, Vec3 p) {
    return length(p - vec_at(f)) - f[3];
}

/// (p - o) . n, signed; n is unit length by construction.
SDF_INLINE float plane_distance(const float* f, Vec3 p) {
    return dot(p - vec_at(f), vec_at(f + 3));
}

/// `v` as a value the optimiser cannot see through. Lane loops pass the
/// clamp bounds of the segment and ray through it once, before the loop:
/// with the constants in sight, GCC rewrites e * h after the clamp into
/// selects among e * 0, e * 1 and e * h (three times the work, and spills)
/// instead of a max and a min. The value itself is unchanged.
SDF_INLINE float opaque(float v) {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__SSE2__))
    __asm__("" : "+x"(v));
#elif (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__)
    __asm__("" : "+w"(v));
#endif
    return v;
}

/// Distance to the segment a + h e, h clamped to [zero, one] = [0, 1]. A
/// NaN h (both ends equal) passes the clamp and makes the distance NaN.
SDF_INLINE float segment_distance(const float* f, Vec3 p, float zero = 0.0f, float one = 1.0f) {
    const Vec3 a = vec_at(f), e = vec_at(f + 3);
    float h = dot(p - a, e) / f[6];
    // Selects rather than branches, so that lanes vectorise.
    h = zero > h ? zero : h;
    h = one < h ? one : h;
    const Vec3 c{e.x * h + a.x, e.y * h + a.y, e.z * h + a.z};
    return length(p - c);
}

/// Distance to the half-line o + t v, t >= zero = 0; a NaN t counts as 0.
SDF_INLINE float ray_distance(const float* f, Vec3 p, float zero = 0.0f) {
    const Vec3 o = vec_at(f), v = vec_at(f + 3);
    float t = dot(p - o, v);
    t = t > zero ? t : zero;
    const Vec3 c{v.x * t + o.x, v.y * t + o.y, v.z * t + o.z};
    return length(p - c);
}

SDF_INLINE Vec3 scale_point(const float* f, Vec3 p) {
    const float k = f[0];
    return {p.x / k, p.y / k, p.z / k};
}

/// p turned by the conjugate of the stored quaternion:
/// (w+w)(u x p) + ((2 u.p) u + s p), u the conjugate's vector part.
SDF_INLINE Vec3 rotate_point(const float* f, Vec3 p) {
    const Vec3 u = vec_at(f);
    const float s = f[3], w2 = f[4];
    const float d = dot(u, p);
    const float d2 = d + d;
    const Vec3 c{u.y * p.z - p.y * u.z, u.z * p.x - p.z * u.x, u.x * p.y - p.x * u.y};
    return {w2 * c.x + (d2 * u.x + s * p.x),
            w2 * c.y + (d2 * u.y + s * p.y),
            w2 * c.z + (d2 * u.z + s * p.z)};
}

/// The difference rule: -b unless it is smaller than a non-NaN a.
SDF_INLINE float difference_value(float a, float b) {
    const float nb = -b;
    if (a != a) return nb;
    return nb > a ? nb : a;
}

/// A leaf's distance v entering the accumulated distance d.
SDF_INLINE float combine_distance(Combine how, float d, float v) {
    switch (how) {
        case Combine::Union: return v < d ? v : d;
        case Combine::Intersect: return v > d ? v : d;
        case Combine::Difference: return difference_value(d, v);
        default: return v;
    }
}

/// The first child of a union (intersection) starts the fold: its value,
/// or the empty list's +inf (-inf) when it is NaN or beyond.
SDF_INLINE float union_first(float d) { return d < kInfinity ? d : kInfinity; }
SDF_INLINE float intersect_first(float d) { return d > -kInfinity ? d : -kInfinity; }

/// How a later child's value folds into the value saved before it, for
/// UnionNext, IntersectNext and DifferenceNext.
constexpr Combine combine_of_next(Op op) {
    return op == Op::UnionNext       ? Combine::Union
           : op == Op::IntersectNext ? Combine::Intersect
                                     : Combine::Difference;
}

/// The operations on the distance alone (MulK, SubR, AddR, Neg) with their
/// parameter k.
template <Op op>
SDF_INLINE float distance_op(float d, float k) {
    static_assert(op == Op::MulK || op == Op::SubR || op == Op::AddR || op == Op::Neg,
                  "not a distance operation");
    if constexpr (op == Op::MulK) return d * k;
    if constexpr (op == Op::SubR) return d - k;
    if constexpr (op == Op::AddR) return d + k;
    (void)k;
    return -d;
}

}  // namespace sdf
