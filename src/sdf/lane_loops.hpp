// The lane loops of the block interpreter: one instruction, or one fused
// chain of them (chains.hpp), over every lane of a block. Every lane
// performs exactly the single-point evaluator's operations through the
// same inline functions, so results are bit-identical to it; the loops
// over lanes are what the compiler turns into SIMD code.
//
// batch.cpp includes this file (through block_kernel.hpp) once per
// instruction set, each time inside its own namespace SDF_BLOCK_NS and
// with that instruction set as every function's target. Each loop is a
// function of its own: in a small function the compiler keeps the lane
// pointers and the loop's values in registers, where one huge function
// spilled them on every iteration.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sdf/block_lanes.hpp"
#include "sdf/chains.hpp"
#include "sdf/primitives.hpp"
#include "sdf/program.hpp"

#if defined(__GNUC__) || defined(__clang__)
#define SDF_LANE_LOOP __attribute__((noinline))
#else
#define SDF_LANE_LOOP
#endif

namespace sdf {
namespace SDF_BLOCK_NS {

using namespace ::sdf::block;

/// No operation between a leaf and its fold (leaf_fold_loop's `Post`).
constexpr Op kNoPost = Op::Skip;

/// d[i] = d[i] folded as `How` says (or set, for Assign) with post(the
/// leaf's distance at lane i), post being one distance operation or none.
/// (The lanes come as separate restricted pointers: read out of a struct,
/// they make the compiler test for overlap at run time before every loop.)
template <class Leaf, bool Shifted, Combine How, Op Post>
SDF_LANE_LOOP void leaf_fold_loop(const Loaded in, float k, const float* __restrict x,
                                  const float* __restrict y, const float* __restrict z,
                                  float* __restrict d, size_t n) {
    const Vec3 shift = vec_at(in.f + op_params(Leaf::op));
    const ClampBounds bounds = clamp_bounds();
    for (size_t i = 0; i < n; ++i) {
        float v = Leaf::at(in.f, lane_point<Shifted>(x, y, z, i, shift), bounds);
        if constexpr (Post != kNoPost) v = distance_op<Post>(v, k);
        d[i] = How == Combine::Assign ? v : combine_distance(How, d[i], v);
    }
}

template <class Leaf, bool Shifted, Combine How>
SDF_INLINE void leaf_call(const Loaded& in, Lanes p, float* d, size_t n) {
    leaf_fold_loop<Leaf, Shifted, How, kNoPost>(in, 0.0f, p.x, p.y, p.z, d, n);
}

template <class Leaf, bool Shifted>
SDF_INLINE void leaf_lanes_shifted(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    switch (in.head.combine()) {
        case Combine::Assign: return leaf_call<Leaf, Shifted, Combine::Assign>(in, p, d, n);
        case Combine::Union: return leaf_call<Leaf, Shifted, Combine::Union>(in, p, d, n);
        case Combine::Intersect: return leaf_call<Leaf, Shifted, Combine::Intersect>(in, p, d, n);
        case Combine::Difference:
            return leaf_call<Leaf, Shifted, Combine::Difference>(in, p, d, n);
    }
}

template <class Leaf>
SDF_INLINE void leaf_lanes(const Loaded& in, Lanes p, float* __restrict d, size_t n) {
    if (in.head.translated()) return leaf_lanes_shifted<Leaf, true>(in, p, d, n);
    leaf_lanes_shifted<Leaf, false>(in, p, d, n);
}

/// d = op(d, k) lane by lane, for the operations on the distance alone.
template <Op op>
SDF_LANE_LOOP void distance_lanes(float* __restrict d, float k, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = distance_op<op>(d[i], k);
}

/// d = the fold of d into the saved values acc, lane by lane.
template <Combine How>
SDF_LANE_LOOP void fold_lanes(const float* __restrict acc, float* __restrict d, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] = combine_distance(How, acc[i], d[i]);
}

SDF_LANE_LOOP void copy_lanes(Lanes from, Lanes to, size_t n) {
    std::memcpy(to.x, from.x, n * sizeof(float));
    std::memcpy(to.y, from.y, n * sizeof(float));
    std::memcpy(to.z, from.z, n * sizeof(float));
}

/// x, y, z = transform(fx, fy, fz) lane by lane, from a saved point.
template <class Transform>
SDF_LANE_LOOP void transform_copy(const float* __restrict fx, const float* __restrict fy,
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
SDF_LANE_LOOP void transform_lanes(Lanes from, Lanes p, size_t n, Transform transform) {
    if (from.x != p.x) return transform_copy(from.x, from.y, from.z, p.x, p.y, p.z, n, transform);
    for (size_t i = 0; i < n; ++i) {
        const Vec3 q = transform({p.x[i], p.y[i], p.z[i]});
        p.x[i] = q.x;
        p.y[i] = q.y;
        p.z[i] = q.z;
    }
}

/// p = the point transform `in` applied to `from`, lane by lane. (The
/// lambdas hold copies of the parameters, which writing the lanes cannot
/// change.)
SDF_INLINE void transform_one(const Loaded& in, Lanes from, Lanes p, size_t n) {
    switch (in.head.op) {
        case Op::Translate: {
            const Vec3 v = vec_at(in.f);
            transform_lanes(from, p, n, [v](Vec3 q) SDF_LAMBDA_INLINE { return q - v; });
            break;
        }
        case Op::ScaleIn:
            transform_lanes(from, p, n, [in](Vec3 q) SDF_LAMBDA_INLINE {
                return scale_point(in.f, q);
            });
            break;
        default:
            transform_lanes(from, p, n, [in](Vec3 q) SDF_LAMBDA_INLINE {
                return rotate_point(in.f, q);
            });
            break;
    }
}

template <class First, class Second>
SDF_INLINE void transform_pair(const Loaded& a, const Loaded& b, Lanes from, Lanes p, size_t n) {
    transform_lanes(from, p, n, [a, b](Vec3 q) SDF_LAMBDA_INLINE {
        return Second::apply(b.f, First::apply(a.f, q));
    });
}

template <class First>
SDF_INLINE void transform_pair_second(const Loaded& a, const Loaded& b, Lanes from, Lanes p,
                                      size_t n) {
    switch (b.head.op) {
        case Op::Translate: return transform_pair<First, TranslateStep>(a, b, from, p, n);
        case Op::ScaleIn: return transform_pair<First, ScaleStep>(a, b, from, p, n);
        default: return transform_pair<First, RotateStep>(a, b, from, p, n);
    }
}

/// p = b(a(from)) lane by lane; a and b are point transforms.
SDF_INLINE void transform_pair_lanes(const Loaded& a, const Loaded& b, Lanes from, Lanes p,
                                     size_t n) {
    switch (a.head.op) {
        case Op::Translate: return transform_pair_second<TranslateStep>(a, b, from, p, n);
        case Op::ScaleIn: return transform_pair_second<ScaleStep>(a, b, from, p, n);
        default: return transform_pair_second<RotateStep>(a, b, from, p, n);
    }
}

template <class Leaf, bool Shifted, Combine How, Op Post>
SDF_INLINE void leaf_fold_call(const Loaded& in, float k, Lanes p, float* d, size_t n) {
    leaf_fold_loop<Leaf, Shifted, How, Post>(in, k, p.x, p.y, p.z, d, n);
}

template <class Leaf, bool Shifted, Combine How>
SDF_INLINE void leaf_fold_post(const Loaded& in, const LeafFold& fold, Lanes p, float* d,
                               size_t n) {
    switch (fold.post) {
        case Op::MulK: return leaf_fold_call<Leaf, Shifted, How, Op::MulK>(in, fold.k, p, d, n);
        case Op::SubR: return leaf_fold_call<Leaf, Shifted, How, Op::SubR>(in, fold.k, p, d, n);
        case Op::AddR: return leaf_fold_call<Leaf, Shifted, How, Op::AddR>(in, fold.k, p, d, n);
        default: return leaf_fold_call<Leaf, Shifted, How, Op::Neg>(in, fold.k, p, d, n);
    }
}

template <class Leaf, bool Shifted>
SDF_INLINE void leaf_fold_how(const Loaded& in, const LeafFold& fold, Lanes p, float* d,
                              size_t n) {
    switch (fold.how) {
        case Combine::Union:
            return leaf_fold_post<Leaf, Shifted, Combine::Union>(in, fold, p, d, n);
        case Combine::Intersect:
            return leaf_fold_post<Leaf, Shifted, Combine::Intersect>(in, fold, p, d, n);
        default: return leaf_fold_post<Leaf, Shifted, Combine::Difference>(in, fold, p, d, n);
    }
}

template <class Leaf>
SDF_INLINE void leaf_fold_lanes_of(const Loaded& in, const LeafFold& fold, Lanes p, float* d,
                                   size_t n) {
    if (in.head.translated()) return leaf_fold_how<Leaf, true>(in, fold, p, d, n);
    leaf_fold_how<Leaf, false>(in, fold, p, d, n);
}

/// Runs the leaf `in` (found by match_leaf_fold) over the lanes of `p`,
/// its distance through the chain's operation and folded into d.
SDF_INLINE void leaf_fold_lanes(const Loaded& in, const LeafFold& fold, Lanes p, float* d,
                                size_t n) {
    switch (in.head.op) {
        case Op::Sphere: return leaf_fold_lanes_of<SphereLeaf>(in, fold, p, d, n);
        case Op::Plane: return leaf_fold_lanes_of<PlaneLeaf>(in, fold, p, d, n);
        case Op::Segment: return leaf_fold_lanes_of<SegmentLeaf>(in, fold, p, d, n);
        default: return leaf_fold_lanes_of<RayLeaf>(in, fold, p, d, n);
    }
}

}  // namespace SDF_BLOCK_NS
}  // namespace sdf
