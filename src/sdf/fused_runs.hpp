// Fused runs of the block interpreter: a stretch of the program made of
// point transforms, formula leaves, operations on the distance and folds
// (the children of a union or intersection, one after another), run one
// vector of lanes at a time through all of its steps, with the point and
// the distance kept in registers from the first step to the last.
//
// Run as passes, each instruction makes a trip over the whole block, and
// every pass has its own mix of work: a sphere waits on square roots, a
// scale on divisions, a plane on neither. A vector going through every
// child in turn mixes them, so that the divider works while the other
// units do the rest, and no value goes to memory between two children.
//
// This file turns the program at a position into the steps of one run
// (decode_run); fused_run_lanes.hpp runs them. Each step performs the same
// operations, in the same order, as the instructions it stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdf/block_lanes.hpp"
#include "sdf/chains.hpp"
#include "sdf/program.hpp"

// The runs are written with the vector extensions of GCC and Clang; other
// compilers run every instruction as a pass.
#if defined(__GNUC__) || defined(__clang__)
#define SDF_HAVE_FUSED_RUNS 1
#else
#define SDF_HAVE_FUSED_RUNS 0
#endif

namespace sdf {
namespace block {

// --- the steps --------------------------------------------------------------
//
// A step's kind is one number, so that a run jumps once per step:
//   point transforms  kTransformSteps + 3 * transform + source
//   leaves            kLeafSteps + ((leaf * 2 + shifted) * 3 + source) * kFolds + fold
//   distance ops      kDistanceSteps + op
//   PushD, and the folds of the saved distance.

/// Where a step takes its point: the point the run holds in registers
/// (what the transforms before it made), lanes in memory (P, or a saved
/// point), or the run's shared point, the lanes most of its steps read,
/// loaded once per vector.
enum class StepSource : uint8_t { Registers, Lanes, Shared };
constexpr unsigned kSources = 3;
/// The point transforms, in their order in a kind. ScaleExact multiplies
/// by the reciprocal of the factor where that gives the division's bits
/// (exact_reciprocal), and holds it in place of the factor. The seven
/// translations after it subtract only some coordinates of their offset
/// (drop_zero_offsets): the coordinates of bit mask 0 to 6 (bit i for
/// coordinate i; mask 7 is Translate).
enum class StepTransform : uint8_t { Translate, Scale, Rotate, ScaleExact, TranslateSome };
constexpr unsigned kTranslateMasks = 7;
constexpr unsigned kTransforms = 4 + kTranslateMasks;
/// The formula leaves. SegmentExact is a segment whose e.e has an exact
/// reciprocal, held in place of e.e. The leaves at the origin are the
/// first four whose own offset (centre, point on the plane, first end) is
/// zero and not subtracted; they take their point from registers only.
enum class StepLeaf : uint8_t {
    Sphere,
    Plane,
    Segment,
    Ray,
    SegmentExact,
    SphereAtOrigin,
    PlaneAtOrigin,
    SegmentAtOrigin,
    SegmentExactAtOrigin,
};
constexpr unsigned kLeaves = 9;
constexpr unsigned kLeavesAtOrigin = 4;  // the first kLeavesAtOrigin have an origin kind
/// How a leaf's distance v enters D: set it, or fold it (union,
/// intersection, difference), the folds with or without a multiply of v
/// first (a scale's, between the leaf and the fold).
enum class StepFold : uint8_t {
    Assign,
    Union,
    Intersect,
    Difference,
    MulUnion,
    MulIntersect,
    MulDifference,
};
constexpr unsigned kFolds = 7;
/// Operations on D alone.
enum class StepDistance : uint8_t { MulK, SubR, AddR, Neg, UnionFirst, IntersectFirst };

constexpr unsigned kTransformSteps = 0;
constexpr unsigned kLeafSteps = kTransformSteps + kTransforms * kSources;
constexpr unsigned kDistanceSteps = kLeafSteps + kLeaves * 2 * kSources * kFolds;
constexpr unsigned kPushStep = kDistanceSteps + 6;      // A = D
constexpr unsigned kNextSteps = kPushStep + 1;          // D = A folded with D
constexpr unsigned kStepKinds = kNextSteps + 3;

constexpr unsigned transform_step(StepTransform t, StepSource from) {
    return kTransformSteps + kSources * static_cast<unsigned>(t) + static_cast<unsigned>(from);
}
/// A translation of the coordinates in `mask` (bit i: coordinate i).
constexpr unsigned translate_step(unsigned mask, StepSource from) {
    const unsigned t = mask == 7 ? 0 : static_cast<unsigned>(StepTransform::TranslateSome) + mask;
    return kTransformSteps + kSources * t + static_cast<unsigned>(from);
}
constexpr unsigned leaf_step(StepLeaf leaf, bool shifted, StepSource from, StepFold fold) {
    return kLeafSteps +
           ((static_cast<unsigned>(leaf) * 2 + shifted) * kSources + static_cast<unsigned>(from)) *
               kFolds +
           static_cast<unsigned>(fold);
}
/// Does a step of this kind read a point (a transform or a leaf)?
constexpr bool reads_point(unsigned kind) { return kind < kDistanceSteps; }
/// Where a step that reads a point takes it from.
constexpr StepSource source_of_kind(unsigned kind) {
    return static_cast<StepSource>(kind < kLeafSteps ? (kind - kTransformSteps) % kSources
                                                     : (kind - kLeafSteps) / kFolds % kSources);
}
/// Is a step of this kind a translation (of all coordinates or some)?
constexpr bool is_translation(unsigned kind) {
    if (kind >= kLeafSteps) return false;
    const unsigned t = (kind - kTransformSteps) / kSources;
    return t == static_cast<unsigned>(StepTransform::Translate) ||
           t >= static_cast<unsigned>(StepTransform::TranslateSome);
}
/// The same step reading its point from `from` instead.
constexpr unsigned with_source(unsigned kind, StepSource from) {
    const unsigned unit = kind < kLeafSteps ? 1 : kFolds;
    const unsigned now = static_cast<unsigned>(source_of_kind(kind));
    return kind + (static_cast<unsigned>(from) - now) * unit;
}

/// The parts of a leaf's kind.
struct LeafKind {
    StepLeaf leaf;
    bool shifted;
    StepSource from;
    StepFold fold;
};
constexpr LeafKind leaf_kind(unsigned kind) {
    const unsigned n = kind - kLeafSteps;
    return {static_cast<StepLeaf>(n / kFolds / kSources / 2), (n / kFolds / kSources) % 2 != 0,
            static_cast<StepSource>(n / kFolds % kSources), static_cast<StepFold>(n % kFolds)};
}

/// One step: its kind, the lanes it reads its point from (steps that read
/// lanes), the instruction's parameters (a leaf's translation after its
/// own), and the parameter of a distance operation or folded multiply.
struct RunStep {
    uint16_t kind;
    const float* x;
    const float* y;
    const float* z;
    float f[kMaxParams];
    float k;
};

/// Most steps of one run; a longer stretch becomes several runs.
constexpr size_t kMaxRunSteps = 40;
/// Most point transforms in a row in one run. Each transform waits on the
/// one before: a vector going through a long chain of them waits on their
/// latencies in turn, where a pass over the block has many independent
/// lanes in flight (measured on a chain of 1,000: runs of 40 transforms
/// took 1.4 times the time of the passes, runs of 4 still 1.1 times). A
/// run starts no longer chain, and holds at least one leaf.
constexpr unsigned kMaxRunTransforms = 4;

/// Does a leaf follow the point transforms at `pc` within
/// kMaxRunTransforms of them? (A quick look at the heads, before decoding.)
inline bool leaf_within_reach(const Word* code, size_t pc, size_t size) {
    for (unsigned i = 0; i <= kMaxRunTransforms && pc < size; ++i) {
        const Head head = code[pc].head;
        if (!is_point_transform(head.op)) return true;  // the run decides
        if (head.ends_child()) return false;
        pc += head.words;
    }
    return false;
}

/// What a run is, beside its steps.
struct RunShape {
    size_t count = 0;          // steps
    size_t end = 0;            // the position after the run
    size_t instructions = 0;   // the program's instructions it stands for
    size_t pops = 0;           // saved points it drops
    bool store_point = false;  // P is read after it: write it back
    bool reads_distance = false;  // D is read before a leaf sets it
    float start_distance = 0.0f;  // D before the first step (fold_first_into_leaf)
    const float* shared[3] = {};  // x, y, z lanes of StepSource::Shared
};

/// A run as it is decoded: its shape and room for its steps.
struct FusedRun : RunShape {
    RunStep steps[kMaxRunSteps];
};

// --- decoding -----------------------------------------------------------------

/// 1 / k where it is exact and a normal number (k = +-2^e, e <= 126), else
/// 0: then x / k and x * (1 / k) are the one rounding of the same real
/// number, for every x (infinities, zeros and NaNs included), and the
/// divider, the slowest unit a run uses, is spared.
inline float exact_reciprocal(float k) {
    uint32_t b;
    std::memcpy(&b, &k, sizeof b);
    const uint32_t exponent = b >> 23 & 0xFFu;
    if ((b & 0x7FFFFFu) != 0 || exponent == 0 || exponent > 253) return 0.0f;
    return 1.0f / k;
}

SDF_INLINE StepTransform step_transform(Op op) {
    return op == Op::Translate ? StepTransform::Translate
           : op == Op::ScaleIn ? StepTransform::Scale
                               : StepTransform::Rotate;
}

SDF_INLINE StepLeaf step_leaf(Op op) {
    return op == Op::Sphere  ? StepLeaf::Sphere
           : op == Op::Plane ? StepLeaf::Plane
           : op == Op::Segment ? StepLeaf::Segment
                               : StepLeaf::Ray;
}

SDF_INLINE StepFold fold_of(Combine how, bool multiply) {
    const unsigned base = static_cast<unsigned>(how);  // Assign, Union, ...
    return static_cast<StepFold>(multiply ? base + 3 : base);
}

SDF_INLINE StepDistance step_distance(Op op) {
    switch (op) {
        case Op::MulK: return StepDistance::MulK;
        case Op::SubR: return StepDistance::SubR;
        case Op::AddR: return StepDistance::AddR;
        case Op::Neg: return StepDistance::Neg;
        case Op::UnionFirst: return StepDistance::UnionFirst;
        default: return StepDistance::IntersectFirst;
    }
}

SDF_INLINE bool is_leaf_kind(unsigned kind) {
    return kind >= kLeafSteps && kind < kDistanceSteps;
}
SDF_INLINE StepFold fold_of_kind(unsigned kind) {
    return static_cast<StepFold>((kind - kLeafSteps) % kFolds);
}

/// A saved distance and the fold that takes it back, with only point
/// transforms, a leaf that sets D and at most a multiply of D between them
/// (steps[push + 1 .. count)): the leaf can fold its value into D itself,
/// for D is the saved distance until then. Rewrites the steps so; false
/// when they are not of that form.
inline bool fold_into_leaf(FusedRun& run, size_t push, Combine how) {
    size_t leaf = push + 1;
    while (leaf < run.count && run.steps[leaf].kind < kLeafSteps) ++leaf;
    if (leaf == run.count || !is_leaf_kind(run.steps[leaf].kind) ||
        fold_of_kind(run.steps[leaf].kind) != StepFold::Assign) {
        return false;
    }
    const size_t after = run.count - leaf - 1;
    const unsigned mul = kDistanceSteps + static_cast<unsigned>(StepDistance::MulK);
    if (after > 1 || (after == 1 && run.steps[leaf + 1].kind != mul)) return false;
    RunStep& step = run.steps[leaf];
    if (after == 1) step.k = run.steps[leaf + 1].k;
    step.kind = static_cast<uint16_t>(step.kind + static_cast<unsigned>(fold_of(how, after == 1)));
    // Drop the push (and the multiply, now part of the fold).
    std::memmove(&run.steps[push], &run.steps[push + 1], (leaf - push) * sizeof(RunStep));
    run.count = leaf;
    return true;
}

/// Runs decoded once for all the blocks of a batch: where a run starts
/// fixes its steps, for every block uses the same lanes for P and the
/// point stack (only D moves, and the steps do not hold it). Every block
/// meets the runs in the same order; the first block keeps them, up to
/// kMaxSteps steps in all (beyond, each block decodes the rest itself).
class FusedRunCache {
  public:
    static constexpr size_t kMaxSteps = 4096;

