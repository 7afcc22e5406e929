// Small single-precision value types of the distance-field core.
//
// Every helper spells out its order of operations: results are bit-exact
// only if sums are grouped exactly as written, so callers rely on it.
#pragma once

#include <cmath>

namespace sdf {

/// A point, direction, offset or normal: three 32-bit floats.
struct Vec3 {
    float x, y, z;
};

/// A rotation quaternion stored vector part first: (x, y, z, w).
struct Quat {
    float x, y, z, w;
};

inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

/// (ax*bx + ay*by) + az*bz, each product and sum rounded separately.
inline float dot(Vec3 a, Vec3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }

/// sqrt of the dot product of v with itself.
inline float length(Vec3 v) { return std::sqrt(dot(v, v)); }

/// v times the reciprocal of its length: one square root, one division,
/// three multiplications, no guard for a zero length.
inline Vec3 normalized(Vec3 v) {
    float inv = 1.0f / length(v);
    return {v.x * inv, v.y * inv, v.z * inv};
}

}  // namespace sdf
