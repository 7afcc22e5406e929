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
// by one, through the same inline functions. This file finds the chains;
// lane_loops.hpp runs them.
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

}  // namespace block
}  // namespace sdf
