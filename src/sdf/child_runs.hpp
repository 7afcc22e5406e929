// Runs of a pruned list's simplest children, gathered for the block
// interpreter to evaluate vector by vector (child_run_lanes.hpp): bare
// spheres (items) and dilated segments, whose values both are a square
// root less a radius, sqrt(d2) - r.
//
// The interpreter otherwise runs each child over every lane of the block
// before the next one: per child, a pass through its dispatch and, per
// vector of lanes, a load and a store of the folded distance D. Here, for
// one vector of lanes at a time, D stays in a register across the whole
// run, and the run's children cost their arithmetic alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sdf/primitives.hpp"
#include "sdf/program.hpp"

namespace sdf {
namespace block {

/// The children a run can hold.
enum class RunKind : uint8_t {
    None,
    Sphere,   // an ItemSphere
    Capsule,  // PushD, Segment (saved point, untranslated), SubR r, a fold that ends the child
};

/// Children gathered at most before the lanes run them; the interpreter's
/// loop then comes back for the rest (and polls in between).
constexpr size_t kRunChunk = 64;

/// Parameter floats of a run's child: a sphere's centre xyz and radius, or
/// a segment's a xyz, e xyz, e.e and the dilation's radius; where the
/// radius is.
constexpr size_t kRunParams = 8;
template <RunKind Kind>
constexpr size_t kRunRadiusAt = Kind == RunKind::Sphere ? 3 : op_params(Op::Segment);

/// Words of a capsule child's code, and where its parts start.
constexpr uint32_t kCapsuleSegmentAt = 1;
constexpr uint32_t kCapsuleSubAt = kCapsuleSegmentAt + 1 + op_params(Op::Segment);
constexpr uint32_t kCapsuleFoldAt = kCapsuleSubAt + 1 + op_params(Op::SubR);
constexpr uint32_t kCapsuleWords = kCapsuleFoldAt + 1;

/// Up to kRunChunk children of one kind of one list, in the order they
/// fold, and how they fold (Union or Intersect).
struct ChildRun {
    RunKind kind = RunKind::None;
    Combine how = Combine::Union;
    size_t count = 0;
    float params[kRunChunk][kRunParams];
};

/// What the child whose code starts at `pc` is, and how it folds (set
/// only for a kind other than None).
inline RunKind child_kind(const Word* code, size_t words, size_t pc, Combine& how) {
    if (pc >= words) return RunKind::None;  // also the run list's markers
    const Head head = code[pc].head;
    if (head.op == Op::ItemSphere) {
        how = head.combine();
        return RunKind::Sphere;
    }
    if (head.op != Op::PushD || pc + kCapsuleWords > words) return RunKind::None;
    const Head leaf = code[pc + kCapsuleSegmentAt].head;
    const Head sub = code[pc + kCapsuleSubAt].head;
    const Head fold = code[pc + kCapsuleFoldAt].head;
    const bool capsule = leaf.op == Op::Segment && leaf.source == Source::Saved &&
                         leaf.bits == static_cast<uint8_t>(Combine::Assign) &&
                         sub.op == Op::SubR && sub.source == Source::Registers &&
                         !sub.ends_child() && fold.ends_child() &&
                         (fold.op == Op::UnionNext || fold.op == Op::IntersectNext);
    if (!capsule) return RunKind::None;
    how = combine_of_next(fold.op);
    return RunKind::Capsule;
}

/// The child at `pc`'s parameters (kind known), into `to`.
inline void child_params(const Word* code, size_t pc, RunKind kind, float* to) {
    if (kind == RunKind::Sphere) return item_sphere(code, pc, to);
    std::memcpy(to, code + pc + kCapsuleSegmentAt + 1, op_params(Op::Segment) * sizeof(float));
    to[op_params(Op::Segment)] = code[pc + kCapsuleSubAt + 1].f;
}

/// Where the code after the child at `pc` starts.
inline size_t after_child(const Word* code, size_t pc, RunKind kind) {
    if (kind == RunKind::Capsule) return pc + kCapsuleWords;
    // The next item may open a group with its ItemBase, a no-op.
    return code[pc + 1].head.op == Op::ItemBase ? pc + 1 + kItemBaseWords : pc + 1;
}

/// Gathers into `out` the child at `at` (of kind `kind`, folding as `how`)
/// and the children of the same kind that run right after it: the next
/// ones in the code where the list runs every child (kRunAll on top of the
/// run list), else the ones the run list names next, taken off it. Returns
/// the position to go on at, as Next would after the last one gathered.
inline size_t gather_run(const Word* code, size_t words, size_t at, RunKind kind, Combine how,
                         ChildRun& out, uint32_t*& run) {
    out.kind = kind;
    out.how = how;
    out.count = 0;
    const bool every_child = run[-1] == kRunAll;
    for (size_t pc = at;;) {
        child_params(code, pc, kind, out.params[out.count++]);
        const size_t next = every_child ? after_child(code, pc, kind) : run[-1];
        Combine next_how = how;
        const bool more = out.count < kRunChunk &&
                          child_kind(code, words, next, next_how) == kind && next_how == how;
        if (!every_child) --run;  // `next` is gathered, or is where Next would go
        if (!more) return next;
        pc = next;
    }
}

}  // namespace block
}  // namespace sdf
