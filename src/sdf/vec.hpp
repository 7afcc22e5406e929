// Small single-precision value types of the distance-field core.
//
// Every helper spells out its order of operations: results are bit-exact
// only if sums are grouped exactly as written, so callers rely on it.
#pragma once

#include <cmath>
#include <limits>

#include "sdf/float_rules.hpp"

// Small functions of the numeric core are forced inline: the batch kernel is
// compiled for several instruction sets and must get its own copy of each.
#if defined(__GNUC__) || defined(__clang__)
#define SDF_INLINE inline __attribute__((always_inline))
#define SDF_LAMBDA_INLINE __attribute__((always_inline))
#else
#define SDF_INLINE inline
#define SDF_LAMBDA_INLINE
#endif

namespace sdf {

/// The value of an empty union (its negation: of an empty intersection).
constexpr float kInfinity = std::numeric_limits<float>::infinity();

/// A point, direction, offset or normal: three 32-bit floats.
struct Vec3 {
    float x, y, z;
};

/// A rotation quaternion stored vector part first: (x, y, z, w).
struct Quat {
    float x, y, z, w;
};

SDF_INLINE Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

/// (ax*bx + ay*by) + az*bz, each product and sum rounded separately.
SDF_INLINE float dot(Vec3 a, Vec3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }

/// sqrt of the dot product of v with itself.
SDF_INLINE float length(Vec3 v) { return std::sqrt(dot(v, v)); }

/// v times the reciprocal of its length: one square root, one division,
/// three multiplications, no guard for a zero length.
SDF_INLINE Vec3 normalized(Vec3 v) {
    float inv = 1.0f / length(v);
    return {v.x * inv, v.y * inv, v.z * inv};
}

}  // namespace sdf
