// The lane loops of the block interpreter: one instruction over every
// lane of a block. Every lane performs exactly the single-point
// evaluator's operations through the same inline functions, so results
// are bit-identical to it; the loops over lanes are what the compiler
// turns into SIMD code. Everything here is inline, so that each kernel
// compiled from it (see batch.cpp) gets its own copy.
#pragma once

#include <cstdint>
#include <cstring>

#include "sdf/primitives.hpp"
#include "sdf/program.hpp"

namespace sdf {
namespace block {

/// The lanes of one point: three arrays.
struct Lanes {
    float* x;
    float* y;
    float* z;
};

/// An instruction copied out of the program: the compiler then knows that
/// writing lanes cannot change its parameters, and vectorises the loops.
struct Loaded {
    Head head;
    float f[kMaxParams];
};

/// The instruction at `at`; the program's zero words after its end make
/// the fixed-size copy safe for the last one.
SDF_INLINE Loaded load(const Word* at) {
    Loaded in;
    in.head = at->head;
    std::memcpy(in.f, at + 1, sizeof in.f);
    return in;
}

SDF_INLINE uint32_t index_of(const Loaded& in) {
    uint32_t k;
    std::memcpy(&k, in.f, sizeof k);
    return k;
}

/// The clamp bounds 0 and 1 of the segment and ray leaves, made opaque
/// once per lane loop (see opaque()).
struct ClampBounds {
    float zero, one;
};
SDF_INLINE ClampBounds clamp_bounds() { return {opaque(0.0f), opaque(1.0f)}; }

// Each leaf, as a type, so that its lane loop is instantiated per leaf.
struct SphereLeaf {
    static constexpr Op op = Op::Sphere;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds) { return sphere_distance(f, p); }
};
struct PlaneLeaf {
    static constexpr Op op = Op::Plane;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds) { return plane_distance(f, p); }
};
struct SegmentLeaf {
    static constexpr Op op = Op::Segment;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds b) {
        return segment_distance(f, p, b.zero, b.one);
    }
};
struct RayLeaf {
    static constexpr Op op = Op::Ray;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds b) {
        return ray_distance(f, p, b.zero);
    }
};
struct VoxelLeaf {
    static constexpr Op op = Op::Voxel;
    static SDF_INLINE float at(const float* f, Vec3 p, ClampBounds) {
        return sample_trilinear(*grid_at(f), p);
    }
};

/// The point of lane i, less the leaf's translation when it has one.
template <bool Shifted>
SDF_INLINE Vec3 lane_point(const float* __restrict x, const float* __restrict y,
                           const float* __restrict z, size_t i, Vec3 shift) {
    const Vec3 p{x[i], y[i], z[i]};
    return Shifted ? p - shift : p;
}

/// d[i] = the leaf's distance at lane i, combined as `How` says.
template <class Leaf, bool Shifted, Combine How>
SDF_INLINE void leaf_loop(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    const float* __restrict x = p.x;
    const float* __restrict y = p.y;
    const float* __restrict z = p.z;
    const Vec3 shift = vec_at(in.f + op_params(Leaf::op));
    const ClampBounds bounds = clamp_bounds();
    for (size_t i = 0; i < n; ++i) {
        const float v = Leaf::at(in.f, lane_point<Shifted>(x, y, z, i, shift), bounds);
        d[i] = How == Combine::Assign ? v : combine_distance(How, d[i], v);
    }
}

template <class Leaf, bool Shifted>
SDF_INLINE void leaf_lanes_shifted(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    switch (in.head.combine()) {
        case Combine::Assign: return leaf_loop<Leaf, Shifted, Combine::Assign>(in, p, d, n);
        case Combine::Union: return leaf_loop<Leaf, Shifted, Combine::Union>(in, p, d, n);
        case Combine::Intersect: return leaf_loop<Leaf, Shifted, Combine::Intersect>(in, p, d, n);
        case Combine::Difference:
            return leaf_loop<Leaf, Shifted, Combine::Difference>(in, p, d, n);
    }
}

template <class Leaf>
SDF_INLINE void leaf_lanes(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    if (in.head.translated()) return leaf_lanes_shifted<Leaf, true>(in, p, d, n);
    leaf_lanes_shifted<Leaf, false>(in, p, d, n);
}

/// The point stack of a block: slots of three arrays, `stride` floats each.
class PointStack {
  public:
    PointStack(float* base, size_t stride) : next_(base), stride_(stride) {}
    Lanes push() {
        Lanes slot = at(next_);
        next_ += 3 * stride_;
        return slot;
    }
    Lanes top() const { return at(next_ - 3 * stride_); }
    Lanes pop() {
        next_ -= 3 * stride_;
        return at(next_);
    }

  private:
    Lanes at(float* slot) const { return {slot, slot + stride_, slot + 2 * stride_}; }
    float* next_;
    size_t stride_;
};

/// d = op(d, k) lane by lane, for the operations on the distance alone.
template <Op op>
SDF_INLINE void distance_lanes(float* __restrict d, float k, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = distance_op<op>(d[i], k);
}

/// d = the fold of d into the saved values acc, lane by lane.
template <Combine How>
SDF_INLINE void fold_lanes(const float* __restrict acc, float* __restrict d, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = combine_distance(How, acc[i], d[i]);
}

SDF_INLINE void copy_lanes(Lanes from, Lanes to, size_t n) {
    std::memcpy(to.x, from.x, n * sizeof(float));
    std::memcpy(to.y, from.y, n * sizeof(float));
    std::memcpy(to.z, from.z, n * sizeof(float));
}

/// x, y, z = transform(fx, fy, fz) lane by lane, from a saved point.
template <class Transform>
SDF_INLINE void transform_copy(const float* __restrict fx, const float* __restrict fy,
                               const float* __restrict fz, float* __restrict x,
                               float* __restrict y, float* __restrict z, size_t n,
                               Transform transform) {
    for (size_t i = 0; i < n; ++i) {
        const Vec3 q = transform({fx[i], fy[i], fz[i]});
        x[i] = q.x;
        y[i] = q.y;
        z[i] = q.z;
    }
}

/// p = transform(from) lane by lane; `from` is either p itself or a saved
/// point, and the two loops let the compiler know which.
template <class Transform>
SDF_INLINE void transform_lanes(Lanes from, Lanes p, size_t n, Transform transform) {
    if (from.x != p.x) return transform_copy(from.x, from.y, from.z, p.x, p.y, p.z, n, transform);
    for (size_t i = 0; i < n; ++i) {
        const Vec3 q = transform({p.x[i], p.y[i], p.z[i]});
        p.x[i] = q.x;
        p.y[i] = q.y;
        p.z[i] = q.z;
    }
}

}  // namespace block
}  // namespace sdf