    /// The k-th run of a block, if it starts at `pc` and was kept.
    bool find(size_t k, size_t pc, const RunShape*& shape, const RunStep*& steps) const {
        if (k >= starts_.size() || starts_[k] != pc) return false;
        shape = &shapes_[k];
        steps = steps_.data() + firsts_[k];
        return true;
    }

    /// Keeps `run`, the k-th run of the first block, if there is room.
    void keep(size_t k, size_t pc, const FusedRun& run) {
        if (k != starts_.size() || steps_.size() + run.count > kMaxSteps) return;
        starts_.push_back(pc);
        firsts_.push_back(steps_.size());
        shapes_.push_back(run);
        steps_.insert(steps_.end(), run.steps, run.steps + run.count);
    }

  private:
    std::vector<size_t> starts_, firsts_;
    std::vector<RunShape> shapes_;
    std::vector<RunStep> steps_;
};

/// Does a step of the run read D before a leaf sets it? (If not, the lanes
/// of D need not be read: a pass that only writes them reads none.)
inline bool reads_distance(const FusedRun& run) {
    for (size_t k = 0; k < run.count; ++k) {
        const unsigned kind = run.steps[k].kind;
        if (kind < kLeafSteps) continue;  // a transform
        return !is_leaf_kind(kind) || fold_of_kind(kind) != StepFold::Assign;
    }
    return false;
}

/// The lanes that most steps of the run read (at least two) become its
/// shared point: one load per vector, for all of them.
inline void share_lanes(FusedRun& run) {
    const auto reads_lanes = [&run](size_t k) {
        return reads_point(run.steps[k].kind) &&
               source_of_kind(run.steps[k].kind) == StepSource::Lanes;
    };
    size_t best = 0;
    for (size_t k = 0; k < run.count; ++k) {
        if (!reads_lanes(k)) continue;
        size_t readers = 0;
        for (size_t j = 0; j < run.count; ++j) {
            readers += reads_lanes(j) && run.steps[j].x == run.steps[k].x;  // (y, z follow x)
        }
        if (readers > best) {
            best = readers;
            run.shared[0] = run.steps[k].x;
            run.shared[1] = run.steps[k].y;
            run.shared[2] = run.steps[k].z;
        }
    }
    if (best < 2) {
        run.shared[0] = run.shared[1] = run.shared[2] = nullptr;
        return;
    }
    for (size_t k = 0; k < run.count; ++k) {
        if (reads_lanes(k) && run.steps[k].x == run.shared[0]) {
            const unsigned kind = with_source(run.steps[k].kind, StepSource::Shared);
            run.steps[k].kind = static_cast<uint16_t>(kind);
        }
    }
}

// --- offsets of zero ------------------------------------------------------------
//
// x - (+0) is x for every x but a signalling NaN, which it quiets. Where
// the result goes on only into arithmetic (never into a select, a
// comparison or memory), the next operation quiets it just as well, and
// x86 keeps the first NaN operand of an operation whether it is quiet or
// signalling: the subtraction can go. Every offset of a translation or of
// a leaf goes only into arithmetic (products, the squares of a length).
// So does a segment's e*h + a, whose only use is p - (e*h + a) squared:
// where a is +0 the sum is e*h but for a -0 that becomes +0, and those
// two give the same square. (The runs are x86 code only: AArch64 would
// prefer a signalling NaN over a quiet one.)

/// Bit i set where coordinate i of `v` is not +0.
inline unsigned nonzero_mask(const float* v) {
    unsigned mask = 0;
    for (unsigned i = 0; i < 3; ++i) {
        uint32_t b;
        std::memcpy(&b, v + i, sizeof b);
        mask |= (b != 0) << i;
    }
    return mask;
}

/// Does a step after `k` read the run's point registers before a step
/// sets them (a transform from elsewhere)?
inline bool registers_read_after(const RunStep* steps, size_t count, size_t k) {
    for (size_t j = k + 1; j < count; ++j) {
        const unsigned kind = steps[j].kind;
        if (!reads_point(kind)) continue;
        if (source_of_kind(kind) == StepSource::Registers) return true;
        if (kind < kLeafSteps) return false;  // a transform from elsewhere sets them
    }
    return false;
}

/// Steps for the leaf `step` with its offsets as translations (into
/// `out`, at most three): a shifted leaf's translation, then the leaf's
/// own offset (joined into one where, coordinate by coordinate, one of the
/// two is zero), then the leaf at the origin. Only the coordinates that are
/// not zero are subtracted. Returns how many, or 0 when nothing is saved.
inline size_t leaf_at_origin(const RunStep& step, RunStep* out) {
    const LeafKind k = leaf_kind(step.kind);
    const bool segment = k.leaf == StepLeaf::Segment || k.leaf == StepLeaf::SegmentExact;
    if (k.leaf != StepLeaf::Sphere && k.leaf != StepLeaf::Plane && !segment) return 0;
    const size_t params = op_params(k.leaf == StepLeaf::Sphere ? Op::Sphere
                                    : k.leaf == StepLeaf::Plane ? Op::Plane
                                                                : Op::Segment);
    const float* own = step.f;
    const float* shift = step.f + params;
    const unsigned own_mask = nonzero_mask(own);
    const unsigned shift_mask = k.shifted ? nonzero_mask(shift) : 7;
    // A segment's first end is also added back: it goes only when zero.
    if (segment && own_mask != 0) return 0;
    if (own_mask == 7 && shift_mask == 7) return 0;
    size_t n = 0;
    StepSource from = k.from;
    const auto translate = [&](const float* by, unsigned mask) {
        RunStep& t = out[n++];
        t = step;
        t.kind = static_cast<uint16_t>(translate_step(mask, from));
        std::memcpy(t.f, by, 3 * sizeof(float));
        from = StepSource::Registers;
    };
    if (k.shifted && (own_mask & shift_mask) == 0) {
        // One of the two is zero in every coordinate: one subtraction each.
        float joined[3];
        for (unsigned i = 0; i < 3; ++i) joined[i] = (own_mask >> i & 1) ? own[i] : shift[i];
        translate(joined, own_mask | shift_mask);
    } else {
        if (k.shifted) translate(shift, shift_mask);
        if (own_mask != 0) translate(own, own_mask);
    }
    if (from != StepSource::Registers) translate(own, 0);  // only loads the point
    RunStep& leaf = out[n++];
    leaf = step;
    const unsigned origin = kLeaves - kLeavesAtOrigin +
                            (k.leaf == StepLeaf::SegmentExact ? 3u : static_cast<unsigned>(k.leaf));
    leaf.kind = static_cast<uint16_t>(
        leaf_step(static_cast<StepLeaf>(origin), false, StepSource::Registers, k.fold));
    return n;
}

/// Rewrites the run's translations and leaves to leave out the
/// subtractions of +0 (see above), where the run's point registers are
/// not stored at its end and no later step reads what a new translation
/// overwrites.
inline void drop_zero_offsets(FusedRun& run) {
    if (run.store_point) return;
    RunStep out[kMaxRunSteps];
    size_t m = 0;
    for (size_t k = 0; k < run.count; ++k) {
        const RunStep& step = run.steps[k];
        const unsigned kind = step.kind;
        if (kind < kLeafSteps && (kind - kTransformSteps) / kSources == 0) {
            const StepSource from = source_of_kind(kind);
            const unsigned mask = nonzero_mask(step.f);
            // Nothing to subtract from the registers themselves: no step.
            if (mask == 0 && from == StepSource::Registers) continue;
            out[m] = step;
            out[m++].kind = static_cast<uint16_t>(translate_step(mask, from));
            continue;
        }
        RunStep made[3];
        size_t n = 0;
        if (is_leaf_kind(kind) && m + 3 + (run.count - k - 1) <= kMaxRunSteps &&
            !registers_read_after(run.steps, run.count, k)) {
            n = leaf_at_origin(step, made);
        }
        if (n == 0) {
            out[m++] = step;
            continue;
        }
        for (size_t i = 0; i < n; ++i) out[m++] = made[i];
    }
    std::memcpy(run.steps, out, m * sizeof(RunStep));
    run.count = m;
}

/// The run that starts at `pc`, if one does: at least one leaf and two
/// steps, ending where no distance is saved in a register. `p` holds P, `points` is the
/// point stack as it is at `pc`. The run stops before an instruction that
/// ends a pruned list's child (a jump may follow it), and before anything
/// it does not run (stacks of points, voxels, pruning).
inline bool decode_run(const Word* code, size_t pc, size_t size, Lanes p, PointStack points,
                       FusedRun& run) {
    run.count = 0;
    run.start_distance = 0.0f;  // (a row run may change it: fold_first_into_leaf)
    bool point_in_registers = false;  // a transform has moved P into the run's point
    bool moved_since_leaf = false;    // ... after the last leaf
    bool saved = false;               // a PushD's distance is in a register
    size_t push_at = 0;               // its step
    size_t pops = 0, instructions = 0;
    size_t safe_count = 0;
    unsigned transforms = 0;  // in a row
    bool any_leaf = false;
    run.end = 0;  // no end found yet
    if (!leaf_within_reach(code, pc, size)) return false;
    while (pc < size && run.count + 1 < kMaxRunSteps) {
        const Head head = code[pc].head;
        if (head.ends_child()) break;
        const Op op = head.op;
        RunStep& step = run.steps[run.count];
        step.k = 0.0f;
        if (is_point_transform(op) && transforms == kMaxRunTransforms) break;
        if (is_point_transform(op) || is_formula_leaf(op)) {
            StepSource source = StepSource::Lanes;
            Lanes from = p;
            if (head.source == Source::Saved) {
                from = points.top();
            } else if (head.source == Source::SavedPop) {
                from = points.pop();
                ++pops;
            } else if (point_in_registers) {
                source = StepSource::Registers;
            }
            step.x = from.x;
            step.y = from.y;
            step.z = from.z;
            std::memcpy(step.f, code + pc + 1, sizeof step.f);
            if (is_point_transform(op)) {
                StepTransform transform = step_transform(op);
                if (transform == StepTransform::Scale && exact_reciprocal(step.f[0]) != 0.0f) {
                    transform = StepTransform::ScaleExact;
                    step.f[0] = exact_reciprocal(step.f[0]);
                }
                step.kind = static_cast<uint16_t>(transform_step(transform, source));
                point_in_registers = moved_since_leaf = true;
                ++transforms;
            } else {
                const StepFold fold = fold_of(head.combine(), false);
                StepLeaf leaf = step_leaf(op);
                if (leaf == StepLeaf::Segment && exact_reciprocal(step.f[6]) != 0.0f) {
                    leaf = StepLeaf::SegmentExact;
                    step.f[6] = exact_reciprocal(step.f[6]);
                }
                step.kind = static_cast<uint16_t>(
                    leaf_step(leaf, head.translated(), source, fold));
                moved_since_leaf = false;
                transforms = 0;
                any_leaf = true;
            }
            ++run.count;
        } else if (is_distance_op(op) || op == Op::UnionFirst || op == Op::IntersectFirst) {
            const unsigned distance = static_cast<unsigned>(step_distance(op));
            step.kind = static_cast<uint16_t>(kDistanceSteps + distance);
            if (op != Op::Neg && op != Op::UnionFirst && op != Op::IntersectFirst) {
                step.k = code[pc + 1].f;
            }
            ++run.count;
        } else if (op == Op::PushD && !saved) {
            step.kind = kPushStep;
            saved = true;
            push_at = run.count++;
        } else if ((op == Op::UnionNext || op == Op::IntersectNext || op == Op::DifferenceNext) &&
                   saved) {
            saved = false;
            const Combine how = combine_of_next(op);
            if (!fold_into_leaf(run, push_at, how)) {
                run.steps[run.count].kind =
                    static_cast<uint16_t>(kNextSteps + static_cast<unsigned>(how) - 1);
                ++run.count;
            }
        } else {
            break;
        }
        pc += head.words;
        ++instructions;
        if (!saved && any_leaf && run.count > 1) {
            // Everything up to here can run as one. (One step alone is
            // no better than its pass.)
            run.end = pc;
            run.instructions = instructions;
            run.pops = pops;
            run.store_point = moved_since_leaf;
            safe_count = run.count;
        }
    }
    if (run.end == 0) return false;
    run.count = safe_count;
    drop_zero_offsets(run);
    share_lanes(run);
    run.reads_distance = reads_distance(run);
    return true;
}

}  // namespace block
}  // namespace sdf
