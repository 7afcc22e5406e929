// Fused chains of the block interpreter: runs of instructions that one
// lane loop performs together, so that the values between them stay in
// registers instead of making a pass over the lanes each.
//
// - Two point transforms in a row (translate, scale, rotate, in any
//   order): one pass that reads the point once and writes it once.
// - A leaf whose distance goes through one distance operation (the
//   multiply of a scale, a dilate, an erode, a dual) and is then folded
//   into the saved distance by a union, intersection or difference: the
//   PushD before the chain saves nothing, and the leaf's pass applies the
//   operation and folds its value into D itself.
//
// The chains are recognised from the program as it runs, one look at a
// few heads per block, so the program's layout is untouched. Each lane
// performs the same operations in the same order as the instructions one
// by one, through the same inline functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdf/block_lanes.hpp"
#include "sdf/primitives.hpp"
#include "sdf/program.hpp"

namespace sdf {
namespace block {

// --- two point transforms in one pass ------------------------------------

struct TranslateStep {
    static SDF_INLINE Vec3 apply(const float* f, Vec3 q) { return q - vec_at(f); }
};
struct ScaleStep {
    static SDF_INLINE Vec3 apply(const float* f, Vec3 q) { return scale_point(f, q); }
};
struct RotateStep {
    static SDF_INLINE Vec3 apply(const float* f, Vec3 q) { return rotate_point(f, q); }
};

SDF_INLINE bool is_point_transform(Op op) {
    return op == Op::Translate || op == Op::ScaleIn || op == Op::Rotate;
}

/// Can the instruction with head `next` run in one pass with the point
/// transform before it? It must transform the point that one left in P,
/// and end no pruned child (then nothing jumps in between).
SDF_INLINE bool continues_transform(Head next) {
    return is_point_transform(next.op) && next.source == Source::Registers && !next.ends_child();
}

template <class First, class Second>
SDF_INLINE void transform_pair(const Loaded& a, const Loaded& b, Lanes from, Lanes p, size_t n) {
    transform_lanes(from, p, n, [&a, &b](Vec3 q) SDF_LAMBDA_INLINE {
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

// --- a leaf, one distance operation and a fold in one pass ---------------

constexpr size_t kNoLeaf = SIZE_MAX;

/// A leaf that folds itself into D, found after a PushD: where the leaf
/// is, the operation on its distance, the fold, and where the chain ends.
struct LeafFold {
    size_t leaf_at = kNoLeaf;
    size_t end = 0;      // the position after the fold
    Op post = Op::Neg;   // MulK, SubR, AddR or Neg
    float k = 0.0f;      // its parameter
    Combine how = Combine::Union;
    bool ends_child = false;  // the fold's mark
};

SDF_INLINE bool is_distance_op(Op op) {
    return op == Op::MulK || op == Op::SubR || op == Op::AddR || op == Op::Neg;
}

SDF_INLINE bool is_formula_leaf(Op op) {
    return op == Op::Sphere || op == Op::Plane || op == Op::Segment || op == Op::Ray;
}

/// Longest run of point transforms looked through after a PushD.
constexpr unsigned kMaxChainTransforms = 8;

/// Does the code at `pc` (just after a PushD) run point transforms, a leaf
/// that assigns D, one distance operation and a fold? Then the leaf can
/// fold itself, and `out` says how. Nothing in between ends a child, so
/// the chain runs straight through.
inline bool match_leaf_fold(const Word* code, size_t pc, size_t size, LeafFold& out) {
    size_t at = pc;
    for (unsigned i = 0; at < size && is_point_transform(code[at].head.op); ++i) {
        if (i == kMaxChainTransforms || code[at].head.ends_child()) return false;
        at += code[at].head.words;
    }
    if (at >= size) return false;
    const Head leaf = code[at].head;
    if (!is_formula_leaf(leaf.op) || leaf.combine() != Combine::Assign || leaf.ends_child()) {
        return false;
    }
    const size_t leaf_at = at;
    at += leaf.words;
    if (at >= size) return false;
    const Head post = code[at].head;
    if (!is_distance_op(post.op) || post.source != Source::Registers || post.ends_child()) {
        return false;
    }
    const float k = post.op == Op::Neg ? 0.0f : code[at + 1].f;
    at += post.words;
    if (at >= size) return false;
    const Head fold = code[at].head;
    if (fold.op != Op::UnionNext && fold.op != Op::IntersectNext && fold.op != Op::DifferenceNext) {
        return false;
    }
    out = {leaf_at, at + fold.words, post.op, k, combine_of_next(fold.op), fold.ends_child()};
    return true;
}

/// d[i] = d[i] folded with post(leaf at lane i).
template <class Leaf, bool Shifted, Combine How, Op Post>
SDF_INLINE void leaf_fold_loop(const Loaded& in, float k, Lanes p, float* __restrict d,
                               size_t n) {
    const float* __restrict x = p.x;
    const float* __restrict y = p.y;
    const float* __restrict z = p.z;
    const Vec3 shift = vec_at(in.f + op_params(Leaf::op));
    const ClampBounds bounds = clamp_bounds();
    for (size_t i = 0; i < n; ++i) {
        const float v = Leaf::at(in.f, lane_point<Shifted>(x, y, z, i, shift), bounds);
        d[i] = combine_distance(How, d[i], distance_op<Post>(v, k));
    }
}

template <class Leaf, bool Shifted, Combine How>
SDF_INLINE void leaf_fold_post(const Loaded& in, const LeafFold& fold, Lanes p, float* d,
                               size_t n) {
    switch (fold.post) {
        case Op::MulK: return leaf_fold_loop<Leaf, Shifted, How, Op::MulK>(in, fold.k, p, d, n);
        case Op::SubR: return leaf_fold_loop<Leaf, Shifted, How, Op::SubR>(in, fold.k, p, d, n);
        case Op::AddR: return leaf_fold_loop<Leaf, Shifted, How, Op::AddR>(in, fold.k, p, d, n);
        default: return leaf_fold_loop<Leaf, Shifted, How, Op::Neg>(in, fold.k, p, d, n);
    }
}

template <class Leaf, bool Shifted>
SDF_INLINE void leaf_fold_how(const Loaded& in, const LeafFold& fold, Lanes p, float* d,
                              size_t n) {
    switch (fold.how) {
        case Combine::Union: return leaf_fold_post<Leaf, Shifted, Combine::Union>(in, fold, p, d, n);
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

}  // namespace block
}  // namespace sdf
