// Decoding a program into fused steps, and running them at one point.
#include "sdf/fused_steps.hpp"

#include "sdf/chains.hpp"
#include "sdf/poll.hpp"
#include "sdf/primitives.hpp"

namespace sdf {
namespace {

using block::is_distance_op;
using block::is_point_transform;

// --- step kinds ------------------------------------------------------------
//
// A step's kind picks its code in run_steps' switch: one instruction run
// alone, a run of point transforms alone, or a leaf step, whose code is
// specialised per leaf, fold and whether a distance operation follows.

constexpr uint8_t kSingle = 0;
constexpr uint8_t kTransforms = 1;
constexpr uint8_t kFirstLeafKind = 2;
constexpr unsigned kFolds = 6;

SDF_INLINE bool is_leaf(Op op) { return op <= Op::Voxel; }

constexpr uint8_t leaf_kind(Op leaf, Fold fold, bool post) {
    return static_cast<uint8_t>(kFirstLeafKind +
                                (static_cast<unsigned>(leaf) * kFolds + static_cast<unsigned>(fold)) * 2 +
                                (post ? 1 : 0));
}

constexpr Op leaf_of_kind(uint8_t kind) {
    return static_cast<Op>((kind - kFirstLeafKind) / 2 / kFolds);
}

static_assert(kFirstLeafKind + (static_cast<unsigned>(Op::Voxel) + 1) * kFolds * 2 <= 256,
              "a kind fits a byte");

// --- running ---------------------------------------------------------------

/// The point the step's first instruction reads (`saved` is one past the
/// top of the point stack, as in the interpreter).
SDF_INLINE Vec3 step_point(Source source, Vec3 p, Vec3*& saved) {
    if (source == Source::Registers) return p;
    if (source == Source::Saved) return saved[-1];
    return *--saved;
}

/// Runs n >= 1 point transforms from `at`, leaving `at` after them.
SDF_INLINE Vec3 transform_chain(const Word*& at, unsigned n, Vec3 q) {
    do {
        const Head head = at->head;
        const float* f = &at[1].f;
        if (head.op == Op::Translate) {
            q = q - vec_at(f);
        } else if (head.op == Op::ScaleIn) {
            q = scale_point(f, q);
        } else {
            q = rotate_point(f, q);
        }
        at += head.words;
    } while (--n != 0);
    return q;
}

template <Op L>
SDF_INLINE float leaf_value(const float* f, Vec3 q) {
    if constexpr (L == Op::Sphere) return sphere_distance(f, q);
    if constexpr (L == Op::Plane) return plane_distance(f, q);
    if constexpr (L == Op::Segment) return segment_distance(f, q);
    if constexpr (L == Op::Ray) return ray_distance(f, q);
    if constexpr (L == Op::Voxel) return sample_trilinear(*grid_at(f), q);
}

SDF_INLINE float post_value(Op op, float v, float k) {
    switch (op) {
        case Op::MulK: return distance_op<Op::MulK>(v, k);
        case Op::SubR: return distance_op<Op::SubR>(v, k);
        case Op::AddR: return distance_op<Op::AddR>(v, k);
        default: return distance_op<Op::Neg>(v, k);
    }
}

template <Fold F>
SDF_INLINE float fold_value(float d, float v) {
    if constexpr (F == Fold::Assign) return v;
    if constexpr (F == Fold::Union) return combine_distance(Combine::Union, d, v);
    if constexpr (F == Fold::Intersect) return combine_distance(Combine::Intersect, d, v);
    if constexpr (F == Fold::Difference) return combine_distance(Combine::Difference, d, v);
    if constexpr (F == Fold::UnionFirst) return union_first(v);
    if constexpr (F == Fold::IntersectFirst) return intersect_first(v);
}

/// A leaf step: its transforms (which leave their point in P, as the
/// instructions do), the leaf at the point less its own translation, the
/// distance operation, the fold into d.
template <Op L, Fold F, bool Post>
SDF_INLINE float leaf_step(const Step& s, Vec3& p, Vec3*& saved, float d) {
    const Word* at = s.at;
    Vec3 q = step_point(s.source, p, saved);
    if (s.transforms != 0) {
        q = transform_chain(at, s.transforms, q);
        p = q;
    }
    const float* f = &at[1].f;
    if (at->head.translated()) q = q - vec_at(f + op_params(L));
    float v = leaf_value<L>(f, q);
    if constexpr (Post) v = post_value(s.post, v, s.k);
    return fold_value<F>(d, v);
}

/// An instruction that is not part of a chain, run as the interpreter
/// runs it.
SDF_INLINE float single_op(const Word* at, Vec3& p, Vec3*& saved, float*& values, float d) {
    const float k = at[1].f;  // every program ends in zero words: always readable
    switch (at->head.op) {
        case Op::Const: return k;
        case Op::MulK: return distance_op<Op::MulK>(d, k);
        case Op::SubR: return distance_op<Op::SubR>(d, k);
        case Op::AddR: return distance_op<Op::AddR>(d, k);
        case Op::Neg: return distance_op<Op::Neg>(d, k);
        case Op::PushP: *saved++ = p; return d;
        case Op::LoadP: p = saved[-1]; return d;
        case Op::PopP: p = *--saved; return d;
        case Op::PushD: *values++ = d; return d;
        case Op::UnionFirst: return union_first(d);
        case Op::IntersectFirst: return intersect_first(d);
        default: return combine_distance(combine_of_next(at->head.op), *--values, d);
    }
}

// --- decoding --------------------------------------------------------------

/// Ops that a single step runs (the rest of a chain is in leaf and
/// transform steps; any other op leaves the program to the interpreter).
bool is_single_op(Op op) {
    switch (op) {
        case Op::Const:
        case Op::PushP:
        case Op::LoadP:
        case Op::PopP:
        case Op::PushD:
        case Op::UnionFirst:
        case Op::IntersectFirst:
        case Op::UnionNext:
        case Op::IntersectNext:
        case Op::DifferenceNext: return true;
        default: return is_distance_op(op);
    }
}

bool is_next(Op op) {
    return op == Op::UnionNext || op == Op::IntersectNext || op == Op::DifferenceNext;
}

Fold fold_of(Combine how) {
    switch (how) {
        case Combine::Union: return Fold::Union;
        case Combine::Intersect: return Fold::Intersect;
        case Combine::Difference: return Fold::Difference;
        default: return Fold::Assign;
    }
}

/// Reads the chain at `pc`: point transforms (the first from any source,
/// the others from P) and a leaf reading P after them, its distance
/// operation and fold. After a PushD (`folds_saved`), the chain must end
/// in the fold that pops it. Returns the position after the chain, or 0
/// when there is none there. Without a leaf, the transforms alone make a
/// step.
size_t match_chain(const Word* code, size_t pc, size_t end, bool folds_saved, Step& s) {
    size_t at = pc;
    unsigned transforms = 0;
    while (at < end && is_point_transform(code[at].head.op) && transforms < 255 &&
           (transforms == 0 || code[at].head.source == Source::Registers)) {
        at += code[at].head.words;
        ++transforms;
    }
    s = Step{kTransforms, code[pc].head.source, static_cast<uint8_t>(transforms), Op::Neg, 0.0f,
             code + pc};
    const bool has_leaf = at < end && is_leaf(code[at].head.op) &&
                          (transforms == 0 || code[at].head.source == Source::Registers);
    if (!has_leaf) return folds_saved || transforms == 0 ? 0 : at;
    const Head leaf = code[at].head;
    size_t next = at + leaf.words;
    bool post = false;
    if (leaf.combine() == Combine::Assign && next < end && is_distance_op(code[next].head.op)) {
        post = true;
        s.post = code[next].head.op;
        s.k = s.post == Op::Neg ? 0.0f : code[next + 1].f;
        next += code[next].head.words;
    }
    Fold fold = fold_of(leaf.combine());
    const Op after = next < end ? code[next].head.op : Op::Skip;
    if (folds_saved) {
        if (leaf.combine() != Combine::Assign || !is_next(after)) return 0;
        fold = fold_of(combine_of_next(after));
        next += code[next].head.words;
    } else if (leaf.combine() == Combine::Assign &&
               (after == Op::UnionFirst || after == Op::IntersectFirst)) {
        fold = after == Op::UnionFirst ? Fold::UnionFirst : Fold::IntersectFirst;
        next += code[next].head.words;
    }
    s.kind = leaf_kind(leaf.op, fold, post);
    return next;
}

/// Decodes the step at `pc` into s; returns the position after it, or 0
/// when no step runs the instruction there.
size_t decode_step(const Word* code, size_t pc, size_t end, Step& s) {
    const Op op = code[pc].head.op;
    if (op == Op::PushD) {
        if (const size_t next = match_chain(code, pc + 1, end, true, s)) return next;
    } else if (is_point_transform(op) || is_leaf(op)) {
        return match_chain(code, pc, end, false, s);
    }
    if (!is_single_op(op)) return 0;
    s = Step{kSingle, Source::Registers, 0, Op::Neg, 0.0f, code + pc};
    return pc + code[pc].head.words;
}

}  // namespace

bool decode_steps(const Program& program, uint64_t call_work, StepList& out) {
    out.count = 0;
    if (!program.indexes.empty()) return false;
    const Word* code = program.code.data();
    uint64_t work = call_work + program.instructions;
    unsigned n = 0;
    for (size_t pc = 0; pc < program.words; ++n) {
        if (n == StepList::kMaxSteps) return false;
        Step& s = out.steps[n];
        pc = decode_step(code, pc, program.words, s);
        if (pc == 0) return false;
        if (s.kind >= kFirstLeafKind && leaf_of_kind(s.kind) == Op::Voxel) work += kVoxelWork;
    }
    out.count = n;
    out.work = work;
    return true;
}

#define SDF_FOLD_CASES(L, F)                                                    \
    case leaf_kind(Op::L, Fold::F, false):                                      \
        d = leaf_step<Op::L, Fold::F, false>(*s, p, saved, d);                  \
        break;                                                                  \
    case leaf_kind(Op::L, Fold::F, true):                                       \
        d = leaf_step<Op::L, Fold::F, true>(*s, p, saved, d);                   \
        break;
#define SDF_LEAF_CASES(L)                                                       \
    SDF_FOLD_CASES(L, Assign)                                                   \
    SDF_FOLD_CASES(L, Union)                                                    \
    SDF_FOLD_CASES(L, Intersect)                                                \
    SDF_FOLD_CASES(L, Difference)                                               \
    SDF_FOLD_CASES(L, UnionFirst)                                               \
    SDF_FOLD_CASES(L, IntersectFirst)

float run_steps(const StepList& list, Vec3 p, Vec3* saved, float* values) {
    float d = 0.0f;
    const Step* const end = list.steps + list.count;
    for (const Step* s = list.steps; s != end; ++s) {
        switch (s->kind) {
            case kSingle: d = single_op(s->at, p, saved, values, d); break;
            case kTransforms: {
                const Word* at = s->at;
                p = transform_chain(at, s->transforms, step_point(s->source, p, saved));
                break;
            }
            SDF_LEAF_CASES(Sphere)
            SDF_LEAF_CASES(Plane)
            SDF_LEAF_CASES(Segment)
            SDF_LEAF_CASES(Ray)
            SDF_LEAF_CASES(Voxel)
#if defined(__GNUC__) || defined(__clang__)
            // Decoding makes no other kind: no range test before the jump.
            default: __builtin_unreachable();
#endif
        }
    }
    return d;
}

#undef SDF_LEAF_CASES
#undef SDF_FOLD_CASES

}  // namespace sdf
